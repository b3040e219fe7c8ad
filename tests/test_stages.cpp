// The image operations against the plain implementation, in process.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <tuple>

#include "correction.h"
#include "flatten.h"
#include "grey.h"
#include "jpeg_quality.h"
#include "page_log.h"
#include "paper.h"
#include "reconstruct.h"
#include "reconstruct_kernels.h"
#include "reference.h"
#include "report.h"
#include "resample.h"
#include "synthetic_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

TMyImage GreyImage(std::uint32_t width, std::uint32_t height, const std::vector<std::uint8_t>& px) {
  TMyImage image;
  image.Width = width;
  image.Height = height;
  image.Photometric = 1;
  image.Gray.assign(px.begin(), px.end());
  return image;
}

}  // namespace

// Each quality read back from its own tables (libjpeg's, as pages written
// with it hold them); tables read from a stream with a fill byte and an 8- and a 16-bit
// table in one segment, nowhere coarser where they are no one quality's;
// what is not JPEG or is cut short.
TEST(JpegQuality, TablesOfAQualityAndTheQualityOfTables) {
  for (int quality = 1; quality <= 100; ++quality) {
    TQuantTables tables;
    tables.Values = {StandardTable(false, quality), StandardTable(true, quality)};
    tables.Present = {true, false, false, false};
    EXPECT_EQ(QualityOf(tables), quality);
    tables.Present[1] = true;
    EXPECT_EQ(QualityOf(tables), quality);
  }

  // Table 0 all 3 (8 bits), table 1 all 300 (16 bits), then a scan.
  std::vector<std::uint8_t> stream = {0xFF, 0xD8, 0xFF, 0xFF, 0xDB, 0, 2 + 65 + 129, 0x00};
  stream.insert(stream.end(), 64, 3);
  stream.push_back(0x11);
  for (int k = 0; k < 64; ++k) stream.insert(stream.end(), {300 >> 8, 300 & 0xFF});
  stream.insert(stream.end(), {0xFF, 0xDA, 0, 2});
  TQuantTables read;
  ASSERT_TRUE(ReadQuantTables(stream.data(), stream.size(), read));
  EXPECT_EQ(read.Present, (std::array<bool, 4>{true, true, false, false}));
  EXPECT_EQ(read.Values[0][63] + read.Values[1][0], 303);
  EXPECT_EQ(QualityOf(read), 99) << "the lowest quality nowhere coarser than both";
  read.Values[0][5] = 0;
  EXPECT_EQ(QualityOf(read), 0) << "no decoder takes a 0";
  EXPECT_EQ(QualityOf(TQuantTables{}), 0);
  for (const std::size_t cut :
       {std::size_t{1}, std::size_t{7}, std::size_t{100}, stream.size() - 5}) {
    EXPECT_FALSE(ReadQuantTables(stream.data(), cut, read)) << cut;
  }
  stream[0] = 0;
  EXPECT_FALSE(ReadQuantTables(stream.data(), stream.size(), read));
}

// All 2^24 colours, halfway sums included, against the extended-precision
// computation itself: in one long row (the vector kernel and its redone
// runs), and in a row of odd length from an odd start (its tail); and 16-bit
// colours made of them.
TEST(Grey, EveryColourRoundsAsExtendedPrecision) {
  if (!ExtendedPrecision) GTEST_SKIP() << "no long double to compare with here";
  constexpr std::uint32_t Colours = 1u << 24;
  std::vector<std::uint8_t> rgb(3 * std::size_t{Colours});
  for (std::uint32_t colour = 0; colour < Colours; ++colour) {
    for (std::uint32_t c = 0; c < 3; ++c)
      rgb[3 * colour + c] = std::uint8_t(colour >> (16 - 8 * c));
  }
  std::vector<std::uint8_t> gray(Colours + 1, 77), slice(Colours, 77);
  RgbToGray(rgb.data(), gray.data(), Colours);
  RgbToGray(rgb.data() + 3 * 5, slice.data(), 1000);
  std::uint32_t mismatches = 0;
  for (std::uint32_t colour = 0; colour < Colours; ++colour) {
    const std::uint8_t* p = rgb.data() + 3 * std::size_t{colour};
    const auto want = static_cast<std::uint8_t>(PlainGrey(p[0], p[1], p[2]));
    if (gray[colour] != want && ++mismatches <= 5) ADD_FAILURE() << colour;
    if (colour >= 5 && colour < 1005 && slice[colour - 5] != want && ++mismatches <= 5)
      ADD_FAILURE() << "from 5: " << colour;
    // A million 16-bit colours too, about a thousand of them halfway.
    const std::uint16_t wide[3] = {std::uint16_t(p[0] << 8 | p[2]), std::uint16_t(p[1] << 8 | p[0]),
                                   std::uint16_t(p[2] << 8 | p[1])};
    std::uint16_t grey16 = 0;
    if (colour % 16 == 0) RgbToGray(wide, &grey16, 1);
    if (colour % 16 == 0 && grey16 != PlainGrey(wide[0], wide[1], wide[2]) && ++mismatches <= 5)
      ADD_FAILURE() << "16 bits: " << colour;
  }
  EXPECT_EQ(gray[Colours], 77) << "written past the row";
  EXPECT_EQ(slice[1000], 77) << "written past the row";
  EXPECT_EQ(mismatches, 0u);
}

