#include "reconstruct.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <limits>

#include "processor.h"
#include "reconstruct_kernels.h"

TMyImage MakeBorderSeed(const TMyImage& source, TMyImage&& memory) {
  TMyImage result = HeaderOf(source, std::move(memory));
  const std::uint32_t W = source.Width;
  const std::uint32_t H = source.Height;
  const std::uint32_t N = W * H;
  WithSamples(source, [&](auto zero) {
    auto& plane = GrayOf(zero, result);
    plane.assign(N, std::numeric_limits<decltype(zero)>::max());
    if (N == 0) return;
    const auto* in = GrayOf(zero, source).data();
    auto* out = plane.data();
    for (std::uint32_t r = 0; r < H; ++r) {
      out[r * W] = in[r * W];
      out[r * W + W - 1] = in[r * W + W - 1];
    }
    std::copy_n(in, W, out);
    std::copy_n(in + N - W, W, out + N - W);
  });
  return result;
}

// One row of a half-pass.
//
// Each interior pixel x of `row` (1 to W - 2) is updated in turn, forward
// from left to right or backward from right to left:
//   m = min(old value, the three pixels of `near` at x - 1, x, x + 1,
//           the pixel before it, already updated)
//   new value = max(m, mask), counted when m > mask.
// `near` is the row above (forward) or below (backward), final for this
// half-pass.
//
// Written out, a pixel's new value is y[x] = f_x(y[x - 1]) with
// f_x(v) = max(min(v, a[x]), k[x]), where a[x] = min(old value, near pixels)
// and k[x] = mask: a clamp of v into [k, max(a, k)]. Clamps compose into
// clamps (clamp(clamp(v, l1, h1), l2, h2) = clamp(v, clamp(l1, l2, h2),
// clamp(h1, l2, h2))), so a block of 16 pixels is a prefix scan of clamps
// that SSE2 evaluates in four steps (a block of 32 in five with AVX2), then
// applies to the value carried in from the previous block: the same bytes
// and counts as pixel by pixel.

