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

void RgbToGray(const std::uint8_t* rgb, std::uint8_t* gray, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    gray[k] = GrayOfRgb(rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]);
  }
}
