#include "grey.h"

#include <cstddef>

#include "processor.h"

namespace {

__extension__ typedef unsigned __int128 TWide;

// Rounds `value` to `bits` significant bits, to nearest, ties to even, as
// the extended format rounds a result. Returns it at the same scale.
TWide RoundToBits(TWide value, int bits) {
  const auto high = static_cast<std::uint64_t>(value >> 64);
  const auto low = static_cast<std::uint64_t>(value);
  const int length = high != 0  ? 128 - __builtin_clzll(high)
                     : low != 0 ? 64 - __builtin_clzll(low)
                                : 0;
  if (length <= bits) return value;
  const int drop = length - bits;
  const TWide unit = TWide{1} << drop;
  const TWide rest = value & (unit - 1);
  TWide kept = value >> drop;
  if (rest > unit / 2 || (rest == unit / 2 && (kept & 1) != 0)) ++kept;
  return kept << drop;
}

// The 64-bit significand nearest to thousandths / 1000, as a multiple of
// 2^-scale (never a tie: 1000 has the factor 5).
TWide Weight(unsigned thousandths, int scale) {
  const TWide numerator = TWide{thousandths} << scale;
  const TWide quotient = numerator / 1000;
  return (numerator % 1000) * 2 > 1000 ? quotient + 1 : quotient;
}

}  // namespace

// The x87 computation done in integers, so that every target gives the
// same bytes: every quantity is a whole multiple of 2^-67, fine enough for
// each weight (0.299 = M * 2^-65, 0.587 = M * 2^-64, 0.114 = M * 2^-67 with
// a 64-bit M) and for every product and sum, each rounded to 64
// significant bits as the extended format does.
std::uint32_t GrayOfRgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
  static const TWide wr = Weight(299, 65) << 2, wg = Weight(587, 64) << 3, wb = Weight(114, 67);
  const TWide sum =
      RoundToBits(RoundToBits(r * wr, 64) + RoundToBits(g * wg, 64), 64) + RoundToBits(b * wb, 64);
  const TWide total = RoundToBits(sum, 64);
  const TWide one = TWide{1} << 67;
  TWide whole = total >> 67;
  const TWide rest = total & (one - 1);
  if (rest > one / 2 || (rest == one / 2 && (whole & 1) != 0)) ++whole;
  return static_cast<std::uint32_t>(whole);
}

namespace {

// The weights are decimals with three places, so 1000 times the exact
// weighted sum is the integer S = 299 R + 587 G + 114 B (below 2^26 for
// 16-bit samples). Where S / 1000 is not halfway between two integers it
// lies at least 0.0005 from every rounding boundary, far more than the
// 80-bit computation's error (below 1e-14 for sums up to 65535), so both
// round to (S + 500) / 1000. Only the halfway sums, where S mod 1000 is 500,
// depend on how the 80-bit weights and roundings fall.
template <class T>
void RgbToGrayOf(const T* rgb, T* gray, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t r = rgb[3 * k], g = rgb[3 * k + 1], b = rgb[3 * k + 2];
    const std::uint32_t s = 299 * r + 587 * g + 114 * b;
    gray[k] = static_cast<T>(s % 1000 == 500 ? GrayOfRgb(r, g, b) : (s + 500) / 1000);
  }
}

// The same for 8-bit samples, many pixels at a time: every pixel gets
// (S + 500) / 1000, the division done as ((S + 500) / 8) * 33555 / 2^22,
// exact while (S + 500) / 8 is below 59074 (8-bit samples give at most
// 31937), and no lane branches. Returns whether any sum was halfway, for
// the caller to redo those pixels. Written plainly for the compiler to
// vectorise, with __restrict since the planes never overlap.
[[gnu::always_inline]] inline bool QuotientsOf(const std::uint8_t* __restrict rgb,
                                               std::uint8_t* __restrict gray, std::size_t count) {
  std::uint32_t halfway = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t n =
        299u * rgb[3 * k] + 587u * rgb[3 * k + 1] + 114u * rgb[3 * k + 2] + 500u;
    const std::uint32_t q = (n >> 3) * 33555u >> 22;
    halfway |= static_cast<std::uint32_t>(q * 1000u == n);
    gray[k] = static_cast<std::uint8_t>(q);
  }
  return halfway != 0;
}

bool Quotients(const std::uint8_t* rgb, std::uint8_t* gray, std::size_t count) {
  return QuotientsOf(rgb, gray, count);
}

#if defined(__x86_64__) || defined(__i386__)
// x86 has a vector 32-bit multiply only from SSE4.1 on, which the baseline
// lacks: a copy for processors with AVX2, chosen when the program runs.
__attribute__((target("avx2"))) bool QuotientsAvx2(const std::uint8_t* rgb, std::uint8_t* gray,
                                                   std::size_t count) {
  return QuotientsOf(rgb, gray, count);
}
#endif

}  // namespace

void RgbToGray(const std::uint8_t* rgb, std::uint8_t* gray, std::uint32_t count) {
  auto quotients = Quotients;
#if defined(__x86_64__) || defined(__i386__)
  if (HasAvx2()) quotients = QuotientsAvx2;
#endif
  // Runs short enough that redoing one with a halfway sum (about one pixel
  // in a thousand) costs little.
  constexpr std::uint32_t Run = 64;
  for (std::uint32_t at = 0; at < count; at += Run) {
    const std::uint32_t n = count - at < Run ? count - at : Run;
    if (quotients(rgb + std::size_t{at} * 3, gray + at, n)) {
      RgbToGrayOf(rgb + std::size_t{at} * 3, gray + at, n);
    }
  }
}

void RgbToGray(const std::uint16_t* rgb, std::uint16_t* gray, std::uint32_t count) {
  RgbToGrayOf(rgb, gray, count);
}
