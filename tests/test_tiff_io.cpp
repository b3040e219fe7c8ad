#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "grey_image.h"
#include "tiff_fixture.h"
#include "tiff_io.h"

namespace fs = std::filesystem;

namespace {

class TiffIo : public ::testing::Test {
 protected:
  void SetUp() override { dir = MakeTempDir(); }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
  }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path dir;
};

TFixture Rgb(std::uint32_t width, std::uint32_t height) {
  TFixture f;
  f.Width = width;
  f.Height = height;
  f.Photometric = 2;
  f.SamplesPerPixel = 3;
  return f;
}

// The tool's write-back of a page exactly as it was read.
std::int32_t WriteBack(const fs::path& path, const TMyImage& image) {
  return image.Photometric == 2 ? WriteRgbTiff(path.c_str(), image)
                                : WriteGrayTiff(path.c_str(), image);
}

}  // namespace

// Read and written back without processing, a page keeps its pixels, tags
// and strip layout, for every compression and strip arrangement.
TEST_F(TiffIo, RoundTripKeepsPixelsTagsAndStrips) {
  struct Layout {
    std::uint32_t width, height, rowsPerStrip;
  };
  const Layout layouts[] = {
      {7, 5, 2},            // several strips, a short last one
      {8, 6, 3},            // every strip full
      {9, 4, 4},            // a single strip
      {5, 3, 0xFFFFFFFFu},  // "one strip" spelled as 2^32 - 1
      {6, 5, 1},            // one row per strip
      {33, 31, 0},          // no RowsPerStrip tag at all
      // Uncompressed strips this large are split up by libtiff unless told
      // not to; the page must keep its own strips.
      {200, 100, 100},
      {200, 100, 0xFFFFFFFFu},
  };
  const std::uint16_t compressions[] = {1, 5, 8, 32773};  // none, LZW, Deflate, PackBits
  int fileNumber = 0;
  for (const bool colour : {false, true}) {
    for (const std::uint16_t compression : compressions) {
      for (const Layout& layout : layouts) {
        TFixture f = colour ? Rgb(layout.width, layout.height) : TFixture{};
        f.Width = layout.width;
        f.Height = layout.height;
        f.RowsPerStrip = layout.rowsPerStrip;
        f.Compression = compression;
        f.XResolution = 300;
        f.YResolution = 72.5f;
        f.ResolutionUnit = 2;
        const fs::path path = dir / ("page" + std::to_string(fileNumber++) + ".tif");
        ASSERT_TRUE(WriteFixture(path, f));
        TFileInfo before;
        ASSERT_TRUE(ReadFileInfo(path, before));

        SCOPED_TRACE(path.string() + (colour ? " rgb" : " grey") + " compression " +
                     std::to_string(compression) + " rows " + std::to_string(layout.rowsPerStrip));
        TMyImage image;
        ASSERT_EQ(ReadTiff(path.c_str(), image), 1);
        const std::uint32_t pixels = layout.width * layout.height;
        EXPECT_EQ(image.Width, layout.width);
        EXPECT_EQ(image.Height, layout.height);
        EXPECT_EQ(image.Compression, compression);
        EXPECT_EQ(image.Photometric, colour ? 2u : 1u);
        EXPECT_EQ(image.BitsPerSample, 8u);
        EXPECT_EQ(image.StripCount, before.Strips);
        EXPECT_EQ(image.XResolution, 300.0f);
        EXPECT_EQ(image.YResolution, 72.5f);
        EXPECT_EQ(image.ResolutionUnit, 2u);
        EXPECT_EQ(image.Gray.size(), (pixels / 1024 + 1) * 1024);
        const TPlane& plane = colour ? image.Rgb : image.Gray;
        ASSERT_GE(plane.size(), before.Pixels.size());
        EXPECT_TRUE(std::equal(before.Pixels.begin(), before.Pixels.end(), plane.begin()));

        ASSERT_EQ(WriteBack(path, image), 1);
        TFileInfo after;
        ASSERT_TRUE(ReadFileInfo(path, after));
        EXPECT_EQ(after.Pixels, before.Pixels);
        EXPECT_EQ(after.Width, before.Width);
        EXPECT_EQ(after.Height, before.Height);
        EXPECT_EQ(after.RowsPerStrip, before.RowsPerStrip);
        EXPECT_EQ(after.Strips, before.Strips);
        EXPECT_EQ(after.Compression, compression);
        EXPECT_EQ(after.Photometric, before.Photometric);
        EXPECT_EQ(after.SamplesPerPixel, before.SamplesPerPixel);
        EXPECT_EQ(after.PlanarConfig, before.PlanarConfig);
        EXPECT_EQ(after.XResolution, 300.0f);
        EXPECT_EQ(after.YResolution, 72.5f);
        EXPECT_EQ(after.ResolutionUnit, 2u);
      }
    }
  }
  // Nothing but the pages is left in the folder.
  EXPECT_EQ(Entries().size(), static_cast<std::size_t>(fileNumber));
}

