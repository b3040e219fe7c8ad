#include "flatten.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

#include <array>
#include <cstddef>
#include <limits>

#include "processor.h"
#include "split_rows.h"

namespace {

// The result of the division for every pair of background and pixel value,
// worked out in integers when the program is built: index b * 256 + p.
constexpr std::array<std::uint8_t, 65536> DivisionTable = [] {
  std::array<std::uint8_t, 65536> table{};
  for (unsigned b = 0; b < 256; ++b) {
    for (unsigned p = 0; p < 256; ++p) {
      const bool white = b < DarkThreshold || p >= b;
      table[b * 256 + p] = static_cast<std::uint8_t>(white ? 255 : p * 255 / b);
    }
  }
  return table;
}();

inline std::uint8_t Divided(std::uint8_t p, std::uint8_t b) {
  return DivisionTable[unsigned{b} * 256 + p];
}

// 16-bit samples: p * 65535 / b in double, whose quotient of two integers
// below 2^32 is correctly rounded: where p * 65535 / b is no integer it lies
// at least 1 / b (above 1 / 65536) below the next one, far more than the
// rounding, so truncating it gives the integer quotient exactly. Every
// lane is worked out, white or not (with 1 for a divisor that is not used),
// so that the compiler can do it several samples at a time.
[[gnu::always_inline]] inline void DivideWideOf(std::uint16_t* __restrict p,
                                                const std::uint16_t* __restrict b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t bi = b[i], pi = p[i];
    const bool white = bi < static_cast<std::int32_t>(DarkThreshold * 257u) || pi >= bi;
    const double q = static_cast<double>(pi) * 65535.0 / static_cast<double>(white ? 1 : bi);
    p[i] = white ? std::uint16_t{65535} : static_cast<std::uint16_t>(static_cast<std::int32_t>(q));
  }
}

void DivideWide(std::uint16_t* p, const std::uint16_t* b, std::size_t n) { DivideWideOf(p, b, n); }

#if defined(__x86_64__) || defined(__i386__)
// Four samples at a time where the processor has AVX2 (the baseline x86-64
// divides doubles two at a time, which does not pay), chosen when the
// program runs.
__attribute__((target("avx2"))) void DivideWideAvx2(std::uint16_t* p, const std::uint16_t* b,
                                                    std::size_t n) {
  DivideWideOf(p, b, n);
}
#endif

}  // namespace

void DivideByBackground(TMyImage& page, const TMyImage& background, unsigned threads) {
  if (IsWide(page)) {
    auto divide = DivideWide;
#if defined(__x86_64__) || defined(__i386__)
    if (HasAvx2()) divide = DivideWideAvx2;
#endif
    std::uint16_t* p = page.Gray16.data();
    const std::uint16_t* b = background.Gray16.data();
    SplitRows(PixelCount(page), threads, 1u << 17, [&](std::uint32_t first, std::uint32_t end) {
      divide(p + first, b + first, end - first);
    });
    return;
  }
  SplitRows(PixelCount(page), threads, 1u << 18, [&](std::uint32_t first, std::uint32_t n) {
    std::uint8_t* p = page.Gray.data();
    const std::uint8_t* b = background.Gray.data();
    std::uint32_t i = first;
#if defined(__SSE2__)
    const __m128i white = _mm_set1_epi8(-1);
    const __m128i belowThreshold = _mm_set1_epi8(static_cast<char>(DarkThreshold - 1));
    for (; i + 16 <= n; i += 16) {
      const __m128i pv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i bv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      // 255 where the background is too dark or the pixel is at least as light:
      // most of a page's paper. Blocks with anything to divide use the table.
      const __m128i toWhite = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(bv, belowThreshold), bv),
                                           _mm_cmpeq_epi8(_mm_max_epu8(pv, bv), pv));
      if (_mm_movemask_epi8(toWhite) == 0xFFFF) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), white);
      } else {
        for (std::uint32_t j = i; j < i + 16; ++j) p[j] = Divided(p[j], b[j]);
      }
    }
