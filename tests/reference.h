// A second, deliberately plain implementation of the correction, written
// the way it is explained, index by index, for the tests to check the tool's
// bytes against. T is std::uint8_t (255 white) or std::uint16_t (65535).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "image.h"
#include "paper.h"

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
// the extra samples as they were. With `paper`, corrected by PlainPaper.
std::vector<std::uint32_t> PlainFlattenFile(std::uint32_t width, std::uint32_t height, bool colour,
                                            unsigned bits, bool whiteIsZero,
                                            const std::vector<std::uint16_t>& extraKinds,
                                            const std::vector<std::uint32_t>& samples,
                                            bool paper = false);

// A preview of `page` (its Samples, grey or colour, without extra samples)
// of the size and kind of `preview`: each preview pixel the mean, half up,
// of the page's columns from x * W / w to before (x + 1) * W / w (at least
// one) and the rows likewise; grey from colour by PlainGrey; 8 bits from 16
// rounded, 16 from 8 times 257.
struct TFileInfo;
std::vector<std::uint32_t> PlainPreview(const TFileInfo& page, const TFileInfo& preview);

// The correction against the paper (-p), pixel by pixel: the page's grey
// (PlainGrey for colour) halved by the darkest of each 2 x 2 block, the
// margin's runs along each side, the rank of each 16 x 16 tile by sorting,
// the closing by whole squares, the filling a ring at a time, the 3 x 3
// smoothing and each pixel's paper interpolated on its own.
template <class T>
std::vector<T> PlainPaper(std::uint32_t W, std::uint32_t H, bool colour, std::vector<T> samples) {
  const std::uint32_t white = std::numeric_limits<T>::max(), C = colour ? 3 : 1;
  const std::uint32_t w = W / 2, h = H / 2, S = 16, tx = (w + S - 1) / S, ty = (h + S - 1) / S;
  if (tx == 0 || ty == 0) return samples;
  auto grey = [&](std::uint32_t X, std::uint32_t Y) {
    const T* s = &samples[(std::size_t{Y} * W + X) * C];
    return colour ? PlainGrey(s[0], s[1], s[2]) : unsigned{s[0]};
  };
  std::vector<unsigned> half(std::size_t{w} * h, white), halfC(std::size_t{w} * h * C, white);
  for (std::uint32_t i = 0; i < w * h; ++i) {
    for (std::uint32_t k = 0, X, Y; k < 4; ++k) {
      X = i % w * 2 + k % 2, Y = i / w * 2 + k / 2;
      half[i] = std::min(half[i], grey(X, Y));
      for (std::uint32_t c = 0; c < C; ++c)
        halfC[i * C + c] =
            std::min<unsigned>(halfC[i * C + c], samples[(std::size_t{Y} * W + X) * C + c]);
    }
  }
  // Paper: three quarters at or below, to 8 bits; dark: at most 2/5 of it.
  std::vector<unsigned> sorted8;
  for (const unsigned v : half) sorted8.push_back(white == 255 ? v : v >> 8);
  std::sort(sorted8.begin(), sorted8.end());
  const unsigned dark = sorted8[(sorted8.size() * 3 - 1) / 4] * (white == 255 ? 1 : 257) * 2 / 5;
  std::vector<bool> margin(std::size_t{w} * h, false);
  for (int side = 0; side < 4; ++side) {
    const std::uint32_t lines = side < 2 ? h : w, length = side < 2 ? w : h;
    auto at = [&](std::uint32_t line, std::uint32_t k) {  // x, y of step k into line
      return std::pair{side == 0   ? k
                       : side == 1 ? w - 1 - k
                                   : line,
                       side < 2    ? line
                       : side == 2 ? k
                                   : h - 1 - k};
    };
    std::vector<std::uint32_t> run(lines, 0);
    std::uint32_t starting = 0;
    for (std::uint32_t i = 0; i<lines; starting += run[i++]> 0) {
      for (auto [x, y] = at(i, 0); run[i] < length && half[y * w + x] <= dark;)
        std::tie(x, y) = at(i, ++run[i]);
    }
    for (std::uint32_t i = 0; 2 * starting >= lines && i < lines; ++i) {
      std::vector<std::uint32_t> around(run.begin() + (i > 16 ? i - 16 : 0),
                                        run.begin() + std::min(lines, i + 17));
      std::sort(around.begin(), around.end());
      for (std::uint32_t k = 0; k < std::min(run[i], around[around.size() / 2]); ++k) {
        const auto [x, y] = at(i, k);
        for (std::uint32_t yy = y > 0 ? y - 1 : 0; yy <= std::min(y + 1, h - 1); ++yy)
          for (std::uint32_t xx = x > 0 ? x - 1 : 0; xx <= std::min(x + 1, w - 1); ++xx)
            margin[yy * w + xx] = true;
      }
    }
  }
  // The paper's levels and grain from the half-size image and margin as
  // worked out here, by the tool's estimate (tested on its own for what it
  // finds).
  TMyImage reduced;
  reduced.Width = w, reduced.Height = h, reduced.BitsPerSample = sizeof(T) * 8;
  reduced.Photometric = colour ? 2 : 1, reduced.SamplesPerPixel = C;
  GrayOf(T{}, reduced).assign(half.begin(), half.end());
  if (colour) RgbOf(T{}, reduced).assign(halfC.begin(), halfC.end());
  TPaperField field;
  field.Width = w, field.Height = h, field.Margin.assign(margin.begin(), margin.end());
  EstimatePaper(reduced, field, 1);
  const std::vector<std::uint32_t>& level = field.Level;
  const std::int64_t knee = field.Knee;
  // Each pixel: the paper between the four tile centres around it.
  auto between = [&](std::uint32_t X, std::uint32_t count) {  // tile, weight of the next
    if (count < 2) return std::pair<std::uint32_t, std::int64_t>{0, 0};
    const std::int64_t at = 2 * std::int64_t{X} + 1 - 2 * S;
    const std::int64_t tile = std::clamp<std::int64_t>(at < 0 ? -1 : at / 64, 0, count - 2);
    return std::pair<std::uint32_t, std::int64_t>{(std::uint32_t)tile, at - 64 * tile};
  };
  for (std::uint32_t Y = 0; Y < H; ++Y) {
    for (std::uint32_t X = 0; X < W; ++X) {
      const auto [i, f] = between(X, tx);
      const auto [j, g] = between(Y, ty);
      const bool edge = margin[std::min(Y / 2, h - 1) * w + std::min(X / 2, w - 1)];
      for (std::uint32_t c = 0; c < C; ++c) {
        auto L = [&](std::uint32_t a, std::uint32_t b) {
          return std::int64_t{level[(std::min(b, ty - 1) * tx + std::min(a, tx - 1)) * C + c]};
        };
        const std::int64_t sum64 = L(i, j) * (64 - f) * (64 - g) + L(i + 1, j) * f * (64 - g) +
                                   L(i, j + 1) * (64 - f) * g + L(i + 1, j + 1) * f * g;
        const std::int64_t b0 = (std::int64_t)std::floor((double)(sum64 + 2048) / 4096.0);
        const std::int64_t b = std::clamp<std::int64_t>(b0, 1, white);
        const std::int64_t p = samples[(std::size_t{Y} * W + X) * C + c];
        // The grain's knee: from `knee` below white up, white; from twice
        // that, stretched onto the gap.
        const std::int64_t k = std::min<std::int64_t>(knee, white - b);
        const std::int64_t q = p * white / b, from = white - 2 * k;
        samples[(std::size_t{Y} * W + X) * C + c] = (T)(edge || q >= white - k ? white
                                                        : q > from                ? 2 * q - from
                                                                                  : q);
      }
    }
  }
  return samples;
}