TEST_F(TiffIo, ColourPagesGetGreyValuesAndGreyPagesKeepTheOldColourPlane) {
  TFixture colour = Rgb(3, 1);
  colour.Pixels = {0, 36, 12, 0, 80, 110, 255, 0, 0};
  ASSERT_TRUE(WriteFixture(dir / "c.tif", colour));
  ASSERT_TRUE(WriteFixture(dir / "g.tif", TFixture{}));
  TMyImage image;
  ASSERT_EQ(ReadTiff((dir / "c.tif").c_str(), image), 1);
  EXPECT_EQ(std::vector<std::uint8_t>(image.Gray.begin(), image.Gray.begin() + 3),
            (std::vector<std::uint8_t>{23, 60, 76}));
  EXPECT_EQ(image.Rgb, colour.Pixels);
  // Nothing reads the colour plane of a grey page; it stays as it was.
  ASSERT_EQ(ReadTiff((dir / "g.tif").c_str(), image), 1);
  EXPECT_EQ(image.Photometric, 1u);
  EXPECT_EQ(image.Rgb, colour.Pixels);
}

// A tag that a page lacks is left out of its output, never taken over from
// the page that was read before it into the same record.
TEST_F(TiffIo, MissingTagsAreNotCarriedOverFromThePreviousPage) {
  TFixture withResolution;
  withResolution.XResolution = 300;
  withResolution.YResolution = 300;
  withResolution.ResolutionUnit = 2;
  withResolution.RowsPerStrip = 1;
  ASSERT_TRUE(WriteFixture(dir / "a.tif", withResolution));
  ASSERT_TRUE(WriteFixture(dir / "b.tif", TFixture{}));

  TMyImage image;
  ASSERT_EQ(ReadTiff((dir / "a.tif").c_str(), image), 1);
  ASSERT_EQ(ReadTiff((dir / "b.tif").c_str(), image), 1);
  EXPECT_EQ(image.XResolution, 0.0f);
  EXPECT_EQ(image.RowsPerStrip, 0u);
  ASSERT_EQ(WriteGrayTiff((dir / "b.tif").c_str(), image), 1);
  TFileInfo info;
  ASSERT_TRUE(ReadFileInfo(dir / "b.tif", info));
  EXPECT_FALSE(info.HasXResolution);
  EXPECT_FALSE(info.HasYResolution);
  EXPECT_FALSE(info.HasResolutionUnit);
  EXPECT_EQ(info.Strips, 1u);
}