// Every kernel gives the marker and counts of the plain sweep: on noise,
// specks on paper, plateaus full of ties, serpentine channels that need more
// than ten passes, frames of one or two pixels, rows against the block
// sizes, and rows longer than 255 blocks.
TEST(Reconstruct, EveryKernelMatchesThePlainSweep) {
  std::mt19937 engine(12345);
  auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
  int stoppedByTheLimit = 0;
  for (int trial = 0; trial < 1000; ++trial) {
    const bool longRows = trial >= 990;
    const std::uint32_t reach = trial < 300 ? 40 : 200;
    const std::uint32_t w = longRows ? 8200 + random() % 1000 : 1 + random() % reach;
    const std::uint32_t h = 1 + random() % (longRows ? 6 : reach);
    std::vector<std::uint8_t> px(w * h);
    for (std::uint32_t i = 0; i < w * h; ++i) {
      const std::uint32_t r = random(), x = i % w, y = i / w;
      const std::uint32_t styles[] = {r >> 24, r % 10 == 0 ? r % 60 : 200 + r % 3, (r % 4) * 60,
                                      y % 2 == 1 && x != (y % 4 == 1 ? w - 2 : 1) ? 250 : r % 3,
                                      253 + r % 3};
      px[i] = static_cast<std::uint8_t>(styles[trial % 5]);
    }
    // The image as it is, and at 16 bits, each value times 257 plus a little.
    std::vector<std::uint16_t> px16;
    for (const std::uint8_t v : px)
      px16.push_back(std::uint16_t(v * 257 + random() % 3 * (v < 255)));
    const auto check = [&](const auto& values, TMyImage mask) {
      mask.Width = w, mask.Height = h, mask.BitsPerSample = sizeof(values[0]) * 8;
      GrayOf(values[0], mask).assign(values.begin(), values.end());
      const TMyImage seed = MakeBorderSeed(mask);
      const auto& plain = GrayOf(values[0], seed);
      std::vector<std::decay_t<decltype(values[0])>> expected(plain.begin(), plain.end());
      const std::vector<std::uint32_t> plainCounts = PlainReconstruct(values, expected, w, h);
      stoppedByTheLimit += plainCounts.size() == PassLimit;
      for (const TRowKernel kernel : {TRowKernel::Plain, TRowKernel::Sse2, TRowKernel::Avx2}) {
        if (!ProcessorRuns(kernel)) continue;
        TMyImage marker = MakeBorderSeed(mask);
        std::uint32_t counts[PassLimit] = {};
        const std::uint32_t passes = ReconstructBackgroundWith(kernel, mask, marker, counts);
        ASSERT_EQ(std::vector<std::uint32_t>(counts, counts + passes), plainCounts) << trial;
        const auto& got = GrayOf(values[0], marker);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), got.begin())) << trial;
      }
    };
    check(px, TMyImage{});
    check(px16, TMyImage{});
  }
  EXPECT_GT(stoppedByTheLimit, 100);
}

