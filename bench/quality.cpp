// quality: how close each correction comes to the page as it should be.
//
// Clean pages (two drawn A4 pages at 300 dpi, grey and colour, and the real
// scans given on the command line, their paper stretched to white) are
// degraded by known, separable fields: light falling off from a point off
// the centre (down to 0.62), a paper colour (a factor per channel), a dark
// scanner margin on the left and bottom sides (which the ideal output shows
// as white) and grain. The drawn pages have content at the edge: ruled lines
// running into the margin, a photograph at the top edge and a grey-scale
// target at the right edge. Each method corrects the degraded page and is
// measured against the clean one:
//   MAE, PSNR     over the page (every sample)
//   text MAE      over the text (the drawn pages' ink; a real scan's samples
//                 whose clean grey is below 128)
//   paper R/G/B   the paper's mean distance from white, per channel
//   edge kept     the share of the edge content's pixels within 24 levels
//                 of the clean page
//   ms/A4         the correction alone on the drawn A4 pages, one thread,
//                 the median of three
// Methods: valdrane's default correction and its -p correction, in
// process, and Leptonica's pixBackgroundNormSimple, pixBackgroundNormFlex
// (grey pages only; 7, 7, 1, 1, 10, as its documentation suggests) and
// pixCleanBackgroundToWhite (1.0, 70, 190), each with its documented
// defaults.
//
//   quality [REAL_SCAN...]    (any image Leptonica reads)
#include <leptonica/allheaders.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "correction.h"
#include "grey.h"
#include "image.h"

