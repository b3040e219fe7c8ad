#include "tiff_io.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "grey.h"
#include "safe_file.h"

namespace {

constexpr std::uint32_t PhotometricGray = PHOTOMETRIC_MINISBLACK;  // 1
constexpr std::uint32_t PhotometricRgb = PHOTOMETRIC_RGB;          // 2

// Tag values as the file holds them; 0 for a tag that the file lacks.
std::uint32_t Tag16(TIFF* tif, ttag_t tag) {
  std::uint16_t value = 0;
  return TIFFGetField(tif, tag, &value) == 1 ? value : 0;
}

std::uint32_t Tag32(TIFF* tif, ttag_t tag) {
  std::uint32_t value = 0;
  return TIFFGetField(tif, tag, &value) == 1 ? value : 0;
}

float TagFloat(TIFF* tif, ttag_t tag) {
  float value = 0;
  return TIFFGetField(tif, tag, &value) == 1 ? value : 0.0f;
}

// Tag values as they apply, with TIFF's defaults for tags the file lacks.
std::uint32_t Defaulted16(TIFF* tif, ttag_t tag) {
  std::uint16_t value = 0;
  return TIFFGetFieldDefaulted(tif, tag, &value) == 1 ? value : 0;
}

// Rows per strip as the strips are laid out: a missing tag, or one larger
// than the image, means a single strip of all rows.
std::uint32_t StripRows(std::uint32_t rowsPerStrip, std::uint32_t height) {
  return rowsPerStrip == 0 ? height : std::min(rowsPerStrip, height);
}

// Number of strips that cover `height` rows, `rows` to a strip (rows > 0).
std::uint32_t StripsFor(std::uint32_t rows, std::uint32_t height) {
  return height / rows + (height % rows != 0 ? 1 : 0);
}

std::uint32_t SamplesOf(std::uint32_t photometric) { return photometric == PhotometricRgb ? 3 : 1; }

// Where strip k of a page lies in its plane: RowsPerStrip rows from row
// k * RowsPerStrip on, fewer in the last strip.
struct TStripSpan {
  std::size_t Offset;
  tmsize_t Bytes;
};

TStripSpan StripSpan(const TMyImage& image, std::uint32_t k) {
  const std::uint32_t rows = StripRows(image.RowsPerStrip, image.Height);
  const std::uint32_t first = k * rows;
  const std::size_t rowBytes = std::size_t{image.Width} * SamplesOf(image.Photometric);
  return {first * rowBytes, static_cast<tmsize_t>(std::min(rows, image.Height - first) * rowBytes)};
}

// Whether a resolution comes back unchanged from a file written with it: a
// missing one (0), or a value that a TIFF rational (two 32-bit unsigned
// integers) holds to single precision, which libtiff manages from 2^-31 up
// to below 2^32. Larger values come out as x/0, smaller ones as 0; negative
// ones and NaN are not written at all.
bool IsWritableResolution(float resolution) {
  return resolution == 0 || (resolution >= 0x1p-31f && resolution < 0x1p32f);
}

// Whether the open file is a page that can be read and written back exactly
// from its grey or colour plane, for the header already taken from it.
bool IsSupportedPage(TIFF* tif, const TMyImage& header) {
  if (TIFFIsTiled(tif) || !TIFFLastDirectory(tif)) return false;
  if (header.Width == 0 || header.Height == 0) return false;
  if (header.Photometric != PhotometricGray && header.Photometric != PhotometricRgb) return false;
  const std::uint32_t samples = SamplesOf(header.Photometric);
  if (Defaulted16(tif, TIFFTAG_BITSPERSAMPLE) != 8 ||
      Defaulted16(tif, TIFFTAG_SAMPLESPERPIXEL) != samples ||
      Defaulted16(tif, TIFFTAG_PLANARCONFIG) != PLANARCONFIG_CONTIG ||
      Defaulted16(tif, TIFFTAG_SAMPLEFORMAT) != SAMPLEFORMAT_UINT) {
    return false;
  }
  // Every plane index is 32-bit: the colour plane must fit in 2^32 - 1 bytes.
  if (std::uint64_t{header.Width} * header.Height * 3 > 0xFFFFFFFFu) return false;
  if (!IsWritableResolution(header.XResolution) || !IsWritableResolution(header.YResolution)) {
    return false;
  }

  const std::uint32_t rows = StripRows(header.RowsPerStrip, header.Height);
  return header.StripCount == StripsFor(rows, header.Height) &&
         TIFFStripSize(tif) == tmsize_t{rows} * header.Width * samples;
}

// Decodes every strip of the open file into `plane`, sized to
// Width * Height * samples bytes. False as soon as a strip does not decode
// to its full size.
//
// Plane memory is not set when allocated, only as strips decode into it, so
// a header that declares a huge page over a few bytes of data costs address
// space, not memory, before its first strip fails.
bool ReadStrips(TIFF* tif, const TMyImage& header, TPlane& plane) {
  plane.clear();  // nothing of the previous page is worth copying on growth
  plane.resize(std::size_t{PixelCount(header)} * SamplesOf(header.Photometric));
  for (std::uint32_t k = 0; k < header.StripCount; ++k) {
    const TStripSpan span = StripSpan(header, k);
    if (TIFFReadEncodedStrip(tif, k, plane.data() + span.Offset, span.Bytes) != span.Bytes) {
      return false;
    }
  }
  return true;
}

// Warnings from libtiff that make a file unfit to be rewritten: its data
// would come back as libtiff's guess, not as the file holds it.
struct TReadWarnings {
  // The strip byte counts were discarded and guessed from the image size.
  bool GuessedStripSizes = false;
  // The JPEG decoder met damaged or missing data and filled in the rest.
  bool DamagedJpeg = false;
};

int NoteReadWarning(TIFF*, void* warnings, const char* module, const char* format, va_list args) {
  char message[512];
  va_list copy;
  va_copy(copy, args);
  std::vsnprintf(message, sizeof message, format, copy);
  va_end(copy);
  TReadWarnings& noted = *static_cast<TReadWarnings*>(warnings);
  if (std::strstr(message, "\"StripByteCounts\" field, ignoring") != nullptr) {
    noted.GuessedStripSizes = true;
  }
  if (module != nullptr && std::strcmp(module, "JPEGLib") == 0 &&
      (std::strncmp(message, "Corrupt JPEG data", 17) == 0 ||
       std::strncmp(message, "Premature end of JPEG", 21) == 0)) {
    noted.DamagedJpeg = true;
  }
  return 0;  // let libtiff's usual handler print the warning as well
}

// Opens `fileName` for reading with no strip chopping ("c"), so the strips
// are the file's own and a page is written back with the rows per strip it
// came with. Warnings that libtiff gives while the file is open, reading
// strips included, are noted in `warnings`.
TIFF* OpenForReading(const char* fileName, TReadWarnings& warnings) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  TIFFOpenOptionsSetWarningHandlerExtR(options, NoteReadWarning, &warnings);
  TIFF* tif = TIFFOpenExt(fileName, "rc", options);
  TIFFOpenOptionsFree(options);
  return tif;
}