// Every pair of pixel and background value at 8 bits, in a row that is no
// multiple of the 16-pixel blocks; at 16 bits, every pair of values near the
// ends, the threshold (30 x 257 = 7710) and each other.
TEST(Stages, DivisionOfEveryPairOfValues) {
  std::vector<unsigned> narrow(263), wide;
  for (unsigned v = 0; v < narrow.size(); ++v) narrow[v] = std::min(v, 255u);
  for (const unsigned v : {0u, 1u, 7709u, 7710u, 7711u, 30000u, 65534u, 65535u}) {
    for (unsigned d = 0; d < 3; ++d) wide.push_back(v ^ d);
  }
  for (const unsigned bits : {8u, 16u}) {
    const std::vector<unsigned>& values = bits == 8 ? narrow : wide;
    const unsigned white = (1u << bits) - 1, n = static_cast<unsigned>(values.size());
    TMyImage page = GreyImage(n * n, 1, {}), background = page;
    page.BitsPerSample = background.BitsPerSample = bits;
    WithSamples(page, [&](auto zero) {
      for (unsigned i = 0; i < n * n; ++i) {
        GrayOf(zero, page).push_back(static_cast<decltype(zero)>(values[i / n]));
        GrayOf(zero, background).push_back(static_cast<decltype(zero)>(values[i % n]));
      }
      DivideByBackground(page, background);
      for (unsigned i = 0; i < n * n; ++i) {
        const unsigned p = values[i / n], b = values[i % n];
        ASSERT_EQ(GrayOf(zero, page)[i], b < 30 * (white / 255) || p >= b ? white : p * white / b)
            << p << " on " << b;
      }
    });
  }
}

// The correction against the paper, stage by stage as the driver runs it
// on two threads, against the plain one (every layout, bit depth and thread
// count is run through the tool too), on grey and colour scans with a
// margin on the left, a dark line running into it, a blot and (colour)
// yellowish paper; and what it is for: the margin white, the line and the
// blot kept, the paper's tint gone.
TEST(Paper, MatchesThePlainCorrection) {
  if (!ExtendedPrecision) GTEST_SKIP() << "no long double to compare with here";
  // And a page wider than the stretches of a row the division works in.
  for (const auto& [W, H, colour] :
       {std::tuple{700u, 500u, false}, {700u, 500u, true}, {4500u, 40u, true}}) {
    std::vector<std::uint8_t> shown = SyntheticScan(W, H, colour, 5);
    const std::uint32_t C = colour ? 3 : 1;
    std::fill_n(shown.begin() + std::size_t{H / 2} * W * C, W / 2 * C, 60);
    TMyImage page = GreyImage(W, H, colour ? std::vector<std::uint8_t>(W * H) : shown);
    page.Photometric = colour ? 2 : 1;
    page.Rgb.assign(shown.begin(), colour ? shown.end() : shown.begin());
    if (colour) RgbToGray(page.Rgb.data(), page.Gray.data(), W * H);
    FlattenAgainstPaper(page, 2);
    const auto plain = PlainPaper(W, H, colour, shown);
    ASSERT_TRUE(std::equal(plain.begin(), plain.end(), (colour ? page.Rgb : page.Gray).begin()));
    if (H < 500) continue;
    const auto at = [&](std::uint32_t x, std::uint32_t y, std::uint32_t k) {
      return plain[(std::size_t{y} * W + x) * C + k];
    };
    std::vector<double> corner(C, 0);  // where the shading is deepest
    for (std::uint32_t k = 0; k < C; ++k) {
      EXPECT_EQ(at(10, 100, k), 255);
      EXPECT_LT(at(W / 3, H / 2, k), 128);
      EXPECT_LT(at(W / 2 + 5, H / 3 + 5, k), 128);
      for (std::uint32_t x = W - 60; x < W; ++x) corner[k] += at(x, H - 5, k) / 60.0;
      EXPECT_GE(corner[k], 230);
      EXPECT_NEAR(corner[k], corner[0], 2.0) << k;
    }
  }
}