namespace {

// A page in memory: 8-bit samples, 1 or 3 per pixel, and what each pixel
// is: 0 paper, 1 text, 2 content at the edge, 3 other content, 4 margin
// (degraded pages only).
struct TPage {
  std::uint32_t Width = 0, Height = 0, Channels = 1;
  std::vector<std::uint8_t> Samples;
  std::vector<std::uint8_t> Kind;
};

std::uint32_t Random(std::uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

void Paint(TPage& page, std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1,
           const std::uint8_t (&colour)[3], std::uint8_t kind) {
  for (std::uint32_t y = y0; y < std::min(y1, page.Height); ++y) {
    for (std::uint32_t x = x0; x < std::min(x1, page.Width); ++x) {
      const std::size_t i = std::size_t{y} * page.Width + x;
      for (std::uint32_t c = 0; c < page.Channels; ++c)
        page.Samples[i * page.Channels + c] = page.Channels == 1 ? colour[1] : colour[c];
      page.Kind[i] = kind;
    }
  }
}

// A clean drawn page: white paper, lines of text, ruled lines from the left
// edge, a photograph at the top edge, a grey-scale target at the right
// edge, and on colour pages a red stamp.
TPage DrawnPage(std::uint32_t w, std::uint32_t h, bool colour) {
  TPage page{w, h, colour ? 3u : 1u, {}, {}};
  page.Samples.assign(std::size_t{w} * h * page.Channels, 255);
  page.Kind.assign(std::size_t{w} * h, 0);
  std::uint32_t state = colour ? 7 : 3;
  const std::uint32_t unit = w / 400;
  for (std::uint32_t line = h / 5; line + 8 * unit < h * 9 / 10; line += 14 * unit) {
    for (std::uint32_t x = w / 10; x + 8 * unit < w * 4 / 5; x += (3 + Random(state) % 5) * unit) {
      if (Random(state) % 9 == 0) x += 4 * unit;
      const bool tall = Random(state) % 3 == 0;
      const std::uint8_t v = static_cast<std::uint8_t>(25 + Random(state) % 40);
      const std::uint8_t ink[3] = {v, static_cast<std::uint8_t>(v + 5),
                                   static_cast<std::uint8_t>(v + 45)};
      Paint(page, x, line + (tall ? 0 : 3 * unit), x + (1 + Random(state) % 2) * unit,
            line + 8 * unit, ink, 1);
    }
  }
  const std::uint8_t rule[3] = {110, 120, 160};
  for (std::uint32_t y = h / 5 + 11 * unit; y < h * 9 / 10; y += 14 * unit)
    Paint(page, 0, y, w * 17 / 20, y + 3, rule, 2);
  // The photograph: smooth waves of light and dark.
  for (std::uint32_t y = 0; y < h / 8; ++y) {
    for (std::uint32_t x = w * 3 / 10; x < w * 7 / 10; ++x) {
      const double v =
          120 + 60 * std::sin(x * 0.013) * std::cos(y * 0.021) + 30 * std::sin((x + y) * 0.004);
      const std::uint8_t shade[3] = {static_cast<std::uint8_t>(v),
                                     static_cast<std::uint8_t>(v * 0.9),
                                     static_cast<std::uint8_t>(v * 0.75)};
      Paint(page, x, y, x + 1, y + 1, shade, 2);
    }
  }
  for (std::uint32_t k = 0; k < 10; ++k) {
    const auto v = static_cast<std::uint8_t>(k * 28);
    const std::uint8_t patch[3] = {v, v, v};
    Paint(page, w - w / 20, h * 3 / 10 + k * h / 25, w, h * 3 / 10 + (k + 1) * h / 25, patch, 2);
  }
  if (colour) {
    const std::uint8_t red[3] = {200, 40, 50};
    const std::uint32_t x0 = w / 2, y0 = h * 7 / 10, s = w / 100;
    Paint(page, x0, y0, x0 + w / 5, y0 + s, red, 3);
    Paint(page, x0, y0 + h / 12, x0 + w / 5, y0 + h / 12 + s, red, 3);
    Paint(page, x0, y0, x0 + s, y0 + h / 12, red, 3);
    Paint(page, x0 + w / 5 - s, y0, x0 + w / 5, y0 + h / 12 + s, red, 3);
  }
  return page;
}

// A real scan as a clean page: each channel stretched so that its paper
// (the level 90% of the samples are at or below) is white.
bool RealPage(const char* path, TPage& page) {
  PIX* pix = pixRead(path);
  if (pix == nullptr) return false;
  PIX* rgb = pixConvertTo32(pix);
  const bool colour = pixGetDepth(pix) == 32;
  page.Width = static_cast<std::uint32_t>(pixGetWidth(rgb));
  page.Height = static_cast<std::uint32_t>(pixGetHeight(rgb));
  page.Channels = colour ? 3 : 1;
  page.Samples.resize(std::size_t{page.Width} * page.Height * page.Channels);
  page.Kind.assign(std::size_t{page.Width} * page.Height, 0);
  for (std::uint32_t y = 0; y < page.Height; ++y) {
    for (std::uint32_t x = 0; x < page.Width; ++x) {
      l_int32 r, g, b;
      pixGetRGBPixel(rgb, static_cast<l_int32>(x), static_cast<l_int32>(y), &r, &g, &b);
      const std::size_t i = std::size_t{y} * page.Width + x;
      const l_int32 rgbOf[3] = {r, g, b};
      for (std::uint32_t c = 0; c < page.Channels; ++c)
        page.Samples[i * page.Channels + c] = static_cast<std::uint8_t>(colour ? rgbOf[c] : g);
    }
  }
  pixDestroy(&rgb);
  pixDestroy(&pix);
  for (std::uint32_t c = 0; c < page.Channels; ++c) {
    std::vector<std::uint32_t> histogram(256, 0);
    for (std::size_t i = c; i < page.Samples.size(); i += page.Channels)
      ++histogram[page.Samples[i]];
    std::uint32_t paper = 0;
    for (std::uint64_t seen = 0;
         paper < 255 && (seen + histogram[paper]) * 10 < std::uint64_t{page.Kind.size()} * 9;)
      seen += histogram[paper++];
    for (std::size_t i = c; i < page.Samples.size(); i += page.Channels)
      page.Samples[i] =
          static_cast<std::uint8_t>(std::min(255u, page.Samples[i] * 255u / std::max(1u, paper)));
  }
  for (std::size_t i = 0; i < page.Kind.size(); ++i) {
    std::uint32_t sum = 0;
    for (std::uint32_t c = 0; c < page.Channels; ++c) sum += page.Samples[i * page.Channels + c];
    const std::uint32_t grey = sum / page.Channels;
    page.Kind[i] = grey < 128 ? 1 : grey < 250 ? 3 : 0;
  }
  return true;
}

// The scan of a clean page: light falling off, paper colour, grain, and the
// margin on the left and bottom sides. The clean page, as the ideal, gets
// white where the margin is.
TPage Degrade(TPage& clean) {
  TPage page = clean;
  const double factor[3] = {0.95, 0.88, 0.72};
  const double cx = clean.Width * 0.42, cy = clean.Height * 0.45;
  const double reach = std::hypot(clean.Width, clean.Height) * 0.6;
  std::uint32_t state = 12345;
  const std::uint32_t marginX = clean.Width / 25, marginY = clean.Height - clean.Height / 40;
  for (std::uint32_t y = 0; y < clean.Height; ++y) {
    for (std::uint32_t x = 0; x < clean.Width; ++x) {
      const std::size_t i = std::size_t{y} * clean.Width + x;
      const double d = std::hypot(x - cx, y - cy) / reach;
      const double light = 1 - 0.38 * d * d;
      const bool margin = x < marginX || y >= marginY;
      for (std::uint32_t c = 0; c < clean.Channels; ++c) {
        const int grain = static_cast<int>(Random(state) % 7) - 3;
        const double f = clean.Channels == 1 ? 0.86 : factor[c];
        const double v =
            margin ? 34 + grain * 2 : clean.Samples[i * clean.Channels + c] * light * f + grain;
        page.Samples[i * clean.Channels + c] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
        if (margin) clean.Samples[i * clean.Channels + c] = 255;
      }
      if (margin) clean.Kind[i] = page.Kind[i] = 4;
    }
  }
  return page;
}

TMyImage ToImage(const TPage& page) {
  TMyImage image;
  image.Width = page.Width;
  image.Height = page.Height;
  image.BitsPerSample = 8;
  image.SamplesPerPixel = page.Channels;
  image.Photometric = page.Channels == 3 ? 2 : 1;
  image.StripCount = 1;
  image.RowsPerStrip = page.Height;
  const std::uint32_t n = page.Width * page.Height;
  image.Gray.resize(n);
  if (page.Channels == 3) {
    image.Rgb.assign(page.Samples.begin(), page.Samples.end());
    RgbToGray(image.Rgb.data(), image.Gray.data(), n);
  } else {
    std::copy(page.Samples.begin(), page.Samples.end(), image.Gray.begin());
  }
  return image;
}

TPage FromImage(const TMyImage& image, const TPage& like) {
  TPage page = like;
  if (like.Channels == 3)
    std::copy(image.Rgb.begin(), image.Rgb.end(), page.Samples.begin());
  else
    std::copy(image.Gray.begin(), image.Gray.begin() + page.Width * page.Height,
              page.Samples.begin());
  return page;
}

PIX* ToPix(const TPage& page) {
  PIX* pix = pixCreate(static_cast<l_int32>(page.Width), static_cast<l_int32>(page.Height),
                       page.Channels == 3 ? 32 : 8);
  for (std::uint32_t y = 0; y < page.Height; ++y) {
    l_uint32* line = pixGetData(pix) + y * static_cast<std::uint32_t>(pixGetWpl(pix));
    for (std::uint32_t x = 0; x < page.Width; ++x) {
      const std::uint8_t* s = &page.Samples[(std::size_t{y} * page.Width + x) * page.Channels];
      if (page.Channels == 3) {
        composeRGBPixel(s[0], s[1], s[2], line + x);
      } else {
        SET_DATA_BYTE(line, x, s[0]);
      }
    }
  }
  return pix;
}

TPage FromPix(PIX* pix, const TPage& like) {
  TPage page = like;
  for (std::uint32_t y = 0; y < page.Height; ++y) {
    const l_uint32* line = pixGetData(pix) + y * static_cast<std::uint32_t>(pixGetWpl(pix));
    for (std::uint32_t x = 0; x < page.Width; ++x) {
      std::uint8_t* s = &page.Samples[(std::size_t{y} * page.Width + x) * page.Channels];
      if (page.Channels == 3) {
        l_int32 r, g, b;
        extractRGBValues(line[x], &r, &g, &b);
        s[0] = static_cast<std::uint8_t>(r);
        s[1] = static_cast<std::uint8_t>(g);
        s[2] = static_cast<std::uint8_t>(b);
      } else {
        s[0] = static_cast<std::uint8_t>(GET_DATA_BYTE(line, x));
      }
    }
  }
  pixDestroy(&pix);
  return page;
}

// A method: the corrected page, or an empty one where it does not apply.
using TMethod = std::function<TPage(const TPage&)>;

TPage DefaultCorrection(const TPage& scan) {
  TMyImage page = ToImage(scan);
  FlattenPage(page);
  return FromImage(page, scan);
}

TPage PaperCorrection(const TPage& scan) {
  TMyImage page = ToImage(scan);
  FlattenAgainstPaper(page);
  return FromImage(page, scan);
}

TPage LeptonicaNorm(const TPage& scan) {
  PIX* pix = ToPix(scan);
  PIX* out = pixBackgroundNormSimple(pix, nullptr, nullptr);
  pixDestroy(&pix);
  return out != nullptr ? FromPix(out, scan) : TPage{};
}

TPage LeptonicaFlex(const TPage& scan) {
  if (scan.Channels != 1) return TPage{};
  PIX* pix = ToPix(scan);
  PIX* out = pixBackgroundNormFlex(pix, 7, 7, 1, 1, 10);
  pixDestroy(&pix);
  return out != nullptr ? FromPix(out, scan) : TPage{};
}

TPage LeptonicaWhite(const TPage& scan) {
  PIX* pix = ToPix(scan);
  PIX* out = pixCleanBackgroundToWhite(pix, nullptr, nullptr, 1.0f, 70, 190);
  pixDestroy(&pix);
  return out != nullptr ? FromPix(out, scan) : TPage{};
}

// Sums over the pages a method applies to.
struct TScore {
  double Error = 0, Squares = 0, Samples = 0;
  double TextError = 0, TextSamples = 0;
  double Paper[3] = {}, PaperPixels[3] = {};
  double EdgeKept = 0, EdgePixels = 0;
  std::vector<double> Milliseconds;
  int Pages = 0;
};

void Measure(const TPage& out, const TPage& clean, TScore& score) {
  ++score.Pages;
  for (std::size_t i = 0; i < clean.Kind.size(); ++i) {
    std::int32_t worst = 0;
    for (std::uint32_t c = 0; c < clean.Channels; ++c) {
      const std::size_t k = i * clean.Channels + c;
      const std::int32_t e = std::abs(int(out.Samples[k]) - int(clean.Samples[k]));
      worst = std::max(worst, e);
      score.Error += e;
      score.Squares += double(e) * e;
      score.Samples += 1;
      if (clean.Kind[i] == 1) {
        score.TextError += e;
        score.TextSamples += 1;
      }
      // Paper: a grey page's distance counts on all three channels.
      if (clean.Kind[i] == 0) {
        for (std::uint32_t d = 0; d < 3; ++d) {
          if (clean.Channels == 1 || d == c) {
            score.Paper[d] += 255 - out.Samples[k];
            score.PaperPixels[d] += 1;
          }
        }
      }
    }
    if (clean.Kind[i] == 2) {
      score.EdgeKept += worst <= 24;
      score.EdgePixels += 1;
    }
  }
}

double Ms(const std::function<void()>& work) {
  std::vector<double> runs;
  for (int k = 0; k < 3; ++k) {
    const auto start = std::chrono::steady_clock::now();
    work();
    runs.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(runs.begin(), runs.end());
  return runs[1];
}

}  // namespace

int main(int argc, char** argv) {
  setMsgSeverity(L_SEVERITY_NONE);  // Leptonica's own notes on what it skips
  struct TTest {
    std::string Name;
    TPage Clean, Scan;
    bool A4;
  };
  std::vector<TTest> tests;
  for (const bool colour : {false, true}) {
    TPage clean = DrawnPage(2480, 3508, colour);
    TPage scan = Degrade(clean);
    tests.push_back({colour ? "drawn colour A4" : "drawn grey A4", clean, scan, true});
  }
  for (int k = 1; k < argc; ++k) {
    TPage clean;
    if (!RealPage(argv[k], clean)) {
      std::fprintf(stderr, "quality: cannot read %s\n", argv[k]);
      return 1;
    }
    TPage scan = Degrade(clean);
    const char* slash = std::strrchr(argv[k], '/');
    tests.push_back({slash != nullptr ? slash + 1 : argv[k], clean, scan, false});
  }
  const std::vector<std::pair<const char*, TMethod>> methods = {
      {"valdrane (default)", DefaultCorrection},
      {"valdrane -p", PaperCorrection},
      {"Leptonica BackgroundNormSimple", LeptonicaNorm},
      {"Leptonica BackgroundNormFlex", LeptonicaFlex},
      {"Leptonica CleanBackgroundToWhite", LeptonicaWhite},
  };
  std::printf("pages:");
  for (const TTest& test : tests)
    std::printf(" %s (%ux%u);", test.Name.c_str(), test.Clean.Width, test.Clean.Height);
  std::printf("\n\n");
  std::printf(
      "| method | pages | MAE | PSNR dB | text MAE | paper R/G/B off white | edge kept | ms/A4 "
      "|\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const auto& [name, method] : methods) {
    TScore score;
    for (const TTest& test : tests) {
      TPage out = method(test.Scan);
      if (out.Samples.empty()) continue;
      Measure(out, test.Clean, score);
      if (test.A4) score.Milliseconds.push_back(Ms([&] { method(test.Scan); }));
    }
    if (score.Pages == 0) continue;
    const double mse = score.Squares / score.Samples;
    double ms = 0;
    for (const double m : score.Milliseconds) ms += m / double(score.Milliseconds.size());
    std::printf("| %s | %d | %.2f | %.2f | %.2f | %.1f/%.1f/%.1f | %.1f%% | %.0f |\n", name,
                score.Pages, score.Error / score.Samples,
                10 * std::log10(255.0 * 255.0 / std::max(mse, 1e-9)),
                score.TextError / std::max(1.0, score.TextSamples),
                score.Paper[0] / std::max(1.0, score.PaperPixels[0]),
                score.Paper[1] / std::max(1.0, score.PaperPixels[1]),
                score.Paper[2] / std::max(1.0, score.PaperPixels[2]),
                100 * score.EdgeKept / std::max(1.0, score.EdgePixels), ms);
  }
  return 0;
}
