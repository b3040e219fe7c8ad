#include "tiff_strips.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "grey.h"
#include "tiff_jpeg.h"

std::uint32_t StripRows(std::uint32_t rowsPerStrip, std::uint32_t height) {
  return rowsPerStrip == 0 ? height : std::min(rowsPerStrip, height);
}

std::uint32_t StripsFor(std::uint32_t rows, std::uint32_t height) {
  return height / rows + (height % rows != 0 ? 1 : 0);
}

std::uint32_t SamplesOf(std::uint32_t photometric) {
  return photometric == PhotometricRgb || photometric == PhotometricYCbCr ? 3 : 1;
}

bool SetLayout(TIFF* tif, const TMyImage& image) {
  auto set32 = [tif](ttag_t tag, std::uint32_t value) {
    return value == 0 || TIFFSetField(tif, tag, value) == 1;
  };
  // Resolutions are passed as doubles; the conversion from float is exact.
  auto setDouble = [tif](ttag_t tag, double value) {
    return value == 0 || TIFFSetField(tif, tag, value) == 1;
  };
  return set32(TIFFTAG_IMAGEWIDTH, image.Width) && set32(TIFFTAG_IMAGELENGTH, image.Height) &&
         set32(TIFFTAG_BITSPERSAMPLE, image.BitsPerSample) &&
         set32(TIFFTAG_SAMPLESPERPIXEL, image.SamplesPerPixel) &&
         set32(TIFFTAG_ROWSPERSTRIP, image.RowsPerStrip) &&
         set32(TIFFTAG_COMPRESSION, image.Compression) &&
         set32(TIFFTAG_PHOTOMETRIC, image.Photometric) &&
         set32(TIFFTAG_PLANARCONFIG, image.PlanarConfig) &&
         setDouble(TIFFTAG_XRESOLUTION, image.XResolution) &&
         setDouble(TIFFTAG_YRESOLUTION, image.YResolution) &&
         set32(TIFFTAG_RESOLUTIONUNIT, image.ResolutionUnit) && SetJpegSettings(tif, image);
}

namespace {

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

// Starts `work` on a thread of its own, if the system gives one; the
// caller's own share of the work then covers what it would have done.
template <class TWork>
void AddHelper(std::vector<std::thread>& helpers, TWork&& work) {
  try {
    helpers.emplace_back(std::forward<TWork>(work));
  } catch (const std::system_error&) {
  }
}

// Decodes strip k into the page's plane and, for a colour page, works out
// the grey values of its pixels. False when the strip does not decode to
// its full size.
bool DecodeStrip(TIFF* tif, TMyImage& image, std::uint32_t k) {
  const TStripSpan span = StripSpan(image, k);
  const bool colour = IsColour(image);
  TPlane& plane = colour ? image.Rgb : image.Gray;
  if (TIFFReadEncodedStrip(tif, k, plane.data() + span.Offset, span.Bytes) != span.Bytes) {
    return false;
  }
  if (colour) {
    RgbToGray(image.Rgb.data() + span.Offset, image.Gray.data() + span.Offset / 3,
              static_cast<std::uint32_t>(span.Bytes / 3));
  }
  return true;
}

// Encodes strip k of `plane` with the open file's codec. libtiff takes a
// non-const buffer but leaves 8-bit samples as they are without a predictor.
bool EncodeStrip(TIFF* tif, const TMyImage& image, const TPlane& plane, std::uint32_t k) {
  const TStripSpan span = StripSpan(image, k);
  void* data = const_cast<std::uint8_t*>(plane.data() + span.Offset);
  return TIFFWriteEncodedStrip(tif, k, data, span.Bytes) == span.Bytes;
}

// Codecs whose strips are encoded each on its own, from its rows alone, so
// that encoding them apart gives the bytes a sequential encoding gives, and
// slow enough for it to pay (PackBits is not: measured 0.29 s against 0.33 s
// sequential for an A4 colour page on two threads, with parallel encoding
// slower). JPEG (shared tables) and any codec not listed stay sequential.
bool EncodesStripsApart(std::uint32_t compression) {
  return compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE ||
         compression == COMPRESSION_DEFLATE || compression == COMPRESSION_ZSTD ||
         compression == COMPRESSION_LZMA;
}

// Encodes the strips of `plane` on `threads` threads, each with a file in
// memory set up like the page's file; strip k's bytes end in encoded[k].
// False when any strip fails.
bool EncodeStripsApart(const TMyImage& image, const TPlane& plane, unsigned threads,
                       std::vector<std::vector<std::uint8_t>>& encoded) {
  encoded.assign(image.StripCount, {});
  std::atomic<std::uint32_t> next{0};
  std::atomic<bool> ok{true};
  const auto encode = [&] {
    TMemoryFile memory;
    TIFF* tif = OpenInMemory(memory);
    if (tif == nullptr || !SetLayout(tif, image)) ok = false;
    for (std::uint32_t k; ok && (k = next++) < image.StripCount;) {
      std::uint64_t* offsets = nullptr;
      std::uint64_t* counts = nullptr;
      if (!EncodeStrip(tif, image, plane, k) ||
          TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) != 1 ||
          TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) != 1) {
        ok = false;
        break;
      }
      const auto first = memory.Bytes.begin() + static_cast<std::ptrdiff_t>(offsets[k]);
      try {
        encoded[k].assign(first, first + static_cast<std::ptrdiff_t>(counts[k]));
      } catch (const std::bad_alloc&) {
        ok = false;  // the page is not written; nothing escapes this thread
      }
    }
    if (tif != nullptr) TIFFClose(tif);
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) AddHelper(helpers, encode);
  encode();
  for (std::thread& helper : helpers) helper.join();
  return ok;
}

}  // namespace

bool DecodeStrips(const TPageFile& page, TIFF* tif, TMyImage& image, unsigned threads,
                  TReadWarnings& warnings) {
  std::atomic<std::uint32_t> next{0};
  std::atomic<bool> ok{true};
  const auto decode = [&](TIFF* file) {
    for (std::uint32_t k; ok && (k = next++) < image.StripCount;) {
      if (!DecodeStrip(file, image, k)) ok = false;
    }
  };
  std::vector<TReadWarnings> noted(threads);
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) {
    AddHelper(helpers, [&, i] {
      TFileHandle handle;
      const std::unique_ptr<TIFF, void (*)(TIFF*)> file(OpenForReading(page, handle, noted[i]),
                                                        CloseForReading);
      if (file != nullptr && DecodeJpegAsRgb(file.get())) decode(file.get());
    });
  }
  decode(tif);
  for (std::thread& helper : helpers) helper.join();
  for (const TReadWarnings& w : noted) {
    warnings.GuessedStripSizes |= w.GuessedStripSizes;
    warnings.DamagedJpeg |= w.DamagedJpeg;
  }
  return ok;
}

bool EncodeStrips(TIFF* tif, const TMyImage& image, const TPlane& plane, unsigned threads) {
  bool ok = true;
  std::vector<std::vector<std::uint8_t>> encoded;
  if (threads > 1 && image.StripCount > 1 && EncodesStripsApart(image.Compression)) {
    ok = EncodeStripsApart(image, plane, std::min(threads, image.StripCount), encoded);
    for (std::uint32_t k = 0; ok && k < image.StripCount; ++k) {
      const auto size = static_cast<tmsize_t>(encoded[k].size());
      ok = TIFFWriteRawStrip(tif, k, encoded[k].data(), size) == size;
    }
  } else {
    for (std::uint32_t k = 0; ok && k < image.StripCount; ++k) {
      ok = EncodeStrip(tif, image, plane, k);
    }
  }
  return ok;
}
