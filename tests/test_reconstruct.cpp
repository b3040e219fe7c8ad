#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "grey_image.h"
#include "reconstruct.h"
#include "reconstruct_kernels.h"
#include "reference_pipeline.h"

namespace {

TMyImage Grey(std::uint32_t width, std::uint32_t height, std::uint8_t value) {
  return GreyImage(width, height, std::vector<std::uint8_t>(width * height, value));
}

void Set(TMyImage& image, std::uint32_t x, std::uint32_t y, std::uint8_t value) {
  image.Gray[y * image.Width + x] = value;
}

struct TResult {
  std::vector<std::uint8_t> marker;
  std::vector<std::uint32_t> counts;
};

TResult Reconstruct(const TMyImage& mask) {
  TMyImage marker = MakeBorderSeed(mask);
  std::uint32_t counts[PassLimit] = {};
  const std::uint32_t passes = ReconstructBackground(mask, marker, counts);
  return {Bytes(marker.Gray), std::vector<std::uint32_t>(counts, counts + passes)};
}

TResult ReconstructWith(TRowKernel kernel, const TMyImage& mask) {
  TMyImage marker = MakeBorderSeed(mask);
  std::uint32_t counts[PassLimit] = {};
  const std::uint32_t passes = ReconstructBackgroundWith(kernel, mask, marker, counts);
  return {Bytes(marker.Gray), std::vector<std::uint32_t>(counts, counts + passes)};
}

}  // namespace

TEST(MakeBorderSeed, CopiesTheFrameAndWhitensTheInside) {
  TMyImage source = Grey(4, 3, 0);
  for (std::uint32_t i = 0; i < 12; ++i) source.Gray[i] = static_cast<std::uint8_t>(i + 1);
  source.Rgb.assign(36, 1);
  TMyImage seed = MakeBorderSeed(source);
  EXPECT_EQ(seed.Gray, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 255, 255, 8, 9, 10, 11, 12}));
  EXPECT_TRUE(seed.Rgb.empty());
  EXPECT_EQ(seed.Width, 4u);

  // Images of one or two rows or columns are all frame.
  for (auto [w, h] : {std::pair{1u, 5u}, {5u, 1u}, {2u, 4u}, {4u, 2u}}) {
    TMyImage thin = Grey(w, h, 7);
    EXPECT_EQ(MakeBorderSeed(thin).Gray, thin.Gray);
  }
  EXPECT_TRUE(MakeBorderSeed(Grey(3, 0, 0)).Gray.empty());
}

TEST(ReconstructBackground, SmallCases) {
  struct Case {
    const char* name;
    TMyImage mask;
    std::vector<std::uint32_t> counts;
    std::vector<std::uint8_t> marker;  // empty: equal to the filled-in mask value
    std::uint8_t fill;
  };
  std::vector<Case> cases;
  cases.push_back({"uniform", Grey(7, 5, 90), {0}, {}, 90});

  TMyImage pit = Grey(5, 5, 200);
  Set(pit, 2, 2, 0);
  cases.push_back({"one dark pixel", pit, {2, 2}, {}, 200});

  TMyImage block = Grey(6, 6, 180);
  for (std::uint32_t y = 2; y < 4; ++y) {
    for (std::uint32_t x = 2; x < 4; ++x) Set(block, x, y, 40);
  }
  cases.push_back({"dark block", block, {8, 8}, {}, 180});

  TMyImage margin = Grey(6, 4, 200);
  for (std::uint32_t y = 0; y < 4; ++y) Set(margin, 0, y, 0), Set(margin, 1, y, 0);
  cases.push_back({"margin on the frame", margin, {0}, Bytes(margin.Gray), 0});

  TMyImage ring = Grey(9, 9, 200);
  for (std::uint32_t i = 2; i <= 6; ++i) {
    Set(ring, i, 2, 10), Set(ring, i, 6, 10), Set(ring, 2, i, 10), Set(ring, 6, i, 10);
  }
  cases.push_back({"closed ring", ring, {}, {}, 200});

  for (auto [w, h] : {std::pair{1u, 6u}, {6u, 1u}, {2u, 5u}, {5u, 2u}}) {
    TMyImage thin = Grey(w, h, 0);
    for (std::uint32_t i = 0; i < w * h; ++i) thin.Gray[i] = static_cast<std::uint8_t>(i * 31);
    cases.push_back({"all frame", thin, {0}, Bytes(thin.Gray), 0});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TResult result = Reconstruct(c.mask);
    if (!c.counts.empty()) {
      EXPECT_EQ(result.counts, c.counts);
    }
    const std::vector<std::uint8_t> expected =
        c.marker.empty() ? std::vector<std::uint8_t>(c.mask.Gray.size(), c.fill) : c.marker;
    EXPECT_EQ(result.marker, expected);
  }
}

