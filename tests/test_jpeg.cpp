// JPEG pages as scanners and common tools write them, RGB, grey and YCbCr:
// each comes back with the quantisation tables it was read with and every
// tag as it was, and with pixels as close to the plain flattening of its
// decoded pixels as one more JPEG generation allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "harness.h"
#include "jpeg_quality.h"
#include "reference.h"

namespace {

using Jpeg = TFolderTest;

// Every quantisation table segment (DQT) of a JPEG page, wherever it is (the
// JPEGTables tag, or every strip), in file order: the marker cannot occur
// inside entropy-coded data.
TBytes TableSegments(const fs::path& path) {
  const TBytes bytes = FileBytes(path);
  TBytes segments;
  const char dqt[] = "\xFF\xDB";
  for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), dqt, dqt + 2)) != bytes.end();) {
    const auto length = static_cast<std::uint8_t>(at[2]) << 8 | static_cast<std::uint8_t>(at[3]);
    segments.insert(segments.end(), at, at + 2 + length);
    at += 2 + length;
  }
  return segments;
}

}  // namespace

TEST_F(Jpeg, PagesKeepTheirTablesAndTags) {
  const struct {
    const char* name;
    TScanLayout layout;
    double psnr;     // the least agreement with the plain flattening, in dB
    bool ownTables;  // a scanner's own: one value finer than quality 85's, the others coarser
  } cases[] = {
      {"RGB 95", {400, 300, true, 7, 16, 150, 1, 95}, 44.5, false},
      {"grey 90", {400, 300, false, 7, 16, 150, 1, 90}, 40, false},
      {"YCbCr 2x2 40", {400, 300, true, 7, 16, 150, 1, 40, 2}, 30, false},
      {"YCbCr 2x2 75, tables in strips", {400, 300, true, 7, 32, 150, 1, 75, 2, true}, 33.5, false},
      {"YCbCr 2x2 80, tiles with their tables",
       {256, 200, true, 7, 0, 0, 1, 80, 2, true, 64},
       35,
       false},
      {"YCbCr 1x1 20, 16-bit tables", {400, 300, true, 7, 16, 150, 1, 20, 1}, 27.5, false},
      {"grey, a scanner's own tables", {400, 300, false, 7, 16, 150, 1, 85}, 38, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    const fs::path page = dir / "page.tif";
    ASSERT_TRUE(WriteScan(page, c.layout, 7));
    TBytes tables = TableSegments(page);
    if (c.ownTables) {
      TBytes bytes = FileBytes(page);
      const auto at = std::search(bytes.begin(), bytes.end(), tables.begin(), tables.end()) + 5;
      for (int k = 0; k < 64; ++k) at[k] = static_cast<char>(k == 3 ? at[k] - 1 : at[k] + 2);
      PutBytes(page, bytes);
      tables = TableSegments(page);
    }
    TFileInfo before, after;
    ASSERT_TRUE(ReadFileInfo(page, before));
    const auto entries = Entries(page);

    const TToolRun run = RunTool(dir);
    ASSERT_EQ(run.Entries.at("page.tif").Outcome, "done");
    ASSERT_TRUE(ReadFileInfo(page, after));
    if (!c.ownTables) {
      EXPECT_TRUE(TableSegments(page) == tables);
      EXPECT_EQ(Entries(page), entries);
    } else {  // the standard tables of the quality QualityOf finds for the page's
      TQuantTables own, now;
      const auto read = [](TBytes segment, TQuantTables& into) {
        segment.insert(segment.begin(), {'\xFF', '\xD8'});
        const auto* data = reinterpret_cast<const std::uint8_t*>(segment.data());
        return ReadQuantTables(data, segment.size(), into);
      };
      ASSERT_TRUE(read(tables, own) && read(TableSegments(page), now));
      EXPECT_EQ(now.Values[0], StandardTable(false, QualityOf(own)));
      EXPECT_NE(QualityOf(own), 85);
    }
    double squares = 0;
    const auto plain = PlainFlatten(before.Width, before.Height, c.layout.Colour, before.Pixels);
    for (std::size_t i = 0; i < plain.size(); ++i)
      squares += std::pow(plain[i] - after.Pixels[i], 2);
    const double psnr =
        10 * std::log10(255.0 * 255.0 * static_cast<double>(plain.size()) / squares);
    std::printf("%s: %.2f dB\n", c.name, psnr);
    EXPECT_GE(psnr, c.psnr);
  }
}