#endif
    for (; i < n; ++i) p[i] = Divided(p[i], b[i]);
  });
}

void SubtractImage(TMyImage& page, const TMyImage& saved, unsigned threads) {
  WithSamples(page, [&](auto zero) {
    using T = decltype(zero);
    T* const page0 = GrayOf(zero, page).data();
    const T* const saved0 = GrayOf(zero, saved).data();
    SplitRows(PixelCount(page), threads, 1u << 18, [&](std::uint32_t first, std::uint32_t end) {
      // Pointers of the block's own: a store of a byte may alias anything,
      // the captured pointers too, which would keep the loop from being
      // vectorised.
      T* __restrict p = page0 + first;
      const T* __restrict s = saved0 + first;
      for (std::uint32_t i = 0; i < end - first; ++i) p[i] = static_cast<T>(p[i] - s[i]);
    });
  });
}

namespace {

template <class T>
[[gnu::always_inline]] inline void AddGainPlain(const T* gain, T* rgb, std::uint32_t from,
                                                std::uint32_t n) {
  constexpr unsigned White = std::numeric_limits<T>::max();
  // A wide index, so that 3 * k cannot wrap and the compiler may vectorise.
  for (std::size_t k = from; k < n; ++k) {
    for (std::size_t c = 0; c < 3; ++c) {
      const unsigned s = unsigned{rgb[3 * k + c]} + gain[k];
      rgb[3 * k + c] = static_cast<T>(s > White ? White : s);
    }
  }
}

#if defined(__SSE2__)
// 16 pixels at a time: the gain bytes spread to their three samples with
// SSSE3 shuffles, then one saturating add per sample byte.
__attribute__((target("ssse3"))) void AddGainSsse3(const std::uint8_t* gain, std::uint8_t* rgb,
                                                   std::uint32_t n) {
  const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
  const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
  const __m128i spread2 =
      _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
  std::uint32_t k = 0;
  for (; k + 16 <= n; k += 16) {
    const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(gain + k));
    __m128i* samples = reinterpret_cast<__m128i*>(rgb + 3 * k);
    const __m128i spreads[3] = {spread0, spread1, spread2};
    for (int part = 0; part < 3; ++part) {
      const __m128i s = _mm_loadu_si128(samples + part);
      _mm_storeu_si128(samples + part, _mm_adds_epu8(s, _mm_shuffle_epi8(g, spreads[part])));
    }
  }
  AddGainPlain(gain, rgb, k, n);
}
#endif

void AddGainWide(const std::uint16_t* __restrict gain, std::uint16_t* __restrict rgb,
                 std::uint32_t from, std::uint32_t n) {
  AddGainPlain(gain, rgb, from, n);
}

#if defined(__x86_64__) || defined(__i386__)
// 16-bit samples several at a time where the processor has AVX2, chosen
// when the program runs.
__attribute__((target("avx2"))) void AddGainWideAvx2(const std::uint16_t* __restrict gain,
                                                     std::uint16_t* __restrict rgb,
                                                     std::uint32_t from, std::uint32_t n) {
  AddGainPlain(gain, rgb, from, n);
}
#endif

}  // namespace

void AddGainToRgb(TMyImage& page, unsigned threads) {
  if (IsWide(page)) {
    auto add = AddGainWide;
#if defined(__x86_64__) || defined(__i386__)
    if (HasAvx2()) add = AddGainWideAvx2;
#endif
    SplitRows(PixelCount(page), threads, 1u << 17, [&](std::uint32_t first, std::uint32_t end) {
      add(page.Gray16.data(), page.Rgb16.data(), first, end);
    });
    return;
  }
  SplitRows(PixelCount(page), threads, 1u << 18, [&](std::uint32_t first, std::uint32_t end) {
    const std::uint8_t* gain = page.Gray.data() + first;
    std::uint8_t* rgb = page.Rgb.data() + std::size_t{first} * 3;
#if defined(__SSE2__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) {
      AddGainSsse3(gain, rgb, end - first);
      return;
    }
#endif
    AddGainPlain(gain, rgb, 0, end - first);
  });
}