// Files the tool cannot write back exactly are refused and never written.
TEST_F(TiffIo, RefusesUnsupportedAndBrokenFiles) {
  struct Case {
    const char* name;
    TFixture fixture;
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, auto change) {
    TFixture f;
    f.Width = 6;
    f.Height = 5;
    f.RowsPerStrip = 2;
    change(f);
    cases.push_back({name, f});
  };
  add("16 bits", [](TFixture& f) { f.BitsPerSample = 16; });
  add("grey with two samples", [](TFixture& f) { f.SamplesPerPixel = 2; });
  add("rgb with one sample", [](TFixture& f) { f.Photometric = 2; });
  add("rgba", [](TFixture& f) { f.Photometric = 2, f.SamplesPerPixel = 4; });
  add("separate planes",
      [](TFixture& f) { f.Photometric = 2, f.SamplesPerPixel = 3, f.PlanarConfig = 2; });
  add("tiled", [](TFixture& f) { f.Width = 32, f.Height = 32, f.TileSize = 16; });
  add("two pages", [](TFixture& f) { f.Pages = 2; });
  add("white is zero", [](TFixture& f) { f.Photometric = 0; });
  add("signed samples", [](TFixture& f) { f.SampleFormat = 2; });
  add("separated (cmyk)", [](TFixture& f) { f.Photometric = 5, f.SamplesPerPixel = 4; });

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir / "x.tif";
    ASSERT_TRUE(WriteFixture(path, c.fixture));
    const std::vector<char> bytes = FileBytes(path);
    TMyImage image;
    EXPECT_EQ(ReadTiff(path.c_str(), image), -1);
    EXPECT_EQ(FileBytes(path), bytes);
  }
}

