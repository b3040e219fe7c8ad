#include "reconstruct.h"

#include <algorithm>

TMyImage MakeBorderSeed(const TMyImage& source) {
  TMyImage result = HeaderOf(source);
  const std::uint32_t W = source.Width;
  const std::uint32_t H = source.Height;
  const std::uint32_t N = W * H;
  result.Gray.assign(N, 255);
  if (N == 0) return result;

  const std::uint8_t* in = source.Gray.data();
  std::uint8_t* out = result.Gray.data();
  for (std::uint32_t r = 0; r < H; ++r) {
    out[r * W] = in[r * W];
    out[r * W + W - 1] = in[r * W + W - 1];
  }
  std::copy_n(in, W, out);
  std::copy_n(in + N - W, W, out + N - W);
  return result;
}

// One update of the reconstruction: the marker value `m` (the smallest of the
// pixel and the neighbours already visited) is kept when it lies above the
// mask and counted, otherwise the pixel drops to the mask.
static inline void Update(std::uint8_t& marker, std::uint8_t m, std::uint8_t mask,
                          std::uint32_t& count) {
  if (m > mask) {
    marker = m;
    ++count;
  } else {
    marker = mask;
  }
}

std::uint32_t ReconstructBackground(const TMyImage& mask, TMyImage& marker,
                                    std::uint32_t* passCounts) {
  const std::uint32_t W = mask.Width;
  const std::uint32_t H = mask.Height;
  const std::uint8_t* K = mask.Gray.data();
  std::uint8_t* M = marker.Gray.data();

  // Frame pixels equal the mask and can never change, so both half-passes
  // visit the interior only: rows 1 to H - 2, columns 1 to W - 2. The
  // neighbours are then always the true 8 neighbours, and the counts are
  // those of a sweep over every pixel.
  std::uint32_t previous = 0;
  std::uint32_t passes = 0;
  while (passes < PassLimit) {
    std::uint32_t count = 0;
    if (W >= 3 && H >= 3) {
      for (std::uint32_t y = 1; y + 1 < H; ++y) {
        for (std::uint32_t j = y * W + 1, end = y * W + W - 1; j < end; ++j) {
          std::uint8_t m = std::min({M[j], M[j - 1], M[j - W - 1], M[j - W], M[j - W + 1]});
          Update(M[j], m, K[j], count);
        }
      }
      for (std::uint32_t y = H - 2; y >= 1; --y) {
        for (std::uint32_t j = y * W + W - 2, end = y * W; j > end; --j) {
          std::uint8_t m = std::min({M[j], M[j + W - 1], M[j + W], M[j + W + 1], M[j + 1]});
          Update(M[j], m, K[j], count);
        }
      }
    }
    if (passCounts != nullptr) passCounts[passes] = count;
    ++passes;
    if (count == previous) break;
    previous = count;
  }
  return passes;
}
