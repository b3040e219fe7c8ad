// JPEG pages as scanners and common tools write them, RGB, grey and YCbCr:
// each comes back with the quantisation tables it was read with and every
// tag as it was, and with pixels as close to the plain flattening of its
// decoded pixels as one more JPEG generation allows.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "harness.h"
#include "jpeg_quality.h"
#include "reference.h"

namespace {

using Jpeg = TFolderTest;

// The quantisation tables of a JPEG page: its JPEGTables tag's, or else
// its first strip's.
TQuantTables TablesOf(const fs::path& path) {
  TQuantTables tables;
  TIFF* tif = TIFFOpen(path.string().c_str(), "r");
  if (tif == nullptr) return tables;
  std::uint32_t count = 0;
  const void* shared = nullptr;
  if (TIFFGetField(tif, TIFFTAG_JPEGTABLES, &count, &shared) == 1) {
    ReadQuantTables(static_cast<const std::uint8_t*>(shared), count, tables);
  } else {
    std::vector<std::uint8_t> strip(1 << 20);
    const tmsize_t size =
        TIFFReadRawStrip(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size()));
    ReadQuantTables(strip.data(), static_cast<std::size_t>(std::max<tmsize_t>(size, 0)), tables);
  }
  TIFFClose(tif);
  return tables;
}

// Peak signal-to-noise ratio of `b` against `a`, in dB, and the largest
// difference of a sample.
std::pair<double, int> Agreement(const std::vector<std::uint8_t>& a,
                                 const std::vector<std::uint8_t>& b) {
  double squares = 0;
  int largest = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int d = std::abs(a[i] - b[i]);
    squares += d * d;
    largest = std::max(largest, d);
  }
  const double mse = squares / static_cast<double>(a.size());
  return {mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse), largest};
}

}  // namespace

TEST_F(Jpeg, PagesKeepTheirTablesAndTags) {
  const struct {
    const char* name;
    TScanLayout layout;
    double psnr;  // the least agreement with the plain flattening, in dB
    bool ownTables;
  } cases[] = {
      {"RGB 95", {400, 300, true, 7, 16, 150, 1, 95}, 44.5, false},
      {"grey 90", {400, 300, false, 7, 16, 150, 1, 90}, 40, false},
      {"YCbCr 2x2 40", {400, 300, true, 7, 16, 150, 1, 40, 2}, 30, false},
      {"YCbCr 2x2 75 tables in strips", {400, 300, true, 7, 32, 150, 1, 75, 2, true}, 33.5, false},
      {"YCbCr 1x1 20 (16-bit tables)", {400, 300, true, 7, 16, 150, 1, 20, 1}, 27.5, false},
      {"grey, a scanner's own tables", {400, 300, false, 7, 16, 150, 1, 85}, 38, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    fs::create_directory(dir);
    const fs::path page = dir / "page.tif";
    ASSERT_TRUE(WriteScan(page, c.layout, 7));
    if (c.ownTables) {  // one value finer than quality 85's, the others coarser
      TBytes bytes = FileBytes(page);
      const char dqt[] = "\xFF\xDB\x00\x43\x00";
      const auto at = std::search(bytes.begin(), bytes.end(), dqt, dqt + 5) + 5;
      ASSERT_NE(at - 5, bytes.end());
      for (int k = 0; k < 64; ++k) at[k] = static_cast<char>(k == 3 ? at[k] - 1 : at[k] + 2);
      PutBytes(page, bytes);
    }
    TFileInfo before;
    ASSERT_TRUE(ReadFileInfo(page, before));
    const TQuantTables tables = TablesOf(page);
    const auto entries = Entries(page);

    const TToolRun run = RunTool(dir);
    ASSERT_EQ(run.Entries.at("page.tif").Outcome, "done");
    TFileInfo after;
    ASSERT_TRUE(ReadFileInfo(page, after));
    const TQuantTables now = TablesOf(page);
    if (!c.ownTables) {
      EXPECT_EQ(now.Values, tables.Values);
      EXPECT_EQ(now.Present, tables.Present);
      EXPECT_EQ(Entries(page), entries);
    } else {
      // The lowest standard quality nowhere coarser than the page's tables.
      int quality = 1;
      while (quality < 100 && StandardTable(false, quality) != now.Values[0]) ++quality;
      EXPECT_EQ(now.Values[0], StandardTable(false, quality));
      const std::array<std::uint16_t, 64> coarser = StandardTable(false, quality - 1);
      bool finer = true, onceCoarser = false;
      for (int i = 0; i < 64; ++i) {
        finer &= now.Values[0][i] <= tables.Values[0][i];
        onceCoarser |= coarser[i] > tables.Values[0][i];
      }
      EXPECT_TRUE(finer && onceCoarser) << quality;
    }
    const auto [psnr, largest] = Agreement(
        PlainFlatten(before.Width, before.Height, c.layout.Colour, before.Pixels), after.Pixels);
    std::printf("%s: %.2f dB, largest difference %d\n", c.name, psnr, largest);
    EXPECT_GE(psnr, c.psnr);
  }
}
