#include "resample.h"

#include "split_rows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <limits>

namespace {

// Output rows [firstRow, endRow) of the half-size image, from column `x` on:
// the plain kernel, and the rest of a row after the vector one.
template <class T>
void DownscaleRest(const T* top, std::uint32_t W, T* out, std::uint32_t x, std::uint32_t w) {
  const T* bottom = top + W;
  for (; x < w; ++x) {
    const T upper = std::min(top[2 * x], top[2 * x + 1]);
    const T lower = std::min(bottom[2 * x], bottom[2 * x + 1]);
    out[x] = std::min(upper, lower);
  }
}

#if defined(__SSE2__)
inline __m128i Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void Store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
#endif

// The vector kernel: returns how many output pixels of the row it made.
// 8-bit rows, 16 output pixels from 32 columns of both rows at a time: the
// smaller of the two rows, then of each pair of neighbours (kept in the low
// byte of each 16-bit lane), packed back to bytes. 16-bit rows, 8 at a
// time the same way in 32-bit lanes; SSE2 compares 16-bit lanes as signed
// only, so the samples are moved by 0x8000 on the way in and back on the
// way out, which keeps their order.
template <class T>
std::uint32_t DownscaleVector([[maybe_unused]] const T* top, [[maybe_unused]] std::uint32_t W,
                              [[maybe_unused]] T* out, [[maybe_unused]] std::uint32_t w) {
  std::uint32_t x = 0;
#if defined(__SSE2__)
  constexpr std::uint32_t Lanes = 16 / sizeof(T);
  const T* bottom = top + W;
  const __m128i bias = _mm_set1_epi16(-0x8000);
  for (; x + Lanes <= w; x += Lanes) {
    __m128i pairs[2];
    for (std::uint32_t half = 0; half < 2; ++half) {
      const T* up = top + 2 * x + half * Lanes;
      const T* down = bottom + 2 * x + half * Lanes;
      if constexpr (sizeof(T) == 1) {
        const __m128i a = _mm_min_epu8(Load(up), Load(down));
        pairs[half] = _mm_and_si128(_mm_min_epu8(a, _mm_srli_epi16(a, 8)), _mm_set1_epi16(0xFF));
      } else {
        const __m128i a =
            _mm_min_epi16(_mm_xor_si128(Load(up), bias), _mm_xor_si128(Load(down), bias));
        const __m128i m = _mm_min_epi16(a, _mm_srai_epi32(a, 16));
        pairs[half] = _mm_srai_epi32(_mm_slli_epi32(m, 16), 16);  // the low lane, signed
      }
    }
    Store(out + x, sizeof(T) == 1 ? _mm_packus_epi16(pairs[0], pairs[1])
                                  : _mm_xor_si128(_mm_packs_epi32(pairs[0], pairs[1]), bias));
  }
#endif
  return x;
}

}  // namespace

TMyImage DownscaleMin(const TMyImage& page, unsigned threads, TMyImage&& memory) {
  TMyImage result = HeaderOf(page, std::move(memory));
  const std::uint32_t W = page.Width;
  const std::uint32_t w = page.Width / 2;
  const std::uint32_t h = page.Height / 2;
  result.Width = w;
  result.Height = h;
  result.StripCount = page.StripCount / 2;
  WithSamples(page, [&](auto zero) {
    const auto* in = GrayOf(zero, page).data();
    auto& plane = GrayOf(zero, result);
    plane.resize(w * h);
    SplitRows(h, threads, 64, [&](std::uint32_t firstRow, std::uint32_t endRow) {
      for (std::uint32_t y = firstRow; y < endRow; ++y) {
        const auto* top = in + 2 * y * W;
        auto* out = plane.data() + y * w;
        DownscaleRest(top, W, out, DownscaleVector(top, W, out, w), w);
      }
    });
  });
  return result;
}

namespace {

// Doubles `w` half-size pixels into 2 * x... of an output row of W pixels:
// 16 bytes of them at a time; returns how many half-size pixels it did.
template <class T>
std::uint32_t DoubleVector([[maybe_unused]] const T* in, [[maybe_unused]] T* row,
                           [[maybe_unused]] std::uint32_t W, [[maybe_unused]] std::uint32_t w) {
  std::uint32_t x = 0;
#if defined(__SSE2__)
  constexpr std::uint32_t Lanes = 16 / sizeof(T);
  for (; 2 * x + 2 * Lanes <= W && x + Lanes <= w; x += Lanes) {
    const __m128i v = Load(in + x);
    Store(row + 2 * x, sizeof(T) == 1 ? _mm_unpacklo_epi8(v, v) : _mm_unpacklo_epi16(v, v));
    Store(row + 2 * x + Lanes, sizeof(T) == 1 ? _mm_unpackhi_epi8(v, v) : _mm_unpackhi_epi16(v, v));
  }
#endif
  return x;
}

}  // namespace

TMyImage UpscaleNearest(const TMyImage& half, const TMyImage& reference, unsigned threads,
                        TMyImage&& memory) {
  TMyImage result = HeaderOf(half, std::move(memory));
  const std::uint32_t W = reference.Width;
  const std::uint32_t H = reference.Height;
  const std::uint32_t w = half.Width;
  const std::uint32_t h = half.Height;
  result.Width = W;
  result.Height = H;
  result.StripCount = reference.StripCount;

  WithSamples(half, [&](auto zero) {
    using T = decltype(zero);
    auto& plane = GrayOf(zero, result);
    if (w == 0 || h == 0) {
      // A page under 2 x 2 pixels has no half-size pixel to take a background
      // from; a white background leaves such a page unchanged.
      plane.assign(W * H, std::numeric_limits<T>::max());
      return;
    }
    plane.resize(W * H);
    // Every row is its half-size row with each pixel doubled (the last one
    // repeated for an odd width); rows 2y and 2y + 1, and for an odd height
    // the last row too, share their half-size row, so each is made once and
    // copied (a block of rows on a thread of its own makes its first row).
    T* out = plane.data();
    SplitRows(H, threads, 64, [&](std::uint32_t firstRow, std::uint32_t endRow) {
      for (std::uint32_t Y = firstRow; Y < endRow; ++Y) {
        T* row = out + std::size_t{Y} * W;
        if (Y > firstRow && std::min(Y / 2, h - 1) == std::min((Y - 1) / 2, h - 1)) {
          std::copy(row - W, row, row);
          continue;
        }
        const T* in = GrayOf(zero, half).data() + std::size_t{std::min(Y / 2, h - 1)} * w;
        for (std::uint32_t X = 2 * DoubleVector(in, row, W, w); X < W; ++X) {
          row[X] = in[std::min(X / 2, w - 1)];
        }
      }
    });
  });
  return result;
}
