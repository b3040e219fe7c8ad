#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

// Random pages of every size up to 70 x 70 (rows shorter and longer than the
// 16-pixel blocks, odd and even), against the definitions written out.
TEST(Resample, MatchesThePlainDefinitionsOnRandomPages) {
  std::mt19937 random(99);
  for (std::uint32_t width = 1; width <= 70; ++width) {
    for (std::uint32_t height = 1; height <= 70;
         height += 1 + static_cast<std::uint32_t>(random() % 5)) {
      std::vector<std::uint8_t> pixels(width * height);
      for (auto& p : pixels) p = static_cast<std::uint8_t>(random());
      const TMyImage page = GreyImage(width, height, pixels);
      const TMyImage half = DownscaleMin(page);
      const std::uint32_t w = width / 2, h = height / 2;
      for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
          const std::uint8_t want = std::min(
              {pixels[2 * y * width + 2 * x], pixels[2 * y * width + 2 * x + 1],
               pixels[(2 * y + 1) * width + 2 * x], pixels[(2 * y + 1) * width + 2 * x + 1]});
          ASSERT_EQ(half.Gray[y * w + x], want)
              << width << "x" << height << " at " << x << "," << y;
        }
      }
      const TMyImage full = UpscaleNearest(half, page);
      for (std::uint32_t Y = 0; Y < height; ++Y) {
        for (std::uint32_t X = 0; X < width; ++X) {
          const std::uint8_t want =
              w == 0 || h == 0 ? 255
                               : half.Gray[std::min(Y / 2, h - 1) * w + std::min(X / 2, w - 1)];
          ASSERT_EQ(full.Gray[Y * width + X], want)
              << width << "x" << height << " at " << X << "," << Y;
        }
      }
    }
  }
}
