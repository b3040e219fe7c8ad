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
