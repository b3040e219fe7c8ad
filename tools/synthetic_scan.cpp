#include "synthetic_scan.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <random>

std::vector<std::uint8_t> SyntheticScan(std::uint32_t width, std::uint32_t height, bool colour,
                                        std::uint32_t seed) {
  std::mt19937 engine(seed);
  auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
  const double cx = width / 2.0, cy = height / 2.0;
  const double reach = std::hypot(cx, cy) + 1;
  // Grey level of each pixel first: paper shaded towards the corners.
  std::vector<double> level(std::size_t{width} * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const double d = std::hypot(x - cx, y - cy) / reach;
      level[std::size_t{y} * width + x] = 225 - 70 * d * d + double(random() % 7) - 3;
    }
  }
  auto paint = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, double v) {
    for (std::uint32_t y = y0; y < std::min(height, y0 + h); ++y) {
      for (std::uint32_t x = x0; x < std::min(width, x0 + w); ++x)
        level[std::size_t{y} * width + x] = v;
    }
  };
  // Lines of text: short strokes of dark ink in words, the type size growing
  // with the page so that an A4 page at 300 dpi has lines a few mm high.
  const std::uint32_t unit = std::max(1u, width / 400);
  // Paragraphs of a few lines, the last line of each shorter, inside page
  // margins.
  const std::uint32_t margin = std::max(2u, width / 16);
  const std::uint32_t right = std::max(margin, width - std::min(width, margin));
  std::uint32_t lineInParagraph = 0;
  const std::uint32_t top = std::max(8 * unit, height / 20), bottom = height - height / 20;
  for (std::uint32_t line = top; line + 8 * unit < bottom; line += 12 * unit) {
    if (lineInParagraph == 5 + random() % 4) {
      lineInParagraph = 0;  // a blank line between paragraphs
      continue;
    }
    const std::uint32_t stop = random() % 6 == 0 ? margin + (right - margin) / 3 : right;
    ++lineInParagraph;
    for (std::uint32_t x = margin + 6 * unit; x + 6 * unit < stop; x += (3 + random() % 5) * unit) {
      if (random() % 9 == 0) x += 4 * unit;  // a space between words
      const bool tall = random() % 3 == 0;
      paint(x, line + (tall ? 0 : 3 * unit), (1 + random() % 2) * unit, (tall ? 8 : 5) * unit,
            30 + random() % 50);
    }
  }
  // The scanner's margin along the left edge, and a blot inside the page.
  paint(0, 0, margin, height, 18);
  const std::uint32_t blotX = width / 2, blotY = height / 3;
  const std::uint32_t blotW = std::max(3u, width / 10), blotH = std::max(3u, height / 12);
  paint(blotX, blotY, blotW, blotH, 70);

  // A red stamp: a frame inside the page, below the blot.
  const std::uint32_t stampX = width / 2, stampY = height * 2 / 3;
  const std::uint32_t stampW = std::max(4u, width / 5), stampH = std::max(4u, height / 10);
  const std::uint32_t stroke = std::max(1u, stampH / 8);
  auto inStamp = [&](std::uint32_t x, std::uint32_t y) {
    if (x < stampX || y < stampY || x >= stampX + stampW || y >= stampY + stampH) return false;
    return x < stampX + stroke || y < stampY + stroke || x >= stampX + stampW - stroke ||
           y >= stampY + stampH - stroke;
  };

  std::vector<std::uint8_t> pixels;
  pixels.reserve(level.size() * (colour ? 3 : 1));
  auto byte = [](double v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0)); };
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const double v = std::clamp(level[std::size_t{y} * width + x], 0.0, 255.0);
      if (!colour) {
        pixels.push_back(byte(v));
      } else if (inStamp(x, y)) {
        pixels.insert(pixels.end(), {byte(v * 0.8), byte(v * 0.2), byte(v * 0.25)});
      } else {
        // Slightly yellow paper, blue-black ink.
        pixels.insert(pixels.end(), {byte(v + 6), byte(v), byte(v * 0.9 + 12)});
      }
    }
  }
  return pixels;
}