namespace {

// Scalar update of one pixel; returns the new value, the next pixel's `before`.
template <class T>
inline T UpdatePixel(T* row, const T* near, const T* mask, std::uint32_t x, T before,
                     std::uint32_t& count) {
  const T m = std::min({row[x], near[x - 1], near[x], near[x + 1], before});
  if (m > mask[x]) {
    row[x] = m;
    ++count;
  } else {
    row[x] = mask[x];
  }
  return row[x];
}

// The pixels of a row that the blocks left, one at a time: the interior
// pixels after the first `done` in the scan's order, from the carried pixel
// `before` on.
template <bool Forward, class T>
void UpdateRest(T* row, const T* near, const T* mask, std::uint32_t W, std::uint32_t done, T before,
                std::uint32_t& count) {
  if constexpr (Forward) {
    for (std::uint32_t x = 1 + done; x <= W - 2; ++x) {
      before = UpdatePixel(row, near, mask, x, before, count);
    }
  } else {
    for (std::uint32_t x = W - 2 - done; x >= 1; --x) {
      before = UpdatePixel(row, near, mask, x, before, count);
    }
  }
}

// The plain sweep of a row, pixel by pixel: the kernel of targets without
// SSE2, and of 16-bit pages.
template <bool Forward, class T>
void UpdateRowPlain(T* row, const T* near, const T* mask, std::uint32_t W, std::uint32_t& count) {
  UpdateRest<Forward>(row, near, mask, W, 0, Forward ? row[0] : row[W - 1], count);
}

#if defined(__SSE2__)
// Lanes moved S places in the scan's direction (towards higher lanes going
// forward, lower lanes going backward), the vacated lanes set to `fill`.
template <bool Forward, int S>
inline __m128i Shift(__m128i v, __m128i fill) {
  if constexpr (Forward) {
    return _mm_or_si128(_mm_slli_si128(v, S), _mm_srli_si128(fill, 16 - S));
  } else {
    return _mm_or_si128(_mm_srli_si128(v, S), _mm_slli_si128(fill, 16 - S));
  }
}

inline __m128i Clamp(__m128i v, __m128i lo, __m128i hi) {
  return _mm_max_epu8(_mm_min_epu8(v, hi), lo);
}

// One step of the scan: each lane's clamp composed after the one S lanes
// earlier (identity, [0, 255], where there is none).
template <bool Forward, int S>
inline void ScanStep(__m128i& lo, __m128i& hi) {
  const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi8(-1);
  const __m128i earlierLo = Shift<Forward, S>(lo, zero);
  const __m128i earlierHi = Shift<Forward, S>(hi, ones);
  const __m128i newLo = Clamp(earlierLo, lo, hi);
  hi = Clamp(earlierHi, lo, hi);
  lo = newLo;
}

// The last lane in the scan's order (15 going forward, 0 going backward)
// in every lane.
template <bool Forward>
inline __m128i BroadcastLast(__m128i v) {
  if constexpr (Forward) {
    const __m128i pairs = _mm_unpackhi_epi8(v, v);
    return _mm_shuffle_epi32(_mm_unpackhi_epi16(pairs, pairs), 0xFF);
  } else {
    const __m128i pairs = _mm_unpacklo_epi8(v, v);
    return _mm_shuffle_epi32(_mm_unpacklo_epi16(pairs, pairs), 0x00);
  }
}

// Updates the 16 pixels of `row` from `x` on. `carry` holds the pixel
// before them in the scan's order in every lane, and on return the last
// pixel updated; it stays in a register from block to block, which keeps
// the chain from one block to the next short. Each lane of `notCounted`
// goes up by one for a pixel that is not counted.
template <bool Forward>
inline void UpdateBlock(std::uint8_t* row, const std::uint8_t* near, const std::uint8_t* mask,
                        std::uint32_t x, __m128i& carry, __m128i& notCounted) {
  const auto load = [](const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  };
  const __m128i k = load(mask + x);
  const __m128i a = _mm_min_epu8(_mm_min_epu8(load(row + x), load(near + x)),
                                 _mm_min_epu8(load(near + x - 1), load(near + x + 1)));
  __m128i lo = k, hi = _mm_max_epu8(a, k);
  ScanStep<Forward, 1>(lo, hi);
  ScanStep<Forward, 2>(lo, hi);
  ScanStep<Forward, 4>(lo, hi);
  ScanStep<Forward, 8>(lo, hi);
  const __m128i y = Clamp(carry, lo, hi);
  // m = min(the value before each pixel, a); counted where m > mask.
  const __m128i m = _mm_min_epu8(Shift<Forward, 1>(y, carry), a);
  notCounted = _mm_sub_epi8(notCounted, _mm_cmpeq_epi8(_mm_max_epu8(m, k), k));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), y);
  carry = BroadcastLast<Forward>(y);
}

// Sum of the 16 byte lanes.
inline std::uint32_t SumLanes(__m128i v) {
  const __m128i sums = _mm_sad_epu8(v, _mm_setzero_si128());
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums) +
                                    _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}

template <bool Forward>
void UpdateRow(std::uint8_t* row, const std::uint8_t* near, const std::uint8_t* mask,
               std::uint32_t W, std::uint32_t& count) {
  // Blocks are counted in byte lanes, emptied before any lane can overflow.
  __m128i notCounted = _mm_setzero_si128();
  std::uint32_t blocks = 0;
  __m128i carry = _mm_set1_epi8(static_cast<char>(Forward ? row[0] : row[W - 1]));
  // Forward: blocks from pixel 1 on; backward: blocks ending at pixel W - 2.
  std::uint32_t done = 0;  // pixels updated by blocks
  for (; done + 16 <= W - 2; done += 16) {
    if (blocks == 255) {
      count += 16 * blocks - SumLanes(notCounted);
      notCounted = _mm_setzero_si128();
      blocks = 0;
    }
    ++blocks;
    UpdateBlock<Forward>(row, near, mask, Forward ? 1 + done : W - 1 - done - 16, carry,
                         notCounted);
  }
  count += 16 * blocks - SumLanes(notCounted);
  UpdateRest<Forward>(row, near, mask, W, done, static_cast<std::uint8_t>(_mm_cvtsi128_si32(carry)),
                      count);
}

// The same row update 32 bytes at a time with AVX2, for processors that
// have it (checked at run time; the build itself assumes SSE2 only): 32
// pixels of an 8-bit page, 16 of a 16-bit one, whose lanes are 16 bits
// wide. Lanes cross the two 128-bit halves through permute2x128 + alignr.

#define VALDRANE_AVX2 __attribute__((target("avx2")))

