// passthrough: reads each page given and writes it straight back, with no
// processing in between: the floor under the tool's time for a page (the
// same reader, writer and safe replacement; the same compression).
//
//   passthrough FILE.tif...
//
// Exit code 0 when every page went through, 1 otherwise.
#include <cstdio>

#include "image.h"
#include "tiff_io.h"

int main(int argc, char** argv) {
  TMyImage page;
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    TPageFile file;
    const bool ok =
        OpenPage(argv[i], file) == 1 &&
        ReadTiff(file, page, [](const TMyImage&, std::uint64_t) { return true; }) == 1 &&
        (IsColour(page) ? WriteRgbTiff(file, page) : WriteGrayTiff(file, page)) == 1;
    if (!ok) {
      std::fprintf(stderr, "passthrough: %s failed\n", argv[i]);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
