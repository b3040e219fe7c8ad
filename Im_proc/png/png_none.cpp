// The PNG binding of a build without libpng: PNG files are recognised, and
// refused.
#include "png_io.h"

std::int32_t ListPng(const TPageFile&, TPngFile&, TRefusal& why) {
  why = {TRefusalKind::NotFlattened, "PNG files are not taken by this build (no libpng)"};
  return 0;
}

std::int32_t ReadPng(const TPageFile&, TMyImage&, TPngFile&,
                     const std::function<bool(const TMyImage&, std::uint64_t)>&, TRefusal& why) {
  why = {TRefusalKind::NotFlattened, "PNG files are not taken by this build (no libpng)"};
  return -1;
}

std::int32_t WritePng(TSafeWrite&, const TMyImage&, const TPngFile&) { return -1; }