// Lanes moved S places in the scan's direction; S lanes of T are S *
// sizeof(T) bytes.
template <bool Forward, int S, class T>
VALDRANE_AVX2 inline __m256i Shift32(__m256i v, __m256i fill) {
  constexpr int Bytes = S * static_cast<int>(sizeof(T));
  if constexpr (Forward) {
    const __m256i below = _mm256_permute2x128_si256(v, fill, 0x02);  // fill.lo, v.lo
    if constexpr (Bytes == 16)
      return below;
    else
      return _mm256_alignr_epi8(v, below, 16 - Bytes);
  } else {
    const __m256i above = _mm256_permute2x128_si256(v, fill, 0x21);  // v.hi, fill.lo
    if constexpr (Bytes == 16)
      return above;
    else
      return _mm256_alignr_epi8(above, v, Bytes);
  }
}

template <class T>
VALDRANE_AVX2 inline __m256i Min32(__m256i a, __m256i b) {
  if constexpr (sizeof(T) == 1)
    return _mm256_min_epu8(a, b);
  else
    return _mm256_min_epu16(a, b);
}

template <class T>
VALDRANE_AVX2 inline __m256i Max32(__m256i a, __m256i b) {
  if constexpr (sizeof(T) == 1)
    return _mm256_max_epu8(a, b);
  else
    return _mm256_max_epu16(a, b);
}

template <class T>
VALDRANE_AVX2 inline __m256i Clamp32(__m256i v, __m256i lo, __m256i hi) {
  return Max32<T>(Min32<T>(v, hi), lo);
}

template <bool Forward, int S, class T>
VALDRANE_AVX2 inline void ScanStep32(__m256i& lo, __m256i& hi) {
  const __m256i earlierLo = Shift32<Forward, S, T>(lo, _mm256_setzero_si256());
  const __m256i earlierHi = Shift32<Forward, S, T>(hi, _mm256_set1_epi8(-1));
  const __m256i newLo = Clamp32<T>(earlierLo, lo, hi);
  hi = Clamp32<T>(earlierHi, lo, hi);
  lo = newLo;
}

template <class T>
VALDRANE_AVX2 inline __m256i Load32(const T* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// `value` in every lane.
template <class T>
VALDRANE_AVX2 inline __m256i Spread32(T value) {
  if constexpr (sizeof(T) == 1)
    return _mm256_set1_epi8(static_cast<char>(value));
  else
    return _mm256_set1_epi16(static_cast<short>(value));
}

template <bool Forward, class T>
VALDRANE_AVX2 inline void UpdateBlock32(T* row, const T* near, const T* mask, std::uint32_t x,
                                        __m256i& carry, __m256i& notCounted) {
  const __m256i k = Load32(mask + x);
  const __m256i a = Min32<T>(Min32<T>(Load32(row + x), Load32(near + x)),
                             Min32<T>(Load32(near + x - 1), Load32(near + x + 1)));
  __m256i lo = k, hi = Max32<T>(a, k);
  ScanStep32<Forward, 1, T>(lo, hi);
  ScanStep32<Forward, 2, T>(lo, hi);
  ScanStep32<Forward, 4, T>(lo, hi);
  ScanStep32<Forward, 8, T>(lo, hi);
  if constexpr (sizeof(T) == 1) ScanStep32<Forward, 16, T>(lo, hi);
  const __m256i y = Clamp32<T>(carry, lo, hi);
  const __m256i m = Min32<T>(Shift32<Forward, 1, T>(y, carry), a);
  const __m256i notAbove =
      sizeof(T) == 1 ? _mm256_cmpeq_epi8(Max32<T>(m, k), k) : _mm256_cmpeq_epi16(Max32<T>(m, k), k);
  notCounted = sizeof(T) == 1 ? _mm256_sub_epi8(notCounted, notAbove)
                              : _mm256_sub_epi16(notCounted, notAbove);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x), y);
  const __m128i edge = Forward ? _mm_srli_si128(_mm256_extracti128_si256(y, 1), 16 - sizeof(T))
                               : _mm256_castsi256_si128(y);
  carry = sizeof(T) == 1 ? _mm256_broadcastb_epi8(edge) : _mm256_broadcastw_epi16(edge);
}

// Sum of the lanes.
template <class T>
VALDRANE_AVX2 inline std::uint32_t SumLanes32(__m256i v) {
  const __m256i sums = sizeof(T) == 1 ? _mm256_sad_epu8(v, _mm256_setzero_si256())
                                      : _mm256_madd_epi16(v, _mm256_set1_epi16(1));
  const __m128i half =
      _mm_add_epi32(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
  const __m128i quarter = _mm_add_epi32(half, _mm_srli_si128(half, 8));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(quarter) +
                                    _mm_cvtsi128_si32(_mm_srli_si128(quarter, 4)));
}

