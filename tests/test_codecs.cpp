// Pages of every codec and setting the tool writes, as libtiff's own tools
// make them (tiffcp -c webp:p100, -c webp:p90, -c zstd:p19, -c lerc:2, -B,
// -f lsb2msb): each comes back in its file's byte order, with its fill
// order, compression and codec settings, and with the plain flattening of
// its decoded pixels: exactly where the codec loses nothing, else as the
// codec makes it from that at the page's own setting.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "codec_streams.h"
#include "harness.h"
#include "reference.h"

namespace {

using Codecs = TFolderTest;

// The compressed bytes of every strip of a page, as the file holds them.
std::vector<TBytes> RawStrips(const fs::path& path) {
  std::vector<TBytes> strips;
  TIFF* tif = TIFFOpen(path.string().c_str(), "r");
  if (tif == nullptr) return strips;
  for (std::uint32_t k = 0; k < TIFFNumberOfStrips(tif); ++k) {
    TBytes strip(static_cast<std::size_t>(TIFFGetStrileByteCount(tif, k)));
    TIFFReadRawStrip(tif, k, strip.data(), static_cast<tmsize_t>(strip.size()));
    strips.push_back(strip);
  }
  TIFFClose(tif);
  return strips;
}

}  // namespace

TEST_F(Codecs, EachPageKeepsItsEncoding) {
  constexpr int Exact = -1;
  const struct {
    const char* name;
    TScanLayout layout;
    // Exact; or for lossy WebP, how far above the page's level the one it
    // is written back at may be (its strips are then exactly libtiff's
    // coding of the plain flattening at that level); or for LERC, 0: every
    // sample within the page's MaxZError of the plain flattening, which its
    // strips keep.
    int lossy;
  } rows[] = {
      // clang-format off
      {"WebP lossless", {.Width = 400, .Height = 300, .Colour = true, .Compression = COMPRESSION_WEBP,
       .RowsPerStrip = 16, .Quality = 100}, Exact},
      {"WebP 90", {.Width = 400, .Height = 300, .Colour = true, .Compression = COMPRESSION_WEBP,
       .RowsPerStrip = 16, .Quality = 90}, 3},
      {"WebP 75 (libtiff's default)", {.Width = 400, .Height = 300, .Colour = true,
       .Compression = COMPRESSION_WEBP, .RowsPerStrip = 16}, 3},
      {"WebP 30, one strip", {.Width = 300, .Height = 200, .Colour = true,
       .Compression = COMPRESSION_WEBP, .Quality = 30}, 30},  // one frame tells less
      {"WebP 60 with alpha", {.Width = 400, .Height = 300, .Colour = true,
       .Compression = COMPRESSION_WEBP, .RowsPerStrip = 32, .Quality = 60, .Alpha = 3}, 6},
      {"ZSTD 19", {.Width = 400, .Height = 300, .Colour = true, .Compression = COMPRESSION_ZSTD,
       .RowsPerStrip = 16, .Quality = 19}, Exact},
      {"LZMA 9", {.Width = 400, .Height = 300, .Compression = COMPRESSION_LZMA, .RowsPerStrip = 16,
       .Quality = 9}, Exact},
      {"Deflate 9", {.Width = 400, .Height = 300, .Compression = COMPRESSION_ADOBE_DEFLATE,
       .RowsPerStrip = 16, .Quality = 9}, Exact},
      {"LERC lossless", {.Width = 400, .Height = 300, .Compression = COMPRESSION_LERC,
       .RowsPerStrip = 16}, Exact},
      {"LERC 2", {.Width = 400, .Height = 300, .Compression = COMPRESSION_LERC, .RowsPerStrip = 16,
       .MaxZError = 2}, 0},
      {"LERC 100, 16-bit", {.Width = 400, .Height = 300, .Compression = COMPRESSION_LERC,
       .RowsPerStrip = 16, .Bits = 16, .Fine = true, .MaxZError = 100}, 0},
      // its blobs' headers inside ZSTD: written back without loss, ZSTD kept
      {"LERC 2 in ZSTD", {.Width = 400, .Height = 300, .Colour = true,
       .Compression = COMPRESSION_LERC, .RowsPerStrip = 16, .MaxZError = 2, .LercFurther = 2},
       Exact},
      {"MM, 8-bit LZW", {.Width = 400, .Height = 300, .Colour = true, .Compression = COMPRESSION_LZW,
       .RowsPerStrip = 16, .BigEndian = true}, Exact},
      {"MM, 16-bit LZW with predictor", {.Width = 400, .Height = 300, .Colour = true,
       .Compression = COMPRESSION_LZW, .RowsPerStrip = 16, .Predictor = 2, .Bits = 16,
       .Fine = true, .BigEndian = true}, Exact},
      {"MM, 16-bit uncompressed with alpha", {.Width = 400, .Height = 300, .RowsPerStrip = 16,
       .Bits = 16, .Fine = true, .Alpha = 2, .BigEndian = true}, Exact},
      {"MM, 16-bit Deflate tiles", {.Width = 400, .Height = 300, .Compression = 8, .Tile = 64,
       .Bits = 16, .BigEndian = true}, Exact},
      {"FillOrder 2, LZW", {.Width = 400, .Height = 300, .Compression = COMPRESSION_LZW,
       .RowsPerStrip = 16, .LsbFirst = true}, Exact},
      // clang-format on
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const TScanLayout& layout = row.layout;
    if (TIFFIsCODECConfigured(layout.Compression) == 0) continue;  // not in this libtiff
    fs::remove_all(dir);
    fs::create_directory(dir);
    const fs::path page = dir / "page.tif";
    ASSERT_TRUE(WriteScan(page, layout, 5));
    TFileInfo before, after;
    ASSERT_TRUE(ReadFileInfo(page, before));
    const auto entries = layout.BigEndian ? decltype(Entries(page)){} : Entries(page);
    const std::vector<TBytes> strips = row.lossy == Exact ? std::vector<TBytes>{} : RawStrips(page);

    // The same bytes on one thread as on several, whatever the heap held.
    const fs::path original = top / "original.tif";
    fs::remove(original);  // overwrite_existing fails with MinGW's library
    fs::copy_file(page, original);
    TBytes first;
    for (const char* threads : {"1", "3"}) {
      fs::remove(page);
      fs::copy_file(original, page);
      // Other leftovers in the heap too (glibc fills what it hands out).
#ifndef _WIN32
      setenv("MALLOC_PERTURB_", threads[0] == '1' ? "0" : "165", 1);
#endif
      const TToolRun run = RunToolWith(dir, {"-j", threads});
      ASSERT_EQ(run.Entries.at("page.tif").Outcome, "done") << threads;
      if (first.empty()) first = FileBytes(page);
      EXPECT_TRUE(FileBytes(page) == first) << threads;
    }
    ASSERT_TRUE(ReadFileInfo(page, after));
    EXPECT_EQ(FileBytes(page)[0], layout.BigEndian ? 'M' : 'I');
    EXPECT_EQ(after.Compression, layout.Compression);
    if (!layout.BigEndian) {  // FillOrder among them
      EXPECT_EQ(Entries(page), entries);
    }
    const std::vector<std::uint32_t> plain =
        PlainFlattenFile(before.Width, before.Height, layout.Colour, layout.Bits, false,
                         before.ExtraKinds, before.Samples);
    if (row.lossy == Exact) {
      EXPECT_TRUE(after.Samples == plain);
    } else if (layout.Compression == COMPRESSION_LERC) {
      double kept = 0, made = 0;
      const TBytes now = RawStrips(page)[0];
      const auto read = [](const TBytes& strip, double& error) {
        return ReadLercMaxZError(reinterpret_cast<const std::uint8_t*>(strip.data()), strip.size(),
                                 error);
      };
      ASSERT_TRUE(read(now, kept) && read(strips[0], made));
      EXPECT_EQ(kept, made);
      for (std::size_t i = 0; i < plain.size(); ++i) {
        ASSERT_LE(std::abs(static_cast<double>(after.Samples[i]) - plain[i]), layout.MaxZError);
      }
    } else {  // WebP: libtiff's own coding of the plain flattening, at a level not far above
      std::vector<std::uint8_t> shown;
      const std::size_t all = before.ExtraKinds.size() + 3;
      for (std::size_t i = 0; i < plain.size(); ++i) {
        if (i % all < 3) shown.push_back(static_cast<std::uint8_t>(plain[i]));
      }
      const int made = layout.Quality == 0 ? 75 : layout.Quality;
      int found = 0;
      for (int level = made; found == 0 && level <= std::min(100, made + row.lossy); ++level) {
        TScanLayout again = layout;
        again.Quality = level;
        const fs::path coded = top / "coded.tif";
        ASSERT_TRUE(WriteScanTiff(coded.string().c_str(), again, shown));
        if (RawStrips(coded) == RawStrips(page)) found = level;
      }
      std::printf("%s: written back at level %d\n", row.name, found);
      EXPECT_NE(found, 0);
    }
  }
}