TEST_F(TiffIo, RefusesWhatIsNotAReadablePage) {
  // Compressed strips whose data was overwritten no longer decode.
  TFixture f;
  f.Width = 64;
  f.Height = 64;
  f.RowsPerStrip = 8;
  for (const std::uint16_t compression : {std::uint16_t{5}, std::uint16_t{8}}) {
    f.Compression = compression;
    ASSERT_TRUE(WriteFixture(dir / "cut.tif", f));
    std::vector<char> bytes = FileBytes(dir / "cut.tif");
    // The directory sits at the end of the file; keep it, spoil the first strips.
    std::fill(bytes.begin() + 8, bytes.begin() + 8 + static_cast<long>(bytes.size() / 3), '\0');
    std::ofstream(dir / "cut.tif", std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    TMyImage image;
    EXPECT_EQ(ReadTiff((dir / "cut.tif").c_str(), image), -1) << compression;
  }

  // A strip that reaches past the end of the file.
  ASSERT_TRUE(
      WriteRawTiff(dir / "short.tif",
                   {{256, 64}, {257, 64}, {258, 8}, {259, 1}, {262, 1}, {277, 1}, {279, 64 * 64}},
                   std::vector<std::uint8_t>(100, 7)));
  std::ofstream(dir / "text.tif") << "this is not a TIFF file\n";
  std::ofstream(dir / "empty.tif");
  fs::create_directory(dir / "folder.tif");
  ASSERT_EQ(mkfifo((dir / "pipe.tif").c_str(), 0644), 0);  // opening it would wait forever

  for (const char* name :
       {"short.tif", "text.tif", "empty.tif", "folder.tif", "missing.tif", "pipe.tif"}) {
    TMyImage image;
    EXPECT_EQ(ReadTiff((dir / name).c_str(), image), -1) << name;
  }
}

// A header may declare any size; the reader must not trust it with 32-bit
// plane arithmetic or take it for a page.
TEST_F(TiffIo, RefusesDeclaredSizesItCannotHold) {
  struct Case {
    const char* name;
    std::uint32_t width, height, photometric;
  };
  const Case cases[] = {
      {"colour plane over 4 GiB", 40000, 40000, 2},
      {"grey page over 4 GiB of colour", 65536, 65536, 1},
      {"zero width", 0, 10, 1},
      {"zero height", 10, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t samples = c.photometric == 2 ? 3 : 1;
    ASSERT_TRUE(WriteRawTiff(dir / "huge.tif",
                             {{256, c.width},
                              {257, c.height},
                              {258, 8},
                              {259, 1},
                              {262, c.photometric},
                              {277, samples},
                              {279, 16}},
                             std::vector<std::uint8_t>(16, 7)));
    TMyImage image;
    EXPECT_EQ(ReadTiff((dir / "huge.tif").c_str(), image), -1);
    EXPECT_TRUE(image.Gray.empty());
  }
  // A resolution that a rational cannot hold would not come back from the
  // rewritten file (2^32 - 1 as a float is 2^32, written as x/0).
  ASSERT_TRUE(WriteRawTiff(
      dir / "dpi.tif",
      {{256, 4}, {257, 4}, {258, 8}, {259, 1}, {262, 1}, {277, 1}, {279, 16}, {282, 0xFFFFFFFFu}},
      std::vector<std::uint8_t>(16, 7)));
  TMyImage refused;
  EXPECT_EQ(ReadTiff((dir / "dpi.tif").c_str(), refused), -1);
  // The same hand-made header with a size that fits reads well.
  ASSERT_TRUE(WriteRawTiff(dir / "small.tif",
                           {{256, 4}, {257, 4}, {258, 8}, {259, 1}, {262, 1}, {277, 1}, {279, 16}},
                           std::vector<std::uint8_t>(16, 7)));
  TMyImage image;
  ASSERT_EQ(ReadTiff((dir / "small.tif").c_str(), image), 1);
  EXPECT_EQ(image.Gray[15], 7);
}

// Every write that cannot complete leaves the file byte-identical and no
// temporary file behind.
TEST_F(TiffIo, FailedWritesLeaveTheFileAsItWas) {
  TFixture f;
  f.RowsPerStrip = 2;
  ASSERT_TRUE(WriteFixture(dir / "p.tif", f));
  TMyImage image;
  ASSERT_EQ(ReadTiff((dir / "p.tif").c_str(), image), 1);
  const std::vector<char> bytes = FileBytes(dir / "p.tif");
  image.Gray[0] ^= 0xFF;

  TMyImage unencodable = image;
  unencodable.Compression = 2;  // CCITT modified Huffman: one bit per sample only
  TMyImage wrongStrips = image;
  wrongStrips.StripCount = 1;
  TMyImage shortPlane = image;
  shortPlane.Gray.assign(3, 0);
  EXPECT_EQ(WriteGrayTiff((dir / "p.tif").c_str(), unencodable), -1);
  EXPECT_EQ(WriteGrayTiff((dir / "p.tif").c_str(), wrongStrips), -1);
  EXPECT_EQ(WriteGrayTiff((dir / "p.tif").c_str(), shortPlane), -1);
  EXPECT_EQ(WriteRgbTiff((dir / "p.tif").c_str(), image), -1);  // a grey page has no colour plane
  fs::permissions(dir / "p.tif", fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(WriteGrayTiff((dir / "p.tif").c_str(), image), -1);  // read-only, even for root
  EXPECT_EQ(FileBytes(dir / "p.tif"), bytes);

  // A page that has gone, or turned into a folder, is not created anew.
  EXPECT_EQ(WriteGrayTiff((dir / "gone.tif").c_str(), image), -1);
  fs::create_directory(dir / "folder.tif");
  EXPECT_EQ(WriteGrayTiff((dir / "folder.tif").c_str(), image), -1);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"folder.tif", "p.tif"}));
}

TEST_F(TiffIo, WriterFollowsLinksAndKeepsPermissions) {
  ASSERT_TRUE(WriteFixture(dir / "target.tif", TFixture{}));
  fs::permissions(dir / "target.tif", fs::perms::owner_read | fs::perms::owner_write |
                                          fs::perms::group_read | fs::perms::others_read);
  fs::create_symlink("target.tif", dir / "link.tif");

  TMyImage image;
  ASSERT_EQ(ReadTiff((dir / "link.tif").c_str(), image), 1);
  std::fill(image.Gray.begin(), image.Gray.end(), 42);
  ASSERT_EQ(WriteGrayTiff((dir / "link.tif").c_str(), image), 1);

  EXPECT_TRUE(fs::is_symlink(dir / "link.tif"));
  EXPECT_EQ(fs::read_symlink(dir / "link.tif"), "target.tif");
  TFileInfo info;
  ASSERT_TRUE(ReadFileInfo(dir / "target.tif", info));
  EXPECT_EQ(info.Pixels, std::vector<std::uint8_t>(16, 42));
  EXPECT_EQ(fs::status(dir / "target.tif").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  EXPECT_EQ(Entries(), (std::vector<std::string>{"link.tif", "target.tif"}));
}
