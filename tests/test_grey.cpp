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
      {0, 36, 12, 23},  {0, 0, 250, 28},  {0, 80, 110, 60},   {255, 0, 0, 76},
      {0, 255, 0, 150}, {0, 0, 255, 29},  {100, 150, 200, 141}, {255, 255, 255, 255},
      {0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GrayOfRgb(c.r, c.g, c.b), c.grey) << int(c.r) << " " << int(c.g) << " " << int(c.b);
  }
}

TEST(GrayOfRgb, GreyColoursKeepTheirValue) {
  for (int v = 0; v < 256; ++v) {
    const auto u = static_cast<std::uint8_t>(v);
    ASSERT_EQ(GrayOfRgb(u, u, u), u);
  }
}

TEST(RgbToGray, ConvertsEveryPixelInOrder) {
  const std::vector<std::uint8_t> rgb = {0, 36, 12, 255, 0, 0, 7, 7, 7};
  std::vector<std::uint8_t> grey(4, 99);
  RgbToGray(rgb.data(), grey.data(), 3);
  EXPECT_EQ(grey, (std::vector<std::uint8_t>{23, 76, 7, 99}));
}