namespace {

// The samples a file holds for `shown` in `layout`, each sample `Bits`
// wide in host byte order, alpha after the image samples.
std::vector<std::uint8_t> StoredSamples(const TScanLayout& layout,
                                        const std::vector<std::uint8_t>& shown) {
  const std::uint32_t of = layout.Colour ? 3 : 1, all = of + (layout.Alpha != 0 ? 1 : 0);
  const std::uint32_t white = layout.Bits == 16 ? 65535 : 255;
  const std::uint32_t band = std::max(1u, layout.Height / 8);
  std::vector<std::uint8_t> stored;
  stored.reserve(std::size_t{layout.Width} * layout.Height * all * layout.Bits / 8);
  const auto put = [&](std::uint32_t value) {
    if (layout.Bits == 16) {
      const auto wide = static_cast<std::uint16_t>(value);
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(&wide);
      stored.insert(stored.end(), bytes, bytes + 2);
    } else {
      stored.push_back(static_cast<std::uint8_t>(value));
    }
  };
  for (std::size_t i = 0; i < std::size_t{layout.Width} * layout.Height && i * of < shown.size();
       ++i) {
    const std::uint32_t x = static_cast<std::uint32_t>(i % layout.Width);
    const std::uint32_t alpha =
        i / layout.Width >= band
            ? white
            : white - static_cast<std::uint32_t>(std::uint64_t{white} * x /
                                                 std::max(1u, layout.Width - 1));
    for (std::uint32_t c = 0; c < of; ++c) {
      std::uint32_t v = shown[i * of + c];
      if (layout.Bits == 16) {
        const int grain = layout.Fine ? static_cast<int>((i * 2654435761u + c) % 257) - 128 : 0;
        v = static_cast<std::uint32_t>(std::clamp(int(v * 257) + grain, 0, 65535));
      }
      if (layout.WhiteIsZero) v = white - v;
      if (layout.Alpha == 2) v = (v * alpha + white / 2) / white;
      put(v);
    }
    if (layout.Alpha != 0) put(alpha);
  }
  return stored;
}

}  // namespace

