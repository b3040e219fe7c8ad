#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "flatten.h"
#include "grey_image.h"

namespace {

TMyImage Row(std::vector<std::uint8_t> pixels) {
  const auto width = static_cast<std::uint32_t>(pixels.size());
  return GreyImage(width, 1, std::move(pixels));
}

}  // namespace

TEST(DivideByBackground, FollowsTheThreeRules) {
  struct Case {
    std::uint8_t background, page, result;
  };
  const Case cases[] = {
      {29, 0, 255},    {29, 200, 255},  // dark background: white outright
      {30, 15, 127},   {30, 29, 246},   {30, 0, 0},      {30, 30, 255},   {200, 100, 127},
      {200, 199, 253}, {200, 200, 255}, {200, 201, 255}, {255, 128, 128}, {255, 0, 0},
      {255, 254, 254}, {255, 255, 255}, {0, 0, 255},     {1, 0, 255},
  };
  std::vector<std::uint8_t> backgrounds, pages, results;
  for (const Case& c : cases) {
    backgrounds.push_back(c.background);
    pages.push_back(c.page);
    results.push_back(c.result);
  }
  TMyImage page = Row(pages);
  const TMyImage background = Row(backgrounds);
  DivideByBackground(page, background);
  EXPECT_EQ(page.Gray, results);
  EXPECT_EQ(background.Gray, backgrounds);
}

TEST(DivideByBackground, TouchesOnlyThePixels) {
  TMyImage page = Row({100, 100});
  page.Width = 1;  // one pixel; the second byte is slack
  DivideByBackground(page, Row({200, 200}));
  EXPECT_EQ(page.Gray, (std::vector<std::uint8_t>{127, 100}));
}

TEST(SubtractImage, LeavesTheGainOfTheDivision) {
  // 100 on 200 turns 127 (gain 27); 10 on 20 turns 255 (gain 245).
  TMyImage page = Row({100, 10, 0});
  const TMyImage saved = CopyImage(page);
  DivideByBackground(page, Row({200, 20, 255}));
  SubtractImage(page, saved);
  EXPECT_EQ(page.Gray, (std::vector<std::uint8_t>{27, 245, 0}));
}

TEST(SubtractImage, WrapsModulo256) {
  TMyImage page = Row({5});
  SubtractImage(page, Row({10}));
  EXPECT_EQ(page.Gray[0], 251);
}

TEST(AddGainToRgb, AddsTheGainToEachChannelAndSaturates) {
  TMyImage page = Row({70, 245, 0});
  page.Rgb = {250, 100, 10, 5, 10, 20, 1, 2, 3};
  AddGainToRgb(page);
  EXPECT_EQ(page.Rgb, (std::vector<std::uint8_t>{255, 170, 80, 250, 255, 255, 1, 2, 3}));
  EXPECT_EQ(page.Gray, (std::vector<std::uint8_t>{70, 245, 0}));
}

// Every pair of pixel and background value, in a row whose length is not a
// multiple of the 16-pixel blocks, against the rule written out.
TEST(DivideByBackground, EveryPairOfValues) {
  std::vector<std::uint8_t> pages, backgrounds;
  for (unsigned i = 0; i < 65536 + 7; ++i) {
    pages.push_back(static_cast<std::uint8_t>(i % 256));
    backgrounds.push_back(static_cast<std::uint8_t>((i / 256) % 256));
  }
  TMyImage page = Row(pages);
  DivideByBackground(page, Row(backgrounds));
  std::uint32_t mismatches = 0;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const unsigned p = pages[i], b = backgrounds[i];
    const unsigned want = b < DarkThreshold || p >= b ? 255 : p * 255 / b;
    if (page.Gray[i] != want && ++mismatches <= 5) {
      ADD_FAILURE() << "page " << p << " background " << b << ": " << int(page.Gray[i]);
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

// Every pair of sample and gain, in each of the three channels, in a row
// whose length is not a multiple of the 16-pixel blocks.
TEST(AddGainToRgb, EveryPairOfValues) {
  std::vector<std::uint8_t> gains, samples;
  for (unsigned i = 0; i < 65536 + 5; ++i) {
    gains.push_back(static_cast<std::uint8_t>(i / 256 + 37 * i));  // neighbours differ
    for (unsigned c = 0; c < 3; ++c) samples.push_back(static_cast<std::uint8_t>(i + 85 * c));
  }
  TMyImage page = Row(gains);
  page.Rgb.assign(samples.begin(), samples.end());
  AddGainToRgb(page);
  std::uint32_t mismatches = 0;
  for (std::size_t s = 0; s < samples.size(); ++s) {
    const unsigned want = std::min(255u, unsigned{samples[s]} + gains[s / 3]);
    if (page.Rgb[s] != want && ++mismatches <= 5) {
      ADD_FAILURE() << "sample " << int(samples[s]) << " gain " << int(gains[s / 3]) << ": "
                    << int(page.Rgb[s]);
    }
  }
  EXPECT_EQ(mismatches, 0u);
}
