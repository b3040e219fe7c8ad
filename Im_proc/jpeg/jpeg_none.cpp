// The JPEG binding of a build without libjpeg: JPEG files are recognised,
// and refused.
#include "jpeg_io.h"

std::int32_t ListJpeg(const TPageFile&, TJpegFile&, TRefusal& why) {
  why = {TRefusalKind::NotFlattened, "JPEG files are not taken by this build (no libjpeg)"};
  return 0;
}

std::int32_t ReadJpeg(TMyImage&, const TJpegFile&,
                      const std::function<bool(const TMyImage&, std::uint64_t)>&, TRefusal& why) {
  why = {TRefusalKind::NotFlattened, "JPEG files are not taken by this build (no libjpeg)"};
  return -1;
}

std::int32_t WriteJpeg(TSafeWrite&, const TMyImage&, const TJpegFile&) { return -1; }
