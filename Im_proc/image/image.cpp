#include "image.h"

#include <algorithm>

#include "split_rows.h"

TMyImage HeaderOf(const TMyImage& source) {
  TMyImage result;
  result.Width = source.Width;
  result.Height = source.Height;
  result.BitsPerSample = source.BitsPerSample;
  result.SamplesPerPixel = source.SamplesPerPixel;
  result.Compression = source.Compression;
  result.Photometric = source.Photometric;
  result.StripOffsets = source.StripOffsets;
  result.RowsPerStrip = source.RowsPerStrip;
  result.StripByteCounts = source.StripByteCounts;
  result.XResolution = source.XResolution;
  result.YResolution = source.YResolution;
  result.ResolutionUnit = source.ResolutionUnit;
  result.StripCount = source.StripCount;
  result.TileWidth = source.TileWidth;
  result.TileLength = source.TileLength;
  result.PlanarConfig = source.PlanarConfig;
  result.FillOrder = source.FillOrder;
  result.Predictor = source.Predictor;
  result.JpegQuality = source.JpegQuality;
  result.JpegTablesInStrips = source.JpegTablesInStrips;
  result.WebpLossless = source.WebpLossless;
  result.WebpLevel = source.WebpLevel;
  result.LercMaxZError = source.LercMaxZError;
  result.ExtraKinds = source.ExtraKinds;
  result.Tags = source.Tags;
  return result;
}

TMyImage HeaderOf(const TMyImage& source, TMyImage&& memory) {
  TMyImage result = HeaderOf(source);
  result.Gray = std::move(memory.Gray);
  result.Gray16 = std::move(memory.Gray16);
  result.Gray.clear();
  result.Gray16.clear();
  return result;
}

void TakeHeader(TMyImage& image, TMyImage&& header, std::size_t extraBytes) {
  header.Gray = std::move(image.Gray);
  header.Rgb = std::move(image.Rgb);
  header.Gray16 = std::move(image.Gray16);
  header.Rgb16 = std::move(image.Rgb16);
  header.Extra = std::move(image.Extra);
  image = std::move(header);
  // Plane memory is not set when allocated, only as samples arrive, so a
  // header that declares a huge page over a few bytes of data costs address
  // space, not memory, before its data fails. Nothing of the previous page
  // is worth copying as the planes grow.
  const std::uint32_t pixels = PixelCount(image);
  if (IsWide(image)) {
    TPlane().swap(image.Gray), TPlane().swap(image.Rgb);
  } else {
    TPlane16().swap(image.Gray16), TPlane16().swap(image.Rgb16);
  }
  WithSamples(image, [&](auto zero) {
    GrayOf(zero, image).clear();
    GrayOf(zero, image).resize((pixels / 1024 + 1) * std::size_t{1024});
    if (IsColour(image)) {
      RgbOf(zero, image).clear();
      RgbOf(zero, image).resize(std::size_t{pixels} * 3);
    }
  });
  image.Extra.clear();
  image.Extra.resize(extraBytes);
}

TMyImage CopyImage(const TMyImage& source, unsigned threads, TMyImage&& memory) {
  TMyImage result = HeaderOf(source, std::move(memory));
  WithSamples(source, [&](auto zero) {
    const auto& from = GrayOf(zero, source);
    auto& to = GrayOf(zero, result);
    to.resize(from.size());
    // Only the pixels are copied, not the slack that a plane may carry past them.
    const std::uint32_t pixels = PixelCount(source);
    SplitRows(pixels, threads, 1u << 18, [&](std::uint32_t first, std::uint32_t end) {
      std::copy(from.begin() + first, from.begin() + end, to.begin() + first);
    });
    std::fill(to.begin() + pixels, to.end(), decltype(zero){0});
  });
  return result;
}
