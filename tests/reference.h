// A second, deliberately plain implementation of the correction, written
// the way it is explained, index by index, for the tests to check the tool's
// bytes against. T is std::uint8_t (255 white) or std::uint16_t (65535).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

// The grey value of a colour pixel in long double, each product and sum
// rounded to a 64-bit significand as x87 extended precision does: where long
// double has at least 64 bits and at most 113 (ExtendedPrecision).
constexpr bool ExtendedPrecision = std::numeric_limits<long double>::digits == 64 ||
                                   std::numeric_limits<long double>::digits == 113;
unsigned PlainGrey(unsigned r, unsigned g, unsigned b);

// The reconstruction as a sweep over every pixel, frame included (its
// neighbours wrap to other rows). Lowers `marker` in place; returns the
// count of each pass run.
template <class T>
std::vector<std::uint32_t> PlainReconstruct(const std::vector<T>& mask, std::vector<T>& marker,
                                            std::uint32_t width, std::uint32_t height) {
  const std::int64_t W = width, N = W * height;
  const T* K = mask.data();
  T* M = marker.data();
  std::vector<std::uint32_t> counts;
  for (std::uint32_t previous = 0; counts.size() < 10;) {
    std::uint32_t count = 0;
    auto update = [&](std::int64_t j, T m) {
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

// What the tool writes back for a width x height page of `samples` (row by
// row; three per pixel when `colour`).
template <class T>
std::vector<T> PlainFlatten(std::uint32_t W, std::uint32_t H, bool colour, std::vector<T> samples) {
  const unsigned white = std::numeric_limits<T>::max(), dark = 30 * (white / 255);
  const std::uint32_t P = W * H;
  std::vector<T> gray(P);
  for (std::uint32_t i = 0; i < P; ++i) {
    gray[i] =
        colour ? (T)PlainGrey(samples[3 * i], samples[3 * i + 1], samples[3 * i + 2]) : samples[i];
  }
  // Half size, darkest of each 2 x 2 block; the marker is the half-size
  // image on the frame and white inside.
  const std::uint32_t w = W / 2, h = H / 2;
  std::vector<T> half(std::size_t{w} * h), marker(half.size());
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint32_t i = 2 * y * W + 2 * x;
      half[y * w + x] = std::min({gray[i], gray[i + 1], gray[i + W], gray[i + W + 1]});
      const bool frame = x == 0 || y == 0 || x == w - 1 || y == h - 1;
      marker[y * w + x] = frame ? half[y * w + x] : (T)white;
    }
  }
  if (!half.empty()) PlainReconstruct(half, marker, w, h);

  // Back to full size (the last odd column and row repeat their neighbours;
  // no half-size pixel: white), then the division and the gain.
  for (std::uint32_t i = 0; i < P; ++i) {
    const std::uint32_t X = i % W, Y = i / W;
    const unsigned b =
        half.empty() ? white : marker[std::min(Y / 2, h - 1) * w + std::min(X / 2, w - 1)];
    const unsigned p = gray[i];
    const unsigned divided = b < dark ? white : p < b ? p * white / b : white;
    if (!colour) samples[i] = (T)divided;
    for (std::uint32_t c = 0; colour && c < 3; ++c) {
      const unsigned s = samples[3 * i + c] + (T)(divided - p);
      samples[3 * i + c] = (T)(s > white ? white : s);
    }
  }
  return samples;
}

// The same for a page's samples as its file holds them (`bits` 8 or 16,
// 0 white when `whiteIsZero`, the extra samples of `extraKinds` after the
// image's in each pixel): the image it shows flattened (colour multiplied
// by an alpha of kind 1 divided by it first, and multiplied again after),
// the extra samples as they were.
std::vector<std::uint32_t> PlainFlattenFile(std::uint32_t width, std::uint32_t height, bool colour,
                                            unsigned bits, bool whiteIsZero,
                                            const std::vector<std::uint16_t>& extraKinds,
                                            const std::vector<std::uint32_t>& samples);

// A preview of `page` (its Samples, grey or colour, without extra samples)
// of the size and kind of `preview`: each preview pixel the mean, half up,
// of the page's columns from x * W / w to before (x + 1) * W / w (at least
// one) and the rows likewise; grey from colour by PlainGrey; 8 bits from 16
// rounded, 16 from 8 times 257.
struct TFileInfo;
std::vector<std::uint32_t> PlainPreview(const TFileInfo& page, const TFileInfo& preview);