// A channel of 0 from the left frame that climbs in 11 steps of four pixels
// right and three up drains one step per pass, so ten passes leave its end
// above the mask.
TEST(ReconstructBackground, StopsAfterTenPassesOnALongChannel) {
  TMyImage mask = Grey(50, 40, 200);
  std::uint32_t x = 0, y = 37;
  Set(mask, x, y, 0);
  for (int step = 0; step < 11; ++step) {
    for (int i = 0; i < 4; ++i) Set(mask, ++x, y, 0);
    for (int i = 0; i < 3; ++i) Set(mask, x, --y, 0);
  }
  const TResult result = Reconstruct(mask);
  EXPECT_EQ(result.counts,
            (std::vector<std::uint32_t>{142, 128, 114, 100, 86, 72, 58, 44, 30, 16}));
  std::uint32_t above = 0;
  for (std::size_t i = 0; i < mask.Gray.size(); ++i) above += result.marker[i] > mask.Gray[i];
  EXPECT_EQ(above, 6u);
}

// The sweep must give the same marker and counts as the plain sweep over
// every pixel, one pixel at a time: on noise, specks on paper, plateaus
// full of ties, serpentine channels that need more than ten passes, frames
// of one or two pixels, rows long and short against the 16-pixel blocks,
// and rows longer than 255 blocks of either kernel.
TEST(ReconstructBackground, MatchesThePlainSweepOnRandomImages) {
  std::mt19937 engine(12345);
  auto generator = [&engine] { return static_cast<std::uint32_t>(engine()); };
  int stoppedByTheLimit = 0;
  int kernelsRun[2] = {0, 0};
  for (int trial = 0; trial < 1000; ++trial) {
    const bool longRows = trial >= 990;
    const std::uint32_t reach = trial < 300 ? 40 : 200;
    const std::uint32_t w = longRows ? 8200 + generator() % 1000 : 1 + generator() % reach;
    const std::uint32_t h = 1 + generator() % (longRows ? 6 : reach);
    TMyImage mask = Grey(w, h, 0);
    const int style = trial % 5;
    for (std::uint32_t i = 0; i < w * h; ++i) {
      const std::uint32_t r = generator();
      const std::uint32_t x = i % w, y = i / w;
      std::uint8_t v;
      switch (style) {
        case 0:  // noise
          v = static_cast<std::uint8_t>(r >> 24);
          break;
        case 1:  // sparse dark specks on paper
          v = static_cast<std::uint8_t>(r % 10 == 0 ? r % 60 : 200 + r % 3);
          break;
        case 2:  // a few levels: plateaus and ties
          v = static_cast<std::uint8_t>((r % 4) * 60);
          break;
        case 3:  // walls every other row, each with one gap: a serpentine channel
          v = y % 2 == 1 && x != (y % 4 == 1 ? w - 2 : 1) ? 250 : static_cast<std::uint8_t>(r % 3);
          break;
        default:  // ties between neighbours and the mask near 255
          v = static_cast<std::uint8_t>(253 + r % 3);
      }
      mask.Gray[i] = v;
    }
    std::vector<std::uint8_t> plainMarker = Bytes(MakeBorderSeed(mask).Gray);
    const std::vector<std::uint32_t> plainCounts =
        PlainReconstruct(Bytes(mask.Gray), plainMarker, mask.Width, mask.Height);
    for (const TRowKernel kernel : {TRowKernel::Sse2, TRowKernel::Avx2}) {
      if (!ProcessorRuns(kernel)) continue;
      const TResult result = ReconstructWith(kernel, mask);
      const int wide = kernel == TRowKernel::Avx2;
      ASSERT_EQ(result.counts, plainCounts)
          << w << "x" << h << " trial " << trial << " avx2 " << wide;
      ASSERT_EQ(result.marker, plainMarker)
          << w << "x" << h << " trial " << trial << " avx2 " << wide;
      stoppedByTheLimit += result.counts.size() == PassLimit && !wide ? 1 : 0;
      ++kernelsRun[wide];
    }
  }
  EXPECT_GT(stoppedByTheLimit, 50);
  EXPECT_EQ(kernelsRun[0], 1000);
  if (ProcessorRuns(TRowKernel::Avx2)) {
    EXPECT_EQ(kernelsRun[1], 1000);
  } else {
    std::printf("this processor has no AVX2: only the SSE2 kernel was checked\n");
  }
}
