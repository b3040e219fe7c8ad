// Files of several pages, as scanners and tiffcp write them: every page the
// tool flattens comes out as it would alone, every other page as it was,
// all in one file that replaces the old one at once; a file it cannot do
// whole stays byte-identical.
#include <gtest/gtest.h>
#include <tiffio.h>

#include "harness.h"
#include "reference.h"

using Pages = TFolderTest;

TEST_F(Pages, EveryPageOfAFile) {
  // Pages in the order they are added; Compression 0 stands for a page kept
  // as it is: bilevel, or with Quality 1 palette.
  TScanLayout grey = {300, 200, false, 5, 32}, bilevel = {64, 48, false, 0},
              palette = {64, 48, false, 0, 0, 0, 1, 1};
  const std::pair<fs::path, std::vector<TScanLayout>> files[] = {
      {dir / "doc.tif",
       {grey,
        bilevel,
        {256, 200, true, 8, 0, 0, 1, 0, 0, false, 64},
        palette,
        {256, 200, true, 7, 0, 0, 1, 90, 2, false, 64}}},
      {dir / "none.tif", {bilevel, palette}},
      {dir / "big.tif", {{300, 200, false, 5, 32, 0, 1, 0, 0, false, 0, false, true}, grey}},
      {dir / "broken.tif", {{300, 200, false, 1, 32}, {300, 200, false, 8, 32}}},
      {dir / "many.tif", std::vector<TScanLayout>(150, {600, 400, false, 1, 64})}};
  for (const auto& [file, pages] : files) {
    for (std::uint32_t k = 0; k < pages.size(); ++k) {
      TScanLayout page = pages[k];
      page.Append = k > 0;
      ASSERT_TRUE(page.Compression != 0
                      ? WriteScan(file, page, k)
                      : WriteKeptPageTiff(file.string().c_str(), 64, 48, page.Quality == 1,
                                          SyntheticScan(64, 48, false, k)));
    }
  }
  // Previews: colour at half size, grey, 16-bit in tiles, and one wider
  // than its page, of a colour page; a palette page's own.
  const fs::path previews = dir / "previews.tif";
  ASSERT_TRUE(WriteScan(
      previews,
      {.Width = 300,
       .Height = 200,
       .Colour = true,
       .Compression = 5,
       .RowsPerStrip = 32,
       .Previews = {
           {150, 100, true, 5, 16},
           {77, 51, false, 1, 0},
           {.Width = 64, .Height = 40, .Colour = true, .Compression = 8, .Tile = 16, .Bits = 16},
           {600, 150, false, 1, 0}}}));
  ASSERT_TRUE(WriteKeptPageTiff(previews.string().c_str(), 64, 48, true,
                                SyntheticScan(64, 48, false, 2), true));
  // The second page's strip cut short: the whole file is refused.
  TBytes cut = FileBytes(dir / "broken.tif");
  std::fill(cut.end() - 3000, cut.end() - 1000, '\0');
  PutBytes(dir / "broken.tif", cut);
  const fs::path doc = dir / "doc.tif", none = dir / "none.tif", broken = dir / "broken.tif",
                 big = dir / "big.tif";
  std::map<fs::path, TBytes> bytes;
  std::map<std::pair<fs::path, int>, TFileInfo> before;
  for (const fs::path& file : {doc, none, broken, big}) {
    bytes[file] = FileBytes(file);
    for (int k = 0; ReadFileInfo(file, before[{file, k}], static_cast<std::uint16_t>(k)); ++k) {
    }
  }

  TFileInfo kept;
  ASSERT_TRUE(ReadFileInfo(previews, kept, 1, 0));
  const TToolRun run = RunTool(dir);
  const char* const names[] = {"page 1 of 5", "page 2 of 5 copied", "page 3 of 5",
                               "page 4 of 5 copied", "page 5 of 5"};
  for (int k = 0; k < 5; ++k) {
    SCOPED_TRACE(names[k]);
    const TEntry& entry = run.Entries.at(std::string("doc.tif ") + names[k]);
    const TFileInfo& old = before[{doc, k}];
    EXPECT_EQ(entry.Labels, k % 2 == 1 ? std::vector<std::string>{}
                            : k == 0   ? GreyLabels
                                       : ColourLabels);
    TFileInfo now;
    ASSERT_TRUE(ReadFileInfo(doc, now, static_cast<std::uint16_t>(k)));
    EXPECT_EQ(now.Compression, old.Compression);
    if (k % 2 == 1) {
      EXPECT_TRUE(now.Pixels == old.Pixels);
    } else if (k != 4) {  // JPEG is lossy
      EXPECT_TRUE(now.Pixels == PlainFlatten(old.Width, old.Height, k != 0, old.Pixels));
    }
  }
  EXPECT_FALSE(ReadFileInfo(doc, before[{doc, 9}], 5)) << "a sixth page";
  EXPECT_EQ(run.Entries.at("doc.tif").Labels, std::vector<std::string>{"total"});
  EXPECT_EQ(run.Entries.at("big.tif").Labels, std::vector<std::string>{"total"});
  EXPECT_EQ(FileBytes(big)[2], 43) << "a BigTIFF file stays one";
  EXPECT_EQ(run.Entries.count("many.tif page 150 of 150"), 1u);
// Natively only: sanitizers' shadow memory, and qemu-user's own memory for
// each thread a page's stages start (150 MB for this run on two threads
// under qemu-aarch64, 8 MB natively), would be counted too.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(VALDRANE_EMULATOR)
  EXPECT_LT(run.PeakKiB, 60 * 1024) << "150 pages' planes would take 117 MB";
#endif
  // Made anew from the flattened page, in their own size and kind; the
  // copied page's as they were.
  TFileInfo page, now;
  ASSERT_TRUE(ReadFileInfo(previews, page));
  // One declared larger than its page is made at most at the page's size.
  for (int k = 0; k < 4; ++k) {
    ASSERT_TRUE(ReadFileInfo(previews, now, 0, k)) << k;
    EXPECT_EQ(now.Width, k == 0 ? 150u : k == 1 ? 77u : k == 2 ? 64u : 300u);
    EXPECT_EQ(now.Height, k == 0 ? 100u : k == 1 ? 51u : k == 2 ? 40u : 150u);
    EXPECT_TRUE(now.Samples == PlainPreview(page, now)) << k;
  }
  EXPECT_FALSE(ReadFileInfo(previews, now, 0, 4));
  ASSERT_TRUE(ReadFileInfo(previews, now, 1, 0));
  EXPECT_TRUE(now.Samples == kept.Samples && now.Width == 32);
  for (const fs::path& refused : {none, broken}) {
    EXPECT_EQ(run.Entries.at(refused.filename().string()).Outcome, "read error");
    EXPECT_TRUE(FileBytes(refused) == bytes[refused]);
  }
}
