#include "tiff_codec.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec_streams.h"
#include "tiff_handle.h"
#include "tiff_jpeg.h"

namespace {

std::uint32_t BlockCount(TIFF* tif) {
  return TIFFIsTiled(tif) != 0 ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
}

// The size of the file open for reading (through a TFileHandle): no block
// larger than it is read into memory.
std::uint64_t SizeOfFile(TIFF* tif) {
  return FileSize(static_cast<const TFileHandle*>(TIFFClientdata(tif))->Fd);
}

bool TakeWebpSettings(TIFF* tif, TMyImage& header) {
  std::vector<std::uint8_t> block;
  std::uint32_t coarsest = 0;
  for (std::uint32_t k = 0, n = BlockCount(tif); k < n; ++k) {
    // A lossy block's image may follow its alpha (VP8X, ALPH, VP8): the
    // whole block is read.
    const std::uint64_t size = TIFFGetStrileByteCount(tif, k);
    if (size == 0 || size > SizeOfFile(tif)) return false;
    block.resize(static_cast<std::size_t>(size));
    const tmsize_t read = ReadRawBlock(tif, k, block.data(), static_cast<tmsize_t>(size));
    TWebpCoding coding;
    if (read <= 0 || !ReadWebpCoding(block.data(), static_cast<std::size_t>(read), coding)) {
      return false;
    }
    header.WebpLossless |= coding.Lossless;
    if (!coding.Lossless) coarsest = std::max(coarsest, coding.FinestQuantiser);
  }
  header.WebpLevel = header.WebpLossless ? 0 : WebpLevelFor(coarsest);
  return true;
}

// LERC came with libtiff 4.3.
#ifdef COMPRESSION_LERC
void TakeLercSettings(TIFF* tif, TMyImage& header) {
  int further = LERC_ADD_COMPRESSION_NONE;
  if (TIFFGetField(tif, TIFFTAG_LERC_ADD_COMPRESSION, &further) != 1 ||
      further != LERC_ADD_COMPRESSION_NONE) {
    return;
  }
  std::uint8_t start[96];
  double least = -1;
  for (std::uint32_t k = 0, n = BlockCount(tif); k < n; ++k) {
    const tmsize_t read = ReadRawBlock(tif, k, start, sizeof start);
    double error = 0;
    if (read <= 0 || !ReadLercMaxZError(start, static_cast<std::size_t>(read), error)) return;
    least = least < 0 ? error : std::min(least, error);
  }
  header.LercMaxZError = std::max(least, 0.0);
}
#endif

}  // namespace

bool TakeCodecSettings(TIFF* tif, TMyImage& header) {
  switch (header.Compression) {
    case COMPRESSION_JPEG:
      return TakeJpegSettings(tif, header);
    case COMPRESSION_WEBP:
      return TakeWebpSettings(tif, header);
#ifdef COMPRESSION_LERC
    case COMPRESSION_LERC:
      TakeLercSettings(tif, header);
      return true;
#endif
  }
  return true;
}

bool SetCodecSettings(TIFF* tif, const TMyImage& image) {
  switch (image.Compression) {
    case COMPRESSION_JPEG:
      return SetJpegSettings(tif, image);
    case COMPRESSION_WEBP:
      return image.WebpLossless
                 ? TIFFSetField(tif, TIFFTAG_WEBP_LOSSLESS, 1) == 1
                 : TIFFSetField(tif, TIFFTAG_WEBP_LEVEL, static_cast<int>(image.WebpLevel)) == 1;
#ifdef COMPRESSION_LERC
    case COMPRESSION_LERC:
      return TIFFSetField(tif, TIFFTAG_LERC_MAXZERROR, image.LercMaxZError) == 1;
#endif
  }
  return true;
}