// Writes one plane as the record's strips into a new file at `path`.
bool WriteStrips(const char* path, const TMyImage& image, const TPlane& plane) {
  TIFF* tif = TIFFOpen(path, "w");
  if (tif == nullptr) return false;

  // Resolutions are passed as doubles; the conversion from float is exact.
  const double xResolution = image.XResolution;
  const double yResolution = image.YResolution;
  // A tag whose field is 0 was not in the file that was read: leave it out.
  auto set32 = [tif](ttag_t tag, std::uint32_t value) {
    return value == 0 || TIFFSetField(tif, tag, value) == 1;
  };
  auto setDouble = [tif](ttag_t tag, double value) {
    return value == 0 || TIFFSetField(tif, tag, value) == 1;
  };
  bool ok = set32(TIFFTAG_IMAGEWIDTH, image.Width) && set32(TIFFTAG_IMAGELENGTH, image.Height) &&
            set32(TIFFTAG_BITSPERSAMPLE, image.BitsPerSample) &&
            set32(TIFFTAG_SAMPLESPERPIXEL, image.SamplesPerPixel) &&
            set32(TIFFTAG_ROWSPERSTRIP, image.RowsPerStrip) &&
            set32(TIFFTAG_COMPRESSION, image.Compression) &&
            set32(TIFFTAG_PHOTOMETRIC, image.Photometric) &&
            set32(TIFFTAG_PLANARCONFIG, image.PlanarConfig) &&
            setDouble(TIFFTAG_XRESOLUTION, xResolution) &&
            setDouble(TIFFTAG_YRESOLUTION, yResolution) &&
            set32(TIFFTAG_RESOLUTIONUNIT, image.ResolutionUnit);

  for (std::uint32_t k = 0; ok && k < image.StripCount; ++k) {
    const TStripSpan span = StripSpan(image, k);
    // libtiff takes a non-const buffer but leaves 8-bit samples as they are
    // when no predictor is set.
    void* data = const_cast<std::uint8_t*>(plane.data() + span.Offset);
    ok = TIFFWriteEncodedStrip(tif, k, data, span.Bytes) == span.Bytes;
  }
  // TIFFClose cannot report a failure; TIFFFlush writes the directory and can.
  ok = ok && TIFFFlush(tif) == 1;
  TIFFClose(tif);
  return ok;
}

