#include <gtest/gtest.h>

#include <vector>

#include "grey_image.h"
#include "resample.h"

TEST(DownscaleMin, TakesTheDarkestOfEachBlock) {
  struct Case {
    std::uint32_t width, height;
    std::vector<std::uint8_t> page, half;
  };
  const Case cases[] = {
      {4, 2, {10, 20, 30, 40, 50, 5, 60, 70}, {5, 30}},
      // Odd sizes: the fifth column and the third row are never read.
      {5, 3, {9, 8, 7, 6, 0, 9, 9, 9, 9, 0, 0, 0, 0, 0, 0}, {8, 6}},
      {2, 2, {200, 100, 150, 250}, {100}},
      // Every position of the minimum inside a block.
      {4, 4, {1, 9, 9, 2, 9, 9, 9, 9, 9, 9, 9, 9, 3, 9, 9, 4}, {1, 2, 3, 4}},
      // Pages under 2 pixels wide or high have no half-size pixel.
      {1, 5, {3, 3, 3, 3, 3}, {}},
      {5, 1, {3, 3, 3, 3, 3}, {}},
  };
  for (const Case& c : cases) {
    TMyImage half = DownscaleMin(GreyImage(c.width, c.height, c.page));
    EXPECT_EQ(half.Width, c.width / 2);
    EXPECT_EQ(half.Height, c.height / 2);
    EXPECT_EQ(half.Gray, c.half) << c.width << "x" << c.height;
    EXPECT_TRUE(half.Rgb.empty());
  }
}

TEST(DownscaleMin, HalvesStripCountButNotRowsPerStrip) {
  TMyImage page = GreyImage(4, 4, std::vector<std::uint8_t>(16, 1));
  page.StripCount = 7;
  page.RowsPerStrip = 16;
  page.Compression = 5;
  page.Rgb.assign(48, 3);
  TMyImage half = DownscaleMin(page);
  EXPECT_EQ(half.StripCount, 3u);
  EXPECT_EQ(half.RowsPerStrip, 16u);
  EXPECT_EQ(half.Compression, 5u);
  EXPECT_TRUE(half.Rgb.empty());
}

TEST(UpscaleNearest, RepeatsEachPixelTwiceAndTheLastOnesAtOddSizes) {
  struct Case {
    std::uint32_t halfWidth, halfHeight;
    std::vector<std::uint8_t> half;
    std::uint32_t width, height;
    std::vector<std::uint8_t> full;
  };
  const Case cases[] = {
      {2, 1, {5, 30}, 4, 2, {5, 5, 30, 30, 5, 5, 30, 30}},
      {1, 1, {77}, 2, 2, {77, 77, 77, 77}},
      {3, 2, {1, 2, 3, 4, 5, 6}, 6, 4, {1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3,
                                        4, 4, 5, 5, 6, 6, 4, 4, 5, 5, 6, 6}},
      // Odd reference: the last column and row repeat the nearest ones.
      {2, 1, {5, 30}, 5, 3, {5, 5, 30, 30, 30, 5, 5, 30, 30, 30, 5, 5, 30, 30, 30}},
      // No half-size pixels (a page under 2 x 2): white.
      {0, 2, {}, 1, 5, {255, 255, 255, 255, 255}},
      {2, 0, {}, 5, 1, {255, 255, 255, 255, 255}},
  };
  for (const Case& c : cases) {
    TMyImage reference =
        GreyImage(c.width, c.height, std::vector<std::uint8_t>(c.width * c.height));
    reference.StripCount = 9;
    TMyImage full = UpscaleNearest(GreyImage(c.halfWidth, c.halfHeight, c.half), reference);
    EXPECT_EQ(full.Width, c.width);
    EXPECT_EQ(full.Height, c.height);
    EXPECT_EQ(full.StripCount, 9u);
    EXPECT_EQ(full.Gray, c.full) << c.width << "x" << c.height;
  }
}
