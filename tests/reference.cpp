#include "reference.h"

#include <algorithm>
#include <cmath>
#include <limits>

std::uint8_t PlainGrey(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  // To a 64-bit significand: nothing to do where long double has one (the
  // hardware rounded already); where it has more, every product and sum
  // here was exact, and is rounded now.
  const auto extended = [](long double x) {
    if (std::numeric_limits<long double>::digits == 64) return x;
    int exponent = 0;
    const long double fraction = std::frexp(x, &exponent);
    return std::ldexp(std::nearbyint(std::ldexp(fraction, 64)), exponent - 64);
  };
  const long double sum = extended(extended(extended((long double)r * extended(0.299L)) +
                                            extended((long double)g * extended(0.587L))) +
                                   extended((long double)b * extended(0.114L)));
  return (std::uint8_t)std::nearbyint(sum);
}

std::vector<std::uint32_t> PlainReconstruct(const std::vector<std::uint8_t>& mask,
                                            std::vector<std::uint8_t>& marker, std::uint32_t width,
                                            std::uint32_t height) {
  const std::int64_t W = width, N = W * height;
  const std::uint8_t* K = mask.data();
  std::uint8_t* M = marker.data();
  std::vector<std::uint32_t> counts;
  for (std::uint32_t previous = 0; counts.size() < 10;) {
    std::uint32_t count = 0;
    auto update = [&](std::int64_t j, std::uint8_t m) {
      M[j] = m > K[j] ? m : K[j];
      count += m > K[j];
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

std::vector<std::uint8_t> PlainFlatten(std::uint32_t W, std::uint32_t H, bool colour,
                                       std::vector<std::uint8_t> samples) {
  const std::uint32_t P = W * H;
  std::vector<std::uint8_t> gray(P);
  for (std::uint32_t i = 0; i < P; ++i) {
    gray[i] =
        colour ? PlainGrey(samples[3 * i], samples[3 * i + 1], samples[3 * i + 2]) : samples[i];
  }
  // Half size, darkest of each 2 x 2 block; the marker is the half-size
  // image on the frame and 255 inside.
  const std::uint32_t w = W / 2, h = H / 2;
  std::vector<std::uint8_t> half(std::size_t{w} * h), marker(half.size());
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint32_t i = 2 * y * W + 2 * x;
      half[y * w + x] = std::min({gray[i], gray[i + 1], gray[i + W], gray[i + W + 1]});
      const bool frame = x == 0 || y == 0 || x == w - 1 || y == h - 1;
      marker[y * w + x] = frame ? half[y * w + x] : 255;
    }
  }
  if (!half.empty()) PlainReconstruct(half, marker, w, h);

  // Back to full size (the last odd column and row repeat their neighbours;
  // no half-size pixel: white), then the division and the gain.
  for (std::uint32_t i = 0; i < P; ++i) {
    const std::uint32_t X = i % W, Y = i / W;
    const unsigned b =
        half.empty() ? 255 : marker[std::min(Y / 2, h - 1) * w + std::min(X / 2, w - 1)];
    const unsigned p = gray[i];
    const unsigned divided = b < 30 ? 255 : p < b ? p * 255 / b : 255;
    if (!colour) samples[i] = (std::uint8_t)divided;
    for (std::uint32_t c = 0; colour && c < 3; ++c) {
      const unsigned s = samples[3 * i + c] + (std::uint8_t)(divided - p);
      samples[3 * i + c] = (std::uint8_t)(s > 255 ? 255 : s);
    }
  }
  return samples;
}