// What the correction against the paper is for, on colour pages drawn to
// show it: paper shaded from a point, text, and the content of each row:
// run again over its own output it changes (next to) nothing, a clean page
// comes back as it was, a large pale fill inside the paper keeps its colour,
// text in a book's steep gutter shadow keeps nine tenths of its contrast,
// and a page with no paper at all is left as it is.
TEST(Paper, DoesNoHarm) {
  constexpr std::uint32_t W = 800, H = 1000;
  enum TContent { Text, Fill, Gutter, NoPaper };
  for (const TContent content : {Text, Fill, Gutter, NoPaper}) {
    for (const double depth : {0.0, 0.3, 1.5}) {  // the far corner's light: 1, 0.88, 0.39
      const bool shaded = depth > 0;
      SCOPED_TRACE(std::to_string(content) + " shaded " + std::to_string(depth));
      std::vector<std::uint8_t> clean(W * H * 3, 255), page(clean.size());
      for (std::uint32_t i = 0; i < W * H; ++i) {
        const std::uint32_t x = i % W, y = i / W;
        const bool ink = x % 9 < 2 && y % 30 < 14 && x > 60 && x < W - 60 && y > 60 && y < H - 60;
        const bool fill =
            (content == Fill && x > 150 && x < 650 && y > 200 && y < 800) || content == NoPaper;
        // Pale fills, cells of six colours where there is no paper, one
        // all but white (and kept so).
        const std::uint8_t fills[6][3] = {{250, 236, 170}, {215, 235, 200}, {245, 215, 215},
                                          {200, 220, 245}, {235, 225, 245}, {254, 253, 251}};
        const auto& colour = fills[content == Fill ? 0 : (x / 130 + 2 * (y / 150)) % 6];
        for (std::uint32_t c = 0; c < 3; ++c) {
          clean[i * 3 + c] = ink ? 40 : fill ? colour[c] : 255;
          const double d = (x - 300.0) * (x - 300.0) + (y - 400.0) * (y - 400.0);
          const double light = (1 - depth * d / 1.5e6) *
                               (content == Gutter ? 1 - 0.67 * std::exp(-double(x) / 60.0) : 1.0);
          page[i * 3 + c] =
              static_cast<std::uint8_t>(clean[i * 3 + c] * light * (shaded && c == 2 ? 0.85 : 1));
        }
      }
      const auto flatten = [&](const std::vector<std::uint8_t>& rgb, bool* little = nullptr) {
        TMyImage image = GreyImage(W, H, std::vector<std::uint8_t>(W * H));
        image.Photometric = 2;
        image.Rgb.assign(rgb.begin(), rgb.end());
        RgbToGray(image.Rgb.data(), image.Gray.data(), W * H);
        const TPaperField paper = FlattenAgainstPaper(image, 1);
        if (little != nullptr) *little = paper.LittlePaper;
        return std::vector<std::uint8_t>(image.Rgb.begin(), image.Rgb.end());
      };
      int most = 0;  // the largest change of the last `change`
      const auto change = [&](const std::vector<std::uint8_t>& a,
                              const std::vector<std::uint8_t>& b) {
        double sum = 0;
        most = 0;
        for (std::size_t k = 0; k < a.size(); ++k) {
          sum += std::abs(int(a[k]) - int(b[k]));
          most = std::max(most, std::abs(int(a[k]) - int(b[k])));
        }
        return sum / double(a.size());
      };
      bool little = false;
      const std::vector<std::uint8_t> once = flatten(page, &little), twice = flatten(once);
      EXPECT_EQ(little, content == NoPaper);
      EXPECT_LE(change(once, twice), 0.5);
      // A deep shade leaves some of itself where it is steepest, in the far
      // corner, which a second run takes off.
      if (depth < 1) {
        EXPECT_LE(most, 2) << "a second run moved a sample by " << most;
      }
      if (!shaded && content != Gutter) {
        EXPECT_LE(change(once, clean), 1.0);
      }
      if (content == NoPaper) {
        EXPECT_TRUE(once == page);
      }
      const auto at = [&](const std::vector<std::uint8_t>& rgb, std::uint32_t x, std::uint32_t y,
                          std::uint32_t c) { return int(rgb[(y * W + x) * 3 + c]); };
      if (content != NoPaper) {  // the paper in the far corner, however deep the shade
        EXPECT_GE(at(once, 780, 980, 1), depth < 1 ? 250 : 230);
      }
      if (content == Fill) {  // still yellow: blue well below red, in the middle and near the edge
        for (const std::uint32_t x : {400u, 160u})
          EXPECT_LT(at(once, x, 500, 2), at(once, x, 500, 0) - 50) << x;
      }
      if (content == Gutter &&
          depth < 1) {  // ink against paper at the steepest of the shadow, and in the open
        const int inShadow = at(once, 78, 64, 1) - at(once, 64, 64, 1),
                  open = at(once, 403, 64, 1) - at(once, 397, 64, 1);
        EXPECT_GE(inShadow * 10, open * 9) << inShadow << " against " << open;
      }
    }
  }
}

