// The reader and the writers, in process, against files made and read with
// libtiff alone.
#include <gtest/gtest.h>

#include "harness.h"
#include "tiff_io.h"

// A write that cannot complete leaves the file byte-identical, creates
// nothing, and never makes a page where there was none.
TEST(TiffIo, FailedWritesLeaveTheFileAsItWas) {
  const fs::path dir = MakeTempDir();
  const fs::path page = dir / "p.tif";
  ASSERT_TRUE(WriteScan(page, {6, 5, false, 1, 2}));
  TMyImage image;
  TPageFile file;
  ASSERT_EQ(OpenPage(page.c_str(), file), 1);
  ASSERT_EQ(ReadTiff(file, image, [](std::uint64_t) { return true; }), 1);
  const TBytes bytes = FileBytes(page);
  image.Gray[0] ^= 0xFF;

  TMyImage unencodable = image, wrongStrips = image, shortPlane = image;
  unencodable.Compression = 2;  // CCITT modified Huffman: one bit per sample only
  wrongStrips.StripCount = 2;
  shortPlane.Gray.assign(29, 0);
  EXPECT_EQ(WriteGrayTiff(file, unencodable), -1);
  EXPECT_EQ(WriteGrayTiff(file, wrongStrips), -1);
  EXPECT_EQ(WriteGrayTiff(file, shortPlane), -1);
  EXPECT_EQ(WriteRgbTiff(file, image), -1);  // a grey page has no colour plane
  EXPECT_EQ(FileBytes(page), bytes);
  // The page's name now names another file, or a folder: neither is written.
  fs::rename(page, dir / "old.tif");
  PutBytes(page, {'n', 'e', 'w'});
  EXPECT_EQ(WriteGrayTiff(file, image), -1);
  EXPECT_EQ(FileBytes(page), TBytes({'n', 'e', 'w'}));
  fs::remove(page);
  fs::create_directory(page);
  EXPECT_EQ(WriteGrayTiff(file, image), -1);
  EXPECT_EQ(FileBytes(dir / "old.tif"), bytes);
  EXPECT_EQ(Listing(dir).size(), 2u);
  fs::remove_all(dir);
}
