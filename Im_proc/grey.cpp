#include "grey.h"

#include <cmath>
#include <limits>

// The output bytes depend on the x87 extended format: a 64-bit significand
// for every product and sum. Refuse to build where long double is anything
// else (or where the x87 unit may run at reduced precision, as 32-bit
// systems allow) rather than produce other bytes on some pixels.
#if !defined(__x86_64__)
#error "GrayOfRgb needs x86-64, whose long double is the 80-bit extended format"
#endif
static_assert(std::numeric_limits<long double>::radix == 2 &&
                  std::numeric_limits<long double>::digits == 64,
              "GrayOfRgb needs long double to be the 80-bit extended format");

std::uint8_t GrayOfRgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  const long double sum = static_cast<long double>(r) * 0.299L +
                          static_cast<long double>(g) * 0.587L +
                          static_cast<long double>(b) * 0.114L;
  // lrintl rounds in the current rounding mode, which is the default
  // round-to-nearest, ties to even, for the whole run.
  return static_cast<std::uint8_t>(std::lrint(sum));
}

// The weights are decimals with three places, so 1000 times the exact
// weighted sum is the integer S = 299 R + 587 G + 114 B. Where S / 1000 is
// not halfway between two integers it lies at least 0.0005 from every
// rounding boundary, far more than the 80-bit computation's error (about
// 1e-17), so both round to (S + 500) / 1000. Only the halfway sums, where
// S mod 1000 is 500, depend on how the 80-bit weights and roundings fall;
// those take the 80-bit path itself.
void RgbToGray(const std::uint8_t* rgb, std::uint8_t* gray, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t r = rgb[3 * k], g = rgb[3 * k + 1], b = rgb[3 * k + 2];
    const std::uint32_t s = 299 * r + 587 * g + 114 * b;
    gray[k] = s % 1000 == 500
                  ? GrayOfRgb(static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g),
                              static_cast<std::uint8_t>(b))
                  : static_cast<std::uint8_t>((s + 500) / 1000);
  }
}
