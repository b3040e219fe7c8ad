#include <gtest/gtest.h>

#include "image.h"

namespace {

TMyImage Grey(std::uint32_t width, std::uint32_t height, std::size_t planeLength) {
  TMyImage image;
  image.Width = width;
  image.Height = height;
  image.Photometric = 1;
  image.Gray.resize(planeLength);
  for (std::size_t i = 0; i < planeLength; ++i) image.Gray[i] = static_cast<std::uint8_t>(i * 7);
  return image;
}

}  // namespace

TEST(CopyImage, KeepsPlaneLengthAndCopiesOnlyThePixels) {
  TMyImage page = Grey(40, 25, 1024);
  TMyImage copy = CopyImage(page);
  ASSERT_EQ(copy.Gray.size(), 1024u);
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ(copy.Gray[i], page.Gray[i]) << i;
  // The slack past the pixels is not copied.
  for (std::size_t i = 1000; i < 1024; ++i) ASSERT_EQ(copy.Gray[i], 0) << i;
}

TEST(CopyImage, CarriesEveryHeaderFieldButNoColourPlane) {
  TMyImage page = Grey(3, 2, 1024);
  page.Photometric = 2;
  page.BitsPerSample = 8;
  page.SamplesPerPixel = 3;
  page.Compression = 5;
  page.RowsPerStrip = 16;
  page.XResolution = 300;
  page.YResolution = 72.5f;
  page.ResolutionUnit = 2;
  page.StripCount = 1;
  page.PlanarConfig = 1;
  page.Rgb.assign(18, 9);

  TMyImage copy = CopyImage(page);
  EXPECT_EQ(copy.Width, 3u);
  EXPECT_EQ(copy.Height, 2u);
  EXPECT_EQ(copy.Photometric, 2u);
  EXPECT_EQ(copy.BitsPerSample, 8u);
  EXPECT_EQ(copy.SamplesPerPixel, 3u);
  EXPECT_EQ(copy.Compression, 5u);
  EXPECT_EQ(copy.RowsPerStrip, 16u);
  EXPECT_EQ(copy.XResolution, 300.0f);
  EXPECT_EQ(copy.YResolution, 72.5f);
  EXPECT_EQ(copy.ResolutionUnit, 2u);
  EXPECT_EQ(copy.StripCount, 1u);
  EXPECT_EQ(copy.PlanarConfig, 1u);
  EXPECT_TRUE(copy.Rgb.empty());
}

TEST(CopyImage, IsIndependentOfItsSource) {
  TMyImage page = Grey(4, 4, 16);
  TMyImage copy = CopyImage(page);
  page.Gray[5] = 200;
  copy.Gray[6] = 201;
  EXPECT_EQ(copy.Gray[5], static_cast<std::uint8_t>(5 * 7));
  EXPECT_EQ(page.Gray[6], static_cast<std::uint8_t>(6 * 7));
}
