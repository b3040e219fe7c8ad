// The PNG binding of a build without libpng: PNG files are recognised, and
// refused.
#include <cstring>

#include "png_io.h"

bool IsPngSignature(const std::uint8_t* bytes, std::size_t size) {
  static const std::uint8_t signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  return size >= sizeof signature && std::memcmp(bytes, signature, sizeof signature) == 0;
}

std::int32_t ListPng(const TPageFile&, TRefusal& why) {
  why = {TRefusalKind::NotFlattened, "PNG files are not taken by this build (no libpng)"};
  return 0;
}

std::int32_t ReadPng(const TPageFile&, TMyImage&, TPngFile&,
                     const std::function<bool(const TMyImage&, std::uint64_t)>&, TRefusal& why) {
  why = {TRefusalKind::NotFlattened, "PNG files are not taken by this build (no libpng)"};
  return -1;
}

std::int32_t WritePng(TSafeWrite&, const TMyImage&, const TPngFile&) { return -1; }
