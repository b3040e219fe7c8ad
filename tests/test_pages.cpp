// Files of several pages, as scanners and tiffcp write them: every page the
// tool flattens comes out as it would alone, every other page as it was,
// all in one file that replaces the old one at once; a file it cannot do
// whole stays byte-identical.
#include <gtest/gtest.h>
#include <tiffio.h>

#include "harness.h"
#include "reference.h"

namespace {

using Pages = TFolderTest;

// Appends a page the tool does not flatten: bilevel or palette.
bool AppendOther(const fs::path& path, bool palette) {
  return WriteKeptPageTiff(path.string().c_str(), 64, 48, palette, SyntheticScan(64, 48, false, 9));
}

}  // namespace

TEST_F(Pages, EveryPageOfAFile) {
  const TScanLayout grey = {300, 200, false, 5, 32},
                    tiles = {256, 200, true, 8, 0, 0, 1, 0, 0, false, 64};
  TScanLayout jpeg = {256, 200, true, 7, 0, 0, 1, 90, 2, false, 64}, next = grey;
  jpeg.Append = next.Append = true;
  const fs::path doc = dir / "doc.tif", none = dir / "none.tif", broken = dir / "broken.tif",
                 big = dir / "big.tif";
  ASSERT_TRUE(WriteScan(doc, grey, 1) && AppendOther(doc, false));
  ASSERT_TRUE(WriteScan(
      doc,
      [&] {
        auto l = tiles;
        l.Append = true;
        return l;
      }(),
      2));
  ASSERT_TRUE(AppendOther(doc, true) && WriteScan(doc, jpeg, 3));
  ASSERT_TRUE(AppendOther(none, false) && AppendOther(none, true));
  ASSERT_TRUE(WriteScan(
                  big,
                  [&] {
                    auto l = grey;
                    l.Big = true;
                    return l;
                  }(),
                  4) &&
              WriteScan(big, next, 5));
  // The second page's strip cut short: the whole file is refused.
  ASSERT_TRUE(WriteScan(broken, grey, 6) && WriteScan(
                                                broken,
                                                [&] {
                                                  auto l = next;
                                                  l.Compression = 8;
                                                  return l;
                                                }(),
                                                7));
  TBytes cut = FileBytes(broken);
  std::fill(cut.end() - 3000, cut.end() - 1000, '\0');
  PutBytes(broken, cut);
  // Pages stream through: memory is bounded by one page, not by the file.
  for (std::uint32_t k = 0; k < 150; ++k) {
    ASSERT_TRUE(WriteScan(dir / "many.tif",
                          {600, 400, false, 1, 64, 0, 1, 0, 0, false, 0, false, false, k > 0}, k));
  }
  std::map<fs::path, TBytes> bytes;
  std::map<std::pair<fs::path, int>, TFileInfo> before;
  for (const fs::path& file : {doc, none, broken, big}) {
    bytes[file] = FileBytes(file);
    for (int k = 0; ReadFileInfo(file, before[{file, k}], static_cast<std::uint16_t>(k)); ++k) {
    }
  }

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
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // shadow memory
  EXPECT_LT(run.PeakKiB, 60 * 1024) << "150 pages' planes would take 117 MB";
#endif
  for (const fs::path& refused : {none, broken}) {
    EXPECT_EQ(run.Entries.at(refused.filename().string()).Outcome, "read error");
    EXPECT_TRUE(FileBytes(refused) == bytes[refused]);
  }
}
