#include "tiff_jpeg.h"

#include <cstdint>
#include <vector>

#include "jpeg_quality.h"
#include "tiff_handle.h"
#include "tiff_tags.h"

namespace {

bool IsYCbCrJpeg(TIFF* tif) {
  return Tag16(tif, TIFFTAG_COMPRESSION) == COMPRESSION_JPEG &&
         Tag16(tif, TIFFTAG_PHOTOMETRIC) == PHOTOMETRIC_YCBCR;
}

}  // namespace

bool DecodeJpegAsRgb(TIFF* tif) {
  return !IsYCbCrJpeg(tif) || TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) == 1;
}

bool TakeJpegSettings(TIFF* tif, TMyImage& header) {
  if (header.Compression != COMPRESSION_JPEG) return true;
  TQuantTables tables;
  std::uint32_t count = 0;
  const void* shared = nullptr;
  if (TIFFGetField(tif, TIFFTAG_JPEGTABLES, &count, &shared) == 1 && shared != nullptr &&
      !ReadQuantTables(static_cast<const std::uint8_t*>(shared), count, tables)) {
    return false;
  }
  // Without tables there, every strip carries its own; the first one's
  // stand for the page.
  header.JpegTablesInStrips = QualityOf(tables) == 0;
  std::uint64_t* sizes = nullptr;
  if (header.JpegTablesInStrips) {
    if (TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &sizes) != 1 || sizes == nullptr ||
        sizes[0] == 0 || sizes[0] > std::uint64_t{1} << 30) {
      return false;
    }
    std::vector<std::uint8_t> strip(static_cast<std::size_t>(sizes[0]));
    const tmsize_t read = ReadRawBlock(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size()));
    if (read <= 0 || !ReadQuantTables(strip.data(), static_cast<std::size_t>(read), tables)) {
      return false;
    }
  }
  header.JpegQuality = static_cast<std::uint32_t>(QualityOf(tables));
  return header.JpegQuality != 0;
}

bool SetJpegSettings(TIFF* tif, const TMyImage& image) {
  if (image.Compression != COMPRESSION_JPEG) return true;
  const int mode = image.JpegTablesInStrips ? 0 : JPEGTABLESMODE_QUANT | JPEGTABLESMODE_HUFF;
  return TIFFSetField(tif, TIFFTAG_JPEGQUALITY, static_cast<int>(image.JpegQuality)) == 1 &&
         TIFFSetField(tif, TIFFTAG_JPEGTABLESMODE, mode) == 1 &&
         (image.Photometric != PHOTOMETRIC_YCBCR ||
          TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) == 1);
}
