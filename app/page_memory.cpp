#include "page_memory.h"

#include <algorithm>

#include "paper.h"
#include "tiff_io.h"

std::uint64_t PageMemory(const TMyImage& header, std::uint64_t planes, unsigned threads,
                         bool paper) {
  const std::uint64_t coding = std::min<std::uint64_t>(threads, std::max(header.StripCount, 1u));
  return planes + coding * CodingBytesPerThread(header) + (paper ? PaperLineBytes(header) : 0);
}
