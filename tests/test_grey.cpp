#include <gtest/gtest.h>

#include <vector>

#include "grey.h"

TEST(GrayOfRgb, RoundsAsExtendedPrecisionDoes) {
  struct Case {
    std::uint8_t r, g, b, grey;
  };
  // (0, 36, 12) and (0, 80, 110) sit at .5 in decimals; in double precision
  // they would give 22 and 59.
  const Case cases[] = {
      {0, 36, 12, 23},      {0, 0, 250, 28},      {0, 80, 110, 60},
      {255, 0, 0, 76},      {0, 255, 0, 150},     {0, 0, 255, 29},
      {100, 150, 200, 141}, {255, 255, 255, 255}, {0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GrayOfRgb(c.r, c.g, c.b), c.grey) << int(c.r) << " " << int(c.g) << " " << int(c.b);
  }
}

namespace {

__extension__ typedef unsigned __int128 u128;

// Rounds `value` to `bits` significant bits, to nearest, ties to even.
// Returns the rounded value at the same scale.
u128 RoundToBits(u128 value, int bits) {
  const auto high = static_cast<std::uint64_t>(value >> 64);
  const auto low = static_cast<std::uint64_t>(value);
  const int length = high != 0  ? 128 - __builtin_clzll(high)
                     : low != 0 ? 64 - __builtin_clzll(low)
                                : 0;
  if (length <= bits) return value;
  const int drop = length - bits;
  const u128 unit = u128{1} << drop;
  const u128 rest = value & (unit - 1);
  u128 kept = value >> drop;
  if (rest > unit / 2 || (rest == unit / 2 && (kept & 1) != 0)) ++kept;
  return kept << drop;
}

// The grey value computed with integers alone: every quantity is a whole
// multiple of 2^-67, fine enough for each weight (0.299 = M * 2^-65,
// 0.587 = M * 2^-64, 0.114 = M * 2^-67 with 64-bit M) and for every product
// and sum, each of which is rounded to 64 significant bits as the extended
// format does.
std::uint8_t ExactGray(unsigned r, unsigned g, unsigned b) {
  auto weight = [](unsigned thousandths, int scale) {
    // The 64-bit significand nearest to thousandths / 1000, at 2^-scale.
    const u128 numerator = u128{thousandths} << scale;
    const u128 quotient = numerator / 1000;
    const u128 remainder = numerator % 1000;  // never exactly half: 1000 has factor 5
    return remainder * 2 > 1000 ? quotient + 1 : quotient;
  };
  static const u128 wr = weight(299, 65) << 2;  // at 2^-67
  static const u128 wg = weight(587, 64) << 3;
  static const u128 wb = weight(114, 67);
  const u128 sum =
      RoundToBits(RoundToBits(r * wr, 64) + RoundToBits(g * wg, 64), 64) + RoundToBits(b * wb, 64);
  const u128 total = RoundToBits(sum, 64);
  const u128 one = u128{1} << 67;
  u128 whole = total >> 67;
  const u128 rest = total & (one - 1);
  if (rest > one / 2 || (rest == one / 2 && (whole & 1) != 0)) ++whole;
  return static_cast<std::uint8_t>(whole);
}

}  // namespace

// Every colour, against the extended-precision computation done in integers.
TEST(GrayOfRgb, EqualsTheExactComputationForEveryColour) {
  std::uint32_t mismatches = 0;
  for (unsigned r = 0; r < 256; ++r) {
    for (unsigned g = 0; g < 256; ++g) {
      for (unsigned b = 0; b < 256; ++b) {
        const std::uint8_t got =
            GrayOfRgb(static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g),
                      static_cast<std::uint8_t>(b));
        if (got != ExactGray(r, g, b) && ++mismatches <= 5) {
          ADD_FAILURE() << r << " " << g << " " << b << ": " << int(got) << " vs "
                        << int(ExactGray(r, g, b));
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(ExactGray(0, 36, 12), 23);
  EXPECT_EQ(ExactGray(0, 80, 110), 60);
}

// The plane conversion, all 2^24 colours, against the 80-bit value itself.
TEST(RgbToGray, EqualsExtendedPrecisionForEveryColour) {
  std::vector<std::uint8_t> rgb(3 * 65536), gray(65536 + 1, 77);
  std::uint32_t mismatches = 0, halfway = 0;
  for (unsigned r = 0; r < 256; ++r) {
    for (unsigned gb = 0; gb < 65536; ++gb) {
      rgb[3 * gb] = static_cast<std::uint8_t>(r);
      rgb[3 * gb + 1] = static_cast<std::uint8_t>(gb >> 8);
      rgb[3 * gb + 2] = static_cast<std::uint8_t>(gb & 255);
    }
    RgbToGray(rgb.data(), gray.data(), 65536);
    for (unsigned k = 0; k < 65536; ++k) {
      const std::uint8_t want = GrayOfRgb(rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]);
      halfway += (299 * r + 587 * (k >> 8) + 114 * (k & 255)) % 1000 == 500 ? 1 : 0;
      if (gray[k] != want && ++mismatches <= 5) {
        ADD_FAILURE() << r << " " << (k >> 8) << " " << (k & 255) << ": " << int(gray[k]) << " vs "
                      << int(want);
      }
    }
    ASSERT_EQ(gray[65536], 77) << "wrote past the count";
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_GT(halfway, 10000u);  // the halfway sums are there and were checked
}
