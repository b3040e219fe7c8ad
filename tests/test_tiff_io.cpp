// The reader and the writers, in process, against files made and read with
// libtiff alone.
#include <gtest/gtest.h>

#include "harness.h"
#include "tiff_io.h"

// Read and written back unchanged, a page keeps its pixels, tags and strips,
// for every compression and strip arrangement, grey and colour; one record
// serves every page, so no tag is carried over from the page before.
TEST(TiffIo, RoundTripKeepsPixelsTagsAndStrips) {
  const fs::path dir = MakeTempDir();
  const TScanLayout layouts[] = {
      {7, 5, false, 1, 2, 300},      // several strips, a short last one
      {8, 6, true, 1, 3, 0},         // every strip full
      {9, 4, false, 1, 4, 72.5},     // a single strip
      {5, 3, true, 1, 0xFFFFFFFFu},  // "one strip" spelled as 2^32 - 1
      {6, 5, false, 1, 1, 600},      // one row per strip
      {33, 31, true, 1, 0, 150},     // no RowsPerStrip tag at all
      // Large uncompressed strips, which libtiff splits up unless told not to.
      {200, 100, false, 1, 100, 0},
      {200, 100, true, 1, 0xFFFFFFFFu, 300},
  };
  TMyImage image;
  for (const int compression : {1, 5, 8, 32773}) {
    for (TScanLayout layout : layouts) {
      layout.Compression = static_cast<std::uint16_t>(compression);
      const fs::path path = dir / "page.tif";
      TFileInfo before, after;
      ASSERT_TRUE(WriteScan(path, layout) && ReadFileInfo(path, before));
      SCOPED_TRACE(std::to_string(layout.Width) + "x" + std::to_string(layout.Height) + " c" +
                   std::to_string(compression) + (layout.Colour ? " colour" : " grey"));

      TPageFile file;
      ASSERT_EQ(OpenPage(path.c_str(), file), 1);
      ASSERT_EQ(ReadTiff(file, image, [](std::uint64_t) { return true; }), 1);
      const TPlane& plane = layout.Colour ? image.Rgb : image.Gray;
      EXPECT_TRUE(std::equal(before.Pixels.begin(), before.Pixels.end(), plane.begin()));
      EXPECT_EQ(image.Gray.size(), (layout.Width * layout.Height / 1024 + 1) * 1024);
      ASSERT_EQ(layout.Colour ? WriteRgbTiff(file, image) : WriteGrayTiff(file, image), 1);

      ASSERT_TRUE(ReadFileInfo(path, after));
      EXPECT_EQ(after.Pixels, before.Pixels);
      EXPECT_EQ(std::tie(after.Width, after.Height, after.RowsPerStrip, after.Strips,
                         after.Photometric, after.Compression, after.ResolutionUnit),
                std::tie(before.Width, before.Height, before.RowsPerStrip, before.Strips,
                         before.Photometric, before.Compression, before.ResolutionUnit));
      EXPECT_EQ(after.XResolution, static_cast<float>(layout.Dpi));
      EXPECT_EQ(after.YResolution, static_cast<float>(layout.Dpi));
    }
  }
  EXPECT_EQ(Listing(dir).size(), 1u) << "a temporary file was left behind";
  fs::remove_all(dir);
}

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
