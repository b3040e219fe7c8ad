#include "reference_pipeline.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>

std::vector<std::uint32_t> PlainReconstruct(const std::vector<std::uint8_t>& mask,
                                            std::vector<std::uint8_t>& marker, std::uint32_t width,
                                            std::uint32_t height) {
  const std::int64_t W = width;
  const std::int64_t N = W * height;
  const std::uint8_t* K = mask.data();
  std::uint8_t* M = marker.data();
  std::vector<std::uint32_t> counts;
  std::uint32_t previous = 0;
  for (int passesLeft = 10; passesLeft > 0; --passesLeft) {
    std::uint32_t count = 0;
    auto update = [&](std::int64_t j, std::uint8_t m) {
      if (m > K[j]) {
        M[j] = m;
        ++count;
      } else {
        M[j] = K[j];
      }
    };
    for (std::int64_t j = W + 1; j <= N - 1; ++j) {
      update(j, std::min({M[j], M[j - 1], M[j - W - 1], M[j - W], M[j - W + 1]}));
    }
    for (std::int64_t j = N - W - 2; j >= 0; --j) {
      update(j, std::min({M[j], M[j + W - 1], M[j + W], M[j + W + 1], M[j + 1]}));
    }
    counts.push_back(count);
    if (count == previous) break;
    previous = count;
  }
  return counts;
}

namespace {

std::uint8_t Grey(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  long double sum = (long double)r * 0.299L;
  sum = sum + (long double)g * 0.587L;
  sum = sum + (long double)b * 0.114L;
  return (std::uint8_t)std::nearbyint(sum);
}

}  // namespace

bool ReferenceFlatten(const std::filesystem::path& path, std::vector<std::uint8_t>& expected) {
  TIFF* tif = TIFFOpen(path.c_str(), "rc");
  if (tif == nullptr) return false;
  std::uint32_t W = 0, H = 0;
  std::uint16_t photometric = 0, bits = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &W);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &H);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  if (bits != 8 || (photometric != 1 && photometric != 2) || TIFFIsTiled(tif)) {
    TIFFClose(tif);
    return false;
  }

  // Reading: a strip buffer of S bytes; grey strips copied whole at k * S,
  // colour pixels taken one by one from their place in the strip.
  const std::uint32_t P = W * H;
  const std::uint32_t S = (std::uint32_t)TIFFStripSize(tif);
  const std::uint32_t N = TIFFNumberOfStrips(tif);
  std::vector<std::uint8_t> buffer(S), gray((P / 1024 + 1) * 1024), rgb;
  if (photometric == 2) rgb.resize(std::size_t{P} * 3);
  for (std::uint32_t k = 0; k < N; ++k) {
    if (TIFFReadEncodedStrip(tif, k, buffer.data(), S) < 0) {
      TIFFClose(tif);
      return false;
    }
    const std::uint32_t base = k * S;
    if (photometric == 1) {
      for (std::uint32_t j = base; j < P && j < base + S; ++j) gray[j] = buffer[j - base];
    } else {
      const std::uint32_t end = k + 1 < N ? (base + S) / 3 : P;
      for (std::uint32_t j = base / 3; j < end && j < P; ++j) {
        const std::uint32_t o = 3 * j - base;
        rgb[3 * j] = buffer[o];
        rgb[3 * j + 1] = buffer[o + 1];
        rgb[3 * j + 2] = buffer[o + 2];
        gray[j] = Grey(buffer[o], buffer[o + 1], buffer[o + 2]);
      }
    }
  }
  TIFFClose(tif);

  // Half size, darkest of each 2 x 2 block.
  const std::uint32_t w = W / 2, h = H / 2;
  std::vector<std::uint8_t> half(std::size_t{w} * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      std::uint8_t m = std::min(gray[2 * y * W + 2 * x], gray[2 * y * W + 2 * x + 1]);
      if (gray[(2 * y + 1) * W + 2 * x] < m) m = gray[(2 * y + 1) * W + 2 * x];
      if (gray[(2 * y + 1) * W + 2 * x + 1] < m) m = gray[(2 * y + 1) * W + 2 * x + 1];
      half[y * w + x] = m;
    }
  }

  // Marker: 255 inside, the half-size image on the frame; then reconstruct.
  std::vector<std::uint8_t> marker(half.size(), 255);
  for (std::uint32_t i = 0; i < half.size(); ++i) {
    const std::uint32_t x = i % w, y = i / w;
    if (x == 0 || y == 0 || x == w - 1 || y == h - 1) marker[i] = half[i];
  }
  if (!half.empty()) PlainReconstruct(half, marker, w, h);

  // Back to full size; the last odd column and row repeat their neighbours,
  // and a page without a half-size pixel gets a white background.
  std::vector<std::uint8_t> background(P);
  for (std::uint32_t i = 0; i < P; ++i) {
    const std::uint32_t X = i % W, Y = i / W;
    background[i] =
        half.empty() ? 255 : marker[std::min(Y / 2, h - 1) * w + std::min(X / 2, w - 1)];
  }

  // Division, gain, and the gain added to the colour channels.
  std::vector<std::uint8_t> saved(gray.begin(), gray.begin() + P);
  for (std::uint32_t i = 0; i < P; ++i) {
    const unsigned b = background[i], p = gray[i];
    gray[i] = (std::uint8_t)(b < 30 ? 255 : p < b ? p * 255 / b : 255);
  }
  if (photometric == 1) {
    expected.assign(gray.begin(), gray.begin() + P);
    return true;
  }
  for (std::uint32_t i = 0; i < P; ++i) gray[i] = (std::uint8_t)(gray[i] - saved[i]);
  for (std::size_t i = 0; i < rgb.size(); ++i) {
    const unsigned s = rgb[i] + gray[i / 3];
    rgb[i] = (std::uint8_t)(s > 255 ? 255 : s);
  }
  expected = rgb;
  return true;
}