template <bool Forward, class T>
VALDRANE_AVX2 void UpdateRowAvx2(T* row, const T* near, const T* mask, std::uint32_t W,
                                 std::uint32_t& count) {
  constexpr std::uint32_t Lanes = 32 / sizeof(T);
  // Blocks are counted in lanes, emptied before any byte lane can overflow.
  constexpr std::uint32_t Limit = 255;
  __m256i notCounted = _mm256_setzero_si256();
  std::uint32_t blocks = 0;
  __m256i carry = Spread32<T>(Forward ? row[0] : row[W - 1]);
  // Forward: blocks from pixel 1 on; backward: blocks ending at pixel W - 2.
  std::uint32_t done = 0;  // pixels updated by blocks
  for (; done + Lanes <= W - 2; done += Lanes) {
    if (blocks == Limit) {
      count += Lanes * blocks - SumLanes32<T>(notCounted);
      notCounted = _mm256_setzero_si256();
      blocks = 0;
    }
    ++blocks;
    UpdateBlock32<Forward>(row, near, mask, Forward ? 1 + done : W - 1 - done - Lanes, carry,
                           notCounted);
  }
  count += Lanes * blocks - SumLanes32<T>(notCounted);
  UpdateRest<Forward>(row, near, mask, W, done,
                      static_cast<T>(_mm_cvtsi128_si32(_mm256_castsi256_si128(carry))), count);
}

#undef VALDRANE_AVX2
#endif  // __SSE2__

template <class T>
using TRowUpdate = void (*)(T*, const T*, const T*, std::uint32_t, std::uint32_t&);

// The passes with the row kernels given.
template <class T>
std::uint32_t Reconstruct(TRowUpdate<T> forward, TRowUpdate<T> backward, const TMyImage& mask,
                          TMyImage& marker, std::uint32_t* passCounts) {
  const std::uint32_t W = mask.Width;
  const std::uint32_t H = mask.Height;
  const T* K = GrayOf(T{}, mask).data();
  T* M = GrayOf(T{}, marker).data();

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
        forward(M + y * W, M + (y - 1) * W, K + y * W, W, count);
      }
      for (std::uint32_t y = H - 2; y >= 1; --y) {
        backward(M + y * W, M + (y + 1) * W, K + y * W, W, count);
      }
    }
    if (passCounts != nullptr) passCounts[passes] = count;
    ++passes;
    if (count == previous) break;
    previous = count;
  }
  return passes;
}

}  // namespace

bool ProcessorRuns(TRowKernel kernel) {
#if defined(__SSE2__)
  return kernel != TRowKernel::Avx2 || HasAvx2();
#else
  return kernel == TRowKernel::Plain;
#endif
}

std::uint32_t ReconstructBackgroundWith([[maybe_unused]] TRowKernel kernel, const TMyImage& mask,
                                        TMyImage& marker, std::uint32_t* passCounts) {
  return WithSamples(mask, [&](auto zero) {
    using T = decltype(zero);
    TRowUpdate<T> forward = UpdateRowPlain<true>;
    TRowUpdate<T> backward = UpdateRowPlain<false>;
#if defined(__SSE2__)
    // 16-bit rows have no SSE2 kernel: SSE2 has no unsigned 16-bit minimum.
    if constexpr (sizeof(T) == 1) {
      if (kernel == TRowKernel::Sse2) forward = UpdateRow<true>, backward = UpdateRow<false>;
    }
    if (kernel == TRowKernel::Avx2) forward = UpdateRowAvx2<true>, backward = UpdateRowAvx2<false>;
#endif
    return Reconstruct(forward, backward, mask, marker, passCounts);
  });
}

std::uint32_t ReconstructBackground(const TMyImage& mask, TMyImage& marker,
                                    std::uint32_t* passCounts) {
  static const TRowKernel widest = ProcessorRuns(TRowKernel::Avx2)   ? TRowKernel::Avx2
                                   : ProcessorRuns(TRowKernel::Sse2) ? TRowKernel::Sse2
                                                                     : TRowKernel::Plain;
  return ReconstructBackgroundWith(widest, mask, marker, passCounts);
}
