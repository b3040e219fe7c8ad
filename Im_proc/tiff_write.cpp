#include <tiffio.h>

#include "safe_file.h"
#include "tiff_blocks.h"
#include "tiff_handle.h"
#include "tiff_io.h"
#include "tiff_tags.h"

namespace {

// Writes one plane as the record's strips into the new, empty file open in
// `fd`, which stays open. With several threads, codecs that allow it encode
// the strips in parallel; they are written in order either way, so the
// file's bytes are the same.
bool WriteStrips(int fd, const char* name, const TMyImage& image, const TPlane& plane,
                 unsigned threads) {
  // A classic TIFF addresses 4 GiB: a page whose samples come near that
  // (compressed or not, it might not fit) is written as BigTIFF.
  constexpr std::uint64_t ClassicLimit = std::uint64_t{15} << 28;  // 3.75 GiB
  const bool big =
      image.BigTiff ||
      std::uint64_t{image.Width} * image.Height * SamplesOf(image.Photometric) > ClassicLimit;
  TFileHandle handle{fd, 0};
  TIFF* tif = OpenForWriting(name, handle, big);
  if (tif == nullptr) return false;
  bool ok = WriteCustomDirectories(tif, image.Tags) && SetLayout(tif, image);
  for (std::size_t i = 0; ok && i < image.Tags.size(); ++i) {
    ok = image.Tags[i].Directory != 0 || PutTag(tif, image.Tags[i]);
  }

  ok = ok && EncodeBlocks(tif, image, plane, threads);
  // TIFFClose cannot report a failure; TIFFFlush writes the directory and can.
  ok = ok && TIFFFlush(tif) == 1;
  TIFFClose(tif);
  return ok;
}

// Whether the record can be written as it says: planes long enough and a
// count of strips or tiles that covers every pixel exactly once.
bool IsWritable(const TMyImage& image, const TPlane& plane) {
  if (image.Width == 0 || image.Height == 0) return false;
  const std::uint64_t bytes =
      std::uint64_t{image.Width} * image.Height * SamplesOf(image.Photometric);
  if (plane.size() < bytes) return false;
  return image.StripCount == BlocksFor(image);
}

std::int32_t WritePlane(TPageFile& page, const TMyImage& image, const TPlane& plane,
                        unsigned threads) {
  if (!IsWritable(image, plane)) return -1;
  TSafeWrite write;
  if (BeginSafeWrite(page, write) != 1) return -1;
  if (!WriteStrips(write.TempFd, page.Name.c_str(), image, plane, threads)) {
    AbortSafeWrite(write);
    return -1;
  }
  return CommitSafeWrite(write);
}

}  // namespace

std::int32_t WriteGrayTiff(TPageFile& page, const TMyImage& image, unsigned threads) {
  if (image.Photometric != PhotometricGray) return -1;
  return WritePlane(page, image, image.Gray, threads);
}

std::int32_t WriteRgbTiff(TPageFile& page, const TMyImage& image, unsigned threads) {
  if (!IsColour(image)) return -1;
  return WritePlane(page, image, image.Rgb, threads);
}
