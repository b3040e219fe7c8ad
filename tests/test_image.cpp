#include <gtest/gtest.h>

#include "grey_image.h"
#include "image.h"

TEST(CopyImage, CopiesHeaderAndPixelsIntoAPlaneOfItsOwn) {
  // A 40 x 25 page read from a file has a 1024-byte plane, 24 bytes of slack.
  std::vector<std::uint8_t> pixels(1024);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 + 1);
  TMyImage page = GreyImage(40, 25, pixels);
  page.Photometric = 2;
  page.Compression = 5;
  page.RowsPerStrip = 16;
  page.YResolution = 72.5f;
  page.StripCount = 2;
  page.Rgb.assign(3000, 9);

  TMyImage copy = CopyImage(page);
  EXPECT_EQ(copy.Photometric, 2u);
  EXPECT_EQ(copy.Compression, 5u);
  EXPECT_EQ(copy.RowsPerStrip, 16u);
  EXPECT_EQ(copy.YResolution, 72.5f);
  EXPECT_EQ(copy.StripCount, 2u);
  EXPECT_TRUE(copy.Rgb.empty());
  ASSERT_EQ(copy.Gray.size(), 1024u);
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + 1000, copy.Gray.begin()));
  EXPECT_EQ(copy.Gray[1000], 0) << "the slack past the pixels is not copied";

  page.Gray[5] = 200;
  copy.Gray[6] = 201;
  EXPECT_EQ(copy.Gray[5], pixels[5]);
  EXPECT_EQ(page.Gray[6], pixels[6]);
}
