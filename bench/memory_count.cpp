// memory_count: what the tool counts the first page of a file for in its
// memory budget, with THREADS threads, and with -p: the figure the memory
// benchmark (memory.sh) sets against the peak it measures.
//
//   memory_count FILE.tif THREADS [-p]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "page_memory.h"
#include "tiff_io.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: memory_count FILE.tif THREADS [-p]\n");
    return 2;
  }
  const auto threads = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const bool paper = argc > 3 && std::strcmp(argv[3], "-p") == 0;
  TPageFile file;
  TMyImage page;
  std::uint64_t counted = 0;
  // Asked for its memory, the reader is refused: nothing is decoded.
  const auto count = [&](const TMyImage& header, std::uint64_t planes) {
    counted = PageMemory(header, planes, threads, paper);
    return false;
  };
  if (OpenPage(argv[1], file) == 1) ReadTiff(file, page, count);
  if (counted == 0) {
    std::fprintf(stderr, "memory_count: cannot read %s\n", argv[1]);
    return 1;
  }
  std::printf("%llu\n", static_cast<unsigned long long>(counted));
  return 0;
}