// MaxZError read from a Lerc2 header of each version liblerc writes:
// "Lerc2 ", the version, a checksum from 3, 6 integers (7 from 4, 8 from 6),
// 4 flag bytes from 6, then MaxZError; nothing from what is cut short.
TEST(CodecStreams, LercHeadersOfEveryVersion) {
  for (const int version : {2, 3, 4, 6}) {
    const std::size_t at = 10 + (version >= 3 ? 4 : 0) + 4 * (6 + (version >= 4) + (version >= 6)) +
                           (version >= 6 ? 4 : 0);
    std::vector<std::uint8_t> header(at + 8, 0xEE);
    std::copy_n("Lerc2 \0\0\0", 10, header.begin());
    header[6] = static_cast<std::uint8_t>(version);
    const double error = 2.5;
    std::memcpy(header.data() + at, &error, 8);  // little-endian, as liblerc writes it
    double read = 0;
    EXPECT_TRUE(ReadLercMaxZError(header.data(), header.size(), read) && read == error) << version;
    EXPECT_FALSE(ReadLercMaxZError(header.data(), header.size() - 1, read)) << version;
    for (const double wrong : {-1.0, HUGE_VAL, double{NAN}}) {
      std::memcpy(header.data() + at, &wrong, 8);
      EXPECT_FALSE(ReadLercMaxZError(header.data(), header.size(), read)) << wrong;
    }
  }
}