// Whether the record can be written as it says: planes long enough and a
// strip count that covers every row exactly once.
bool IsWritable(const TMyImage& image, const TPlane& plane) {
  if (image.Width == 0 || image.Height == 0) return false;
  const std::uint64_t bytes =
      std::uint64_t{image.Width} * image.Height * SamplesOf(image.Photometric);
  if (plane.size() < bytes) return false;
  const std::uint32_t rows = StripRows(image.RowsPerStrip, image.Height);
  return image.StripCount == StripsFor(rows, image.Height);
}

std::int32_t WritePlane(const char* fileName, const TMyImage& image, const TPlane& plane) {
  if (!IsWritable(image, plane)) return -1;
  TSafeWrite write;
  if (BeginSafeWrite(fileName, write) != 1) return -1;
  if (!WriteStrips(write.TempPath.c_str(), image, plane)) {
    AbortSafeWrite(write);
    return -1;
  }
  return CommitSafeWrite(write);
}

}  // namespace

std::int32_t ReadTiff(const char* fileName, TMyImage& image) {
  // Only regular files hold pages; opening a pipe named like one would wait
  // for a writer forever.
  if (!IsRegularFile(fileName)) return -1;
  TReadWarnings warnings;
  TIFF* tif = OpenForReading(fileName, warnings);
  if (tif == nullptr) return -1;

  TMyImage header;
  header.Width = Tag32(tif, TIFFTAG_IMAGEWIDTH);
  header.Height = Tag32(tif, TIFFTAG_IMAGELENGTH);
  header.BitsPerSample = Tag16(tif, TIFFTAG_BITSPERSAMPLE);
  header.SamplesPerPixel = Tag16(tif, TIFFTAG_SAMPLESPERPIXEL);
  header.Compression = Tag16(tif, TIFFTAG_COMPRESSION);
  header.Photometric = Tag16(tif, TIFFTAG_PHOTOMETRIC);
  header.RowsPerStrip = Tag32(tif, TIFFTAG_ROWSPERSTRIP);
  header.XResolution = TagFloat(tif, TIFFTAG_XRESOLUTION);
  header.YResolution = TagFloat(tif, TIFFTAG_YRESOLUTION);
  header.ResolutionUnit = Tag16(tif, TIFFTAG_RESOLUTIONUNIT);
  header.PlanarConfig = Tag16(tif, TIFFTAG_PLANARCONFIG);
  header.StripCount = TIFFNumberOfStrips(tif);

  if (warnings.GuessedStripSizes || !IsSupportedPage(tif, header)) {
    TIFFClose(tif);
    return -1;
  }

  // The record's planes are reused from page to page; a grey page keeps
  // whatever colour plane the record held.
  header.Gray = std::move(image.Gray);
  header.Rgb = std::move(image.Rgb);
  image = std::move(header);

  const std::uint32_t pixels = PixelCount(image);
  const std::size_t grayLength = (pixels / 1024 + 1) * std::size_t{1024};
  bool ok;
  if (image.Photometric == PhotometricRgb) {
    ok = ReadStrips(tif, image, image.Rgb);
    if (ok) {
      image.Gray.resize(grayLength);
      RgbToGray(image.Rgb.data(), image.Gray.data(), pixels);
    }
  } else {
    ok = ReadStrips(tif, image, image.Gray);
    if (ok) image.Gray.resize(grayLength);
  }
  TIFFClose(tif);
  return ok && !warnings.DamagedJpeg ? 1 : -1;
}

std::int32_t WriteGrayTiff(const char* fileName, const TMyImage& image) {
  if (image.Photometric != PhotometricGray) return -1;
  return WritePlane(fileName, image, image.Gray);
}

std::int32_t WriteRgbTiff(const char* fileName, const TMyImage& image) {
  if (image.Photometric != PhotometricRgb) return -1;
  return WritePlane(fileName, image, image.Rgb);
}