namespace {

// Sets the fields of a page in `layout` on the directory being written and
// writes its samples, from `shown`.
bool WriteScanDirectory(TIFF* tif, const TScanLayout& layout,
                        const std::vector<std::uint8_t>& shown) {
  const std::vector<std::uint8_t> pixels = StoredSamples(layout, shown);
  const auto samples =
      static_cast<std::uint16_t>((layout.Colour ? 3 : 1) + (layout.Alpha != 0 ? 1 : 0));
  const std::uint16_t bytes = layout.Bits / 8;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, layout.Width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, layout.Height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.Bits);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  if (layout.Alpha != 0) {
    const std::uint16_t kind = layout.Alpha - 1;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
  }
  TIFFSetField(tif, TIFFTAG_COMPRESSION, layout.Compression);
  const bool ycbcr = layout.Colour && layout.YCbCr != 0;
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
               ycbcr                ? PHOTOMETRIC_YCBCR
               : layout.Colour      ? PHOTOMETRIC_RGB
               : layout.WhiteIsZero ? PHOTOMETRIC_MINISWHITE
                                    : PHOTOMETRIC_MINISBLACK);
  if (layout.Compression == COMPRESSION_JPEG) {
    if (ycbcr) {
      TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, layout.YCbCr, layout.YCbCr);
      TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (layout.Quality != 0) TIFFSetField(tif, TIFFTAG_JPEGQUALITY, layout.Quality);
    if (layout.TablesInStrips) TIFFSetField(tif, TIFFTAG_JPEGTABLESMODE, 0);
  }
  if (layout.Quality != 0) {
    switch (layout.Compression) {
      case COMPRESSION_WEBP:
        if (layout.Quality == 100) {
          TIFFSetField(tif, TIFFTAG_WEBP_LOSSLESS, 1);
        } else {
          TIFFSetField(tif, TIFFTAG_WEBP_LEVEL, layout.Quality);
        }
        break;
      case COMPRESSION_ZSTD:
        TIFFSetField(tif, TIFFTAG_ZSTD_LEVEL, layout.Quality);
        break;
      case COMPRESSION_ADOBE_DEFLATE:
      case COMPRESSION_DEFLATE:
        TIFFSetField(tif, TIFFTAG_ZIPQUALITY, layout.Quality);
        break;
      case COMPRESSION_LZMA:
        TIFFSetField(tif, TIFFTAG_LZMAPRESET, layout.Quality);
        break;
    }
  }
  if (layout.Compression == COMPRESSION_LERC) {
    TIFFSetField(tif, TIFFTAG_LERC_MAXZERROR, layout.MaxZError);
    TIFFSetField(tif, TIFFTAG_LERC_ADD_COMPRESSION, layout.LercFurther);
  }
  if (layout.LsbFirst) TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  if (layout.Predictor != 1) TIFFSetField(tif, TIFFTAG_PREDICTOR, layout.Predictor);
  if (layout.RowsPerStrip != 0 && layout.Tile == 0) {
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, layout.RowsPerStrip);
  }
  if (layout.Dpi != 0) {
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, layout.Dpi);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, layout.Dpi);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  }
  const std::size_t pixelBytes = std::size_t{samples} * bytes;
  const std::size_t rowBytes = layout.Width * pixelBytes;
  bool ok = pixels.size() >= rowBytes * layout.Height;
  const bool separate = samples > 1 && layout.Separate;
  if (separate) TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_SEPARATE);
  // The samples of the pixel at (x, y); past the edge, the edge's.
  const auto pixel = [&](std::uint32_t x, std::uint32_t y) {
    return pixels.data() + (std::size_t{std::min(y, layout.Height - 1)} * layout.Width +
                            std::min(x, layout.Width - 1)) *
                               pixelBytes;
  };
  if (layout.Tile != 0) {
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, layout.Tile);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, layout.Tile);
    const std::size_t planes = separate ? samples : 1, each = (separate ? 1 : samples) * bytes;
    std::vector<std::uint8_t> tile(std::size_t{layout.Tile} * layout.Tile * each);
    for (std::uint16_t p = 0; ok && p < planes; ++p) {
      for (std::uint32_t y = 0; ok && y < layout.Height; y += layout.Tile) {
        for (std::uint32_t x = 0; ok && x < layout.Width; x += layout.Tile) {
          for (std::uint32_t i = 0; i < layout.Tile * layout.Tile; ++i) {
            const std::uint8_t* from = pixel(x + i % layout.Tile, y + i / layout.Tile) + p * bytes;
            std::copy(from, from + each, tile.begin() + i * each);
          }
          ok = TIFFWriteTile(tif, tile.data(), x, y, 0, p) != -1;
        }
      }
    }
  } else if (separate) {
    std::vector<std::uint8_t> row(std::size_t{layout.Width} * bytes);
    for (std::uint16_t p = 0; ok && p < samples; ++p) {
      for (std::uint32_t y = 0; ok && y < layout.Height; ++y) {
        for (std::uint32_t x = 0; x < layout.Width; ++x) {
          std::copy_n(pixel(x, y) + p * bytes, bytes, row.begin() + x * bytes);
        }
        ok = TIFFWriteScanline(tif, row.data(), y, p) == 1;
      }
    }
  } else {
    const std::uint32_t rows =
        layout.RowsPerStrip == 0 ? layout.Height : std::min(layout.RowsPerStrip, layout.Height);
    for (std::uint32_t first = 0, strip = 0; ok && first < layout.Height; first += rows, ++strip) {
      const std::uint32_t n = std::min(rows, layout.Height - first);
      void* data = const_cast<std::uint8_t*>(pixels.data() + first * rowBytes);
      ok = TIFFWriteEncodedStrip(tif, strip, data, static_cast<tmsize_t>(n * rowBytes)) != -1;
    }
  }
  return ok;
}

}  // namespace