TEST(Report, SecondsAndBytesAsPeopleReadThem) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0.000"}, {16, "0.016"}, {12500, "12.500"}, {86400999, "86400.999"}};
  for (const auto& [ms, text] : cases) EXPECT_EQ(FormatSeconds(ms), text);
  const std::pair<std::uint64_t, const char*> sizes[] = {
      {950, "950 bytes"},     {1000, "1 kB"},
      {3140000000, "3.1 GB"}, {160000000, "160 MB"},
      {9990000, "9.9 MB"},    {10000000, "10 MB"},
      {99960000, "100 MB"},   {~std::uint64_t{0}, "18446744074 GB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(FormatBytes(bytes), text);
}

// A file's log line: its outcome from the last report line, each stage
// summed over its pages, names kept as UTF-8 where they are and each other
// byte as a lone surrogate, never a raw control character.
TEST(Report, ALogLineAProgramCanRead) {
  const std::vector<std::string> multi = {"read 0.010",
                                          "div 0.002",
                                          "total 0.012",
                                          "m.tif page 1 of 2",
                                          "m.tif page 2 of 2 copied",
                                          "read 0.005",
                                          "substract 0.001",
                                          "total 0.020",
                                          "m.tif"};
  const struct {
    std::string path;
    std::vector<std::string> lines;
    TRefusal why;
    const char* wanted;
  } cases[] = {
      {"m.tif",
       multi,
       {},
       R"({"path":"m.tif","outcome":"flattened","correction":"paper","output":"out/x",)"
       R"("refusal":null,"reason":null,"note":null,)"
       R"("stages":{"read":0.015,"div":0.002,"substract":0.001},"seconds":0.020})"},
      {"a\"b\\c\x01\xC3\xA9\xFF\xC0\x80\xED\xA0\x80\xF4\x90\x80\x80.tif",
       {"image x read error"},
       {TRefusalKind::Damaged, "damaged strip 3"},
       R"({"path":"a\"b\\c\u0001é\uDCFF\uDCC0\uDC80\uDCED\uDCA0\uDC80\uDCF4\uDC90\uDC80\uDC80.tif",)"
       R"("outcome":"read error","correction":"paper","output":"out/x","refusal":"damaged",)"
       R"("reason":"damaged strip 3","note":null,"stages":{},"seconds":null})"},
      {"read 0.500",
       {"read 0.010", "total 0.010", "read 0.500"},
       {},
       R"({"path":"read 0.500","outcome":"flattened","correction":"paper","output":"out/x",)"
       R"("refusal":null,"reason":null,"note":null,"stages":{"read":0.010},"seconds":0.010})"},
      {"\xF0\x9F\x93\x84 a-z.tif",
       {"image x skipped"},
       {},
       "{\"path\":\"\xF0\x9F\x93\x84 a-z.tif\","},
      {"s.tif", {"image s.tif skipped"}, {}, R"("outcome":"skipped")"},
      {"c.tif", {"image c.tif copied as it is"}, {}, R"("outcome":"copied")"},
      {"w.tif", {"read 0.001", "image w.tif write error"}, {}, R"("outcome":"write error")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TLogEntry entry{c.path, "paper", "out/x", c.why, "", c.lines};
    const std::string line = LogLine(entry);
    EXPECT_NE(line.find(c.wanted), std::string::npos) << line;
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
  }
}

// Every input the fuzzer kept, and every one that once failed, through the
// fuzz target, which traps where a promise breaks.
TEST(Fuzz, KeptInputsReplay) {
  std::size_t inputs = 0;
  for (const char* folder : {VALDRANE_FUZZ_DIR "/corpus", VALDRANE_FUZZ_DIR "/crashes"}) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
  }
  EXPECT_GT(inputs, 150u);
}
