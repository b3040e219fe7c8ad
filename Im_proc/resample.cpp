#include "resample.h"

#include "split_rows.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>

TMyImage DownscaleMin(const TMyImage& page, unsigned threads) {
  TMyImage result = HeaderOf(page);
  const std::uint32_t W = page.Width;
  const std::uint32_t w = page.Width / 2;
  const std::uint32_t h = page.Height / 2;
  result.Width = w;
  result.Height = h;
  result.StripCount = page.StripCount / 2;
  result.Gray.resize(w * h);

  SplitRows(h, threads, 64, [&](std::uint32_t firstRow, std::uint32_t endRow) {
    for (std::uint32_t y = firstRow; y < endRow; ++y) {
      const std::uint8_t* top = page.Gray.data() + 2 * y * W;
      const std::uint8_t* bottom = top + W;
      std::uint8_t* out = result.Gray.data() + y * w;
      std::uint32_t x = 0;
#if defined(__SSE2__)
      // 16 output pixels from 32 columns of both rows: the smaller of the two
      // rows, then of each pair of neighbours (kept in the low byte of each
      // 16-bit lane), packed back to bytes.
      const __m128i lowBytes = _mm_set1_epi16(0x00FF);
      for (; x + 16 <= w; x += 16) {
        const auto load = [](const std::uint8_t* p) {
          return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        };
        const __m128i a = _mm_min_epu8(load(top + 2 * x), load(bottom + 2 * x));
        const __m128i b = _mm_min_epu8(load(top + 2 * x + 16), load(bottom + 2 * x + 16));
        const __m128i pairsA = _mm_and_si128(_mm_min_epu8(a, _mm_srli_epi16(a, 8)), lowBytes);
        const __m128i pairsB = _mm_and_si128(_mm_min_epu8(b, _mm_srli_epi16(b, 8)), lowBytes);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(pairsA, pairsB));
      }
#endif
      for (; x < w; ++x) {
        const std::uint8_t upper = std::min(top[2 * x], top[2 * x + 1]);
        const std::uint8_t lower = std::min(bottom[2 * x], bottom[2 * x + 1]);
        out[x] = std::min(upper, lower);
      }
    }
  });
  return result;
}

TMyImage UpscaleNearest(const TMyImage& half, const TMyImage& reference, unsigned threads) {
  TMyImage result = HeaderOf(half);
  const std::uint32_t W = reference.Width;
  const std::uint32_t H = reference.Height;
  const std::uint32_t w = half.Width;
  const std::uint32_t h = half.Height;
  result.Width = W;
  result.Height = H;
  result.StripCount = reference.StripCount;

  if (w == 0 || h == 0) {
    // A page under 2 x 2 pixels has no half-size pixel to take a background
    // from; a white background leaves such a page unchanged.
    result.Gray.assign(W * H, 255);
    return result;
  }
  result.Gray.resize(W * H);
  // Every row is its half-size row with each pixel doubled (the last one
  // repeated for an odd width); rows 2y and 2y + 1, and for an odd height
  // the last row too, share their half-size row, so each is made once and
  // copied (a block of rows on a thread of its own makes its first row).
  std::uint8_t* out = result.Gray.data();
  SplitRows(H, threads, 64, [&](std::uint32_t firstRow, std::uint32_t endRow) {
    for (std::uint32_t Y = firstRow; Y < endRow; ++Y) {
      std::uint8_t* row = out + std::size_t{Y} * W;
      if (Y > firstRow && std::min(Y / 2, h - 1) == std::min((Y - 1) / 2, h - 1)) {
        std::memcpy(row, row - W, W);
        continue;
      }
      const std::uint8_t* in = half.Gray.data() + std::size_t{std::min(Y / 2, h - 1)} * w;
      std::uint32_t x = 0;
#if defined(__SSE2__)
      for (; 2 * x + 32 <= W && x + 16 <= w; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * x), _mm_unpacklo_epi8(v, v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * x + 16), _mm_unpackhi_epi8(v, v));
      }
#endif
      for (std::uint32_t X = 2 * x; X < W; ++X) row[X] = in[std::min(X / 2, w - 1)];
    }
  });
  return result;
}