bool WriteScanTiff(const char* path, const TScanLayout& layout,
                   const std::vector<std::uint8_t>& shown) {
  const char* mode = layout.Append      ? "a"
                     : layout.BigEndian ? (layout.Big ? "w8b" : "wb")
                                        : (layout.Big ? "w8" : "w");
  TIFF* tif = TIFFOpen(path, mode);
  if (tif == nullptr) return false;
  const std::vector<std::uint64_t> places(layout.Previews.size(), 0);
  bool ok =
      places.empty() || TIFFSetField(tif, TIFFTAG_SUBIFD, static_cast<std::uint16_t>(places.size()),
                                     places.data()) == 1;
  ok = ok && WriteScanDirectory(tif, layout, shown) && TIFFWriteDirectory(tif) == 1;
  // Each preview shows the page as SyntheticScan makes it at its size.
  for (const TScanLayout& preview : layout.Previews) {
    ok = ok && TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE) == 1 &&
         WriteScanDirectory(tif, preview,
                            SyntheticScan(preview.Width, preview.Height, preview.Colour, 1)) &&
         TIFFWriteDirectory(tif) == 1;
  }
  TIFFClose(tif);
  return ok;
}

namespace {

// Sets the fields of a kept page on the directory being written and writes
// its one strip.
bool WriteKeptDirectory(TIFF* tif, std::uint32_t width, std::uint32_t height, bool palette,
                        const std::vector<std::uint8_t>& grey) {
  std::vector<std::uint16_t> ramp(256);
  for (std::uint32_t i = 0; i < 256; ++i) ramp[i] = static_cast<std::uint16_t>(i * 257);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, palette ? 8 : 1);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, palette ? COMPRESSION_LZW : COMPRESSION_CCITTFAX4);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, palette ? PHOTOMETRIC_PALETTE : PHOTOMETRIC_MINISWHITE);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
  if (palette) TIFFSetField(tif, TIFFTAG_COLORMAP, ramp.data(), ramp.data(), ramp.data());
  const std::size_t rowBytes = palette ? width : (width + 7) / 8;
  std::vector<std::uint8_t> data(rowBytes * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint8_t value = grey.at(std::size_t{y} * width + x);
      if (palette) {
        data[y * rowBytes + x] = value;
      } else if (value < 128) {
        data[y * rowBytes + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
      }
    }
  }
  return TIFFWriteEncodedStrip(tif, 0, data.data(), static_cast<tmsize_t>(data.size())) != -1 &&
         TIFFWriteDirectory(tif) == 1;
}

}  // namespace

bool WriteKeptPageTiff(const char* path, std::uint32_t width, std::uint32_t height, bool palette,
                       const std::vector<std::uint8_t>& grey, bool preview) {
  TIFF* tif = TIFFOpen(path, "a");
  if (tif == nullptr) return false;
  const std::uint64_t place = 0;
  bool ok = !preview || TIFFSetField(tif, TIFFTAG_SUBIFD, 1, &place) == 1;
  ok = ok && WriteKeptDirectory(tif, width, height, palette, grey);
  if (ok && preview) {  // every other pixel of every other row
    std::vector<std::uint8_t> half;
    for (std::uint32_t y = 0; y < height / 2; ++y) {
      for (std::uint32_t x = 0; x < width / 2; ++x) half.push_back(grey.at(2 * (y * width + x)));
    }
    ok = TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE) == 1 &&
         WriteKeptDirectory(tif, width / 2, height / 2, palette, half);
  }
  TIFFClose(tif);
  return ok;
}
