// quality: how close each correction comes to the page as it should be,
// and whether it ever does harm.
//
// Clean pages: drawn ones at 300 dpi (a grey and a colour text page with
// content at the edge: ruled lines into the margin, a photograph at the top
// edge, a grey-scale target at the right edge; a map of pale fills in a
// figure with paper around it; a watercolour plate with a pale sky; a map to
// the edges, with no paper at all; a page of colour figures; grey pencil
// and a pale grey wash), and the real scans given on the command line,
// their paper stretched to white. The last drawn map and the real scans are
// held out: the correction was not tuned on them.
//
// Each page is degraded in each of these ways, by known fields:
//   shading   light falling off from a point off the centre (down to 0.62),
//             a paper colour, a dark scanner margin on the left and bottom
//             (white in the ideal output), grain
//   gutter    a book's shadow along the left side, down to a third of the
//             light at the edge, steep across and constant along, and grain
//   flare     stray light: everything lifted by a constant, less contrast
//   yellowed  old paper: yellow, with a texture and the back page showing
//             through, and grain
//   JPEG      shading, then JPEG at quality 75
// and each method corrects each case, measured against the clean page:
//   MAE       the mean absolute error over every sample; the table gives its
//             median over the cases and its mean per degradation
//   harm      the cases where the output is further from the clean page
//             than the degraded input was
//   content   the MAE over the content that is neither text nor paper
//             (fills, washes, pictures)
//   grey cast the tint of what is neutral on the clean colour pages: how
//             far red and blue lie from green on average over those samples
//             (the sum of the two distances; grain averages out)
//   again     for valdrane's corrections: the mean and largest change of a
//             second run over the first run's output, and the mean change of
//             a run over the clean pages themselves
//   ms/A4     the correction alone on the drawn A4 text pages, one thread,
//             the median of three
// Methods: valdrane's default correction and its -p correction, in
// process, and Leptonica's pixBackgroundNormSimple, pixBackgroundNormFlex
// (grey pages only; 7, 7, 1, 1, 10, as its documentation suggests) and
// pixCleanBackgroundToWhite (1.0, 70, 190), each with its documented
// defaults.
//
//   quality [REAL_SCAN...]    (any image Leptonica reads)
#include <leptonica/allheaders.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

PIX* ToPix(const TPage& page);
TPage FromPix(PIX* pix, const TPage& like);

// Cells of colour, as on a political map: each pixel takes the fill of the
// nearest of `count` seeds, with a dark border where two cells meet, over
// the box (x0, y0) - (x1, y1).
void PaintCells(TPage& page, std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1,
                const std::vector<std::array<std::uint8_t, 3>>& fills, std::uint32_t count,
                std::uint32_t seed) {
  std::vector<std::pair<double, double>> seeds;
  for (std::uint32_t k = 0; k < count; ++k) {
    seeds.emplace_back(x0 + Random(seed) % (x1 - x0), y0 + Random(seed) % (y1 - y0));
  }
  for (std::uint32_t y = y0; y < y1; ++y) {
    for (std::uint32_t x = x0; x < x1; ++x) {
      double best = 1e18, second = 1e18;
      std::uint32_t cell = 0;
      for (std::uint32_t k = 0; k < count; ++k) {
        const double d = std::hypot(x - seeds[k].first, y - seeds[k].second);
        if (d < best)
          second = best, best = d, cell = k;
        else if (d < second)
          second = d;
      }
      const bool border = second - best < 3;
      const std::array<std::uint8_t, 3> ink = {60, 50, 45};
      const auto& colour = border ? ink : fills[cell % fills.size()];
      const std::uint8_t c[3] = {colour[0], colour[1], colour[2]};
      Paint(page, x, y, x + 1, y + 1, c, border ? 1 : 3);
    }
  }
}

// Text lines over a band of rows, as DrawnPage draws them.
void PaintText(TPage& page, std::uint32_t x0, std::uint32_t x1, std::uint32_t y0, std::uint32_t y1,
               std::uint32_t seed) {
  const std::uint32_t unit = page.Width / 400;
  for (std::uint32_t line = y0; line + 8 * unit < y1; line += 14 * unit) {
    for (std::uint32_t x = x0; x + 8 * unit < x1; x += (3 + Random(seed) % 5) * unit) {
      if (Random(seed) % 9 == 0) x += 4 * unit;
      const bool tall = Random(seed) % 3 == 0;
      const auto v = static_cast<std::uint8_t>(25 + Random(seed) % 40);
      const std::uint8_t ink[3] = {v, v, v};
      Paint(page, x, line + (tall ? 0 : 3 * unit), x + (1 + Random(seed) % 2) * unit,
            line + 8 * unit, ink, 1);
    }
  }
}

// The other drawn pages: `kind` 0 a map of pale fills in a figure, 1 a
// watercolour plate, 2 a map to the edges, 3 colour figures, 4 grey pencil
// and a pale grey wash, 5 another map of pale fills (held out).
TPage KindPage(std::uint32_t w, std::uint32_t h, int kind) {
  TPage page{w, h, 3, {}, {}};
  page.Samples.assign(std::size_t{w} * h * 3, 255);
  page.Kind.assign(std::size_t{w} * h, 0);
  const std::vector<std::array<std::uint8_t, 3>> pale = {
      {250, 240, 170}, {215, 235, 200}, {245, 215, 215}, {200, 220, 245}, {235, 225, 245}};
  const std::vector<std::array<std::uint8_t, 3>> other = {
      {255, 245, 200}, {225, 240, 225}, {250, 225, 205}, {215, 230, 240}};
  switch (kind) {
    case 0:
    case 5:
      PaintText(page, w / 10, w * 9 / 10, h / 20, h / 5, 11u + kind);
      PaintCells(page, w / 10, h / 4, w * 9 / 10, h * 3 / 4, kind == 0 ? pale : other, 14,
                 5u + kind);
      PaintText(page, w / 10, w * 9 / 10, h * 4 / 5, h * 19 / 20, 13u + kind);
      break;
    case 1:  // the sky from pale blue to near white at the horizon, then land
      for (std::uint32_t y = h / 12; y < h * 11 / 12; ++y) {
        for (std::uint32_t x = w / 12; x < w * 11 / 12; ++x) {
          const double t = double(y - h / 12) / (h * 5 / 6);
          const double wave = 6 * std::sin(x * 0.004 + y * 0.003);
          std::uint8_t c[3];
          if (t < 0.55) {
            const double s = t / 0.55;
            c[0] = static_cast<std::uint8_t>(190 + 50 * s + wave);
            c[1] = static_cast<std::uint8_t>(210 + 32 * s + wave);
            c[2] = static_cast<std::uint8_t>(238 + 2 * s + wave);
          } else {
            const double s = (t - 0.55) / 0.45;
            c[0] = static_cast<std::uint8_t>(150 - 60 * s + 2 * wave);
            c[1] = static_cast<std::uint8_t>(170 - 50 * s + 2 * wave);
            c[2] = static_cast<std::uint8_t>(110 - 40 * s + 2 * wave);
          }
          Paint(page, x, y, x + 1, y + 1, c, 3);
        }
      }
      break;
    case 2:
      PaintCells(page, 0, 0, w, h, pale, 20, 9);
      break;
    case 3: {
      PaintText(page, w / 10, w * 9 / 10, h / 20, h / 4, 17);
      const std::uint8_t bars[4][3] = {
          {170, 200, 235}, {245, 200, 160}, {190, 225, 180}, {235, 235, 190}};
      for (std::uint32_t k = 0; k < 4; ++k) {
        const std::uint32_t x = w / 8 + k * w / 6, top = h * 3 / 10 + k * h / 30;
        Paint(page, x, top, x + w / 9, h / 2, bars[k], 3);
      }
      for (std::uint32_t y = h * 11 / 20; y < h * 4 / 5; ++y) {
        for (std::uint32_t x = w / 5; x < w * 4 / 5; ++x) {
          const double v = 170 + 50 * std::sin(x * 0.006) * std::cos(y * 0.008);
          const std::uint8_t c[3] = {static_cast<std::uint8_t>(v),
                                     static_cast<std::uint8_t>(v * 0.95),
                                     static_cast<std::uint8_t>(v * 0.85)};
          Paint(page, x, y, x + 1, y + 1, c, 3);
        }
      }
      PaintText(page, w / 10, w * 9 / 10, h * 33 / 40, h * 19 / 20, 19);
      break;
    }
    default: {  // grey pencil strokes and a pale grey wash
      PaintText(page, w / 10, w * 9 / 10, h / 20, h / 4, 23);
      const std::uint8_t wash[3] = {205, 205, 205}, pencil[3] = {128, 128, 128};
      Paint(page, w / 6, h * 3 / 10, w * 5 / 6, h * 6 / 10, wash, 3);
      for (std::uint32_t k = 0; k < 40; ++k) {
        const std::uint32_t y = h * 13 / 20 + k * h / 160;
        Paint(page, w / 8 + (k % 5) * w / 40, y, w * 7 / 8 - (k % 3) * w / 30, y + 4, pencil, 3);
      }
      break;
    }
  }
  return page;
}

// How a clean page is degraded.
enum class TDegradation { Shading, Gutter, Flare, Yellowed, Jpeg };
constexpr const char* DegradationNames[] = {"shading", "gutter", "flare", "yellowed", "JPEG"};

// The scan of a clean page, degraded `how`; where the scan has a margin,
// the clean page, as the ideal, gets white there (so `clean` is changed).
TPage Degrade(TPage& clean, TDegradation how) {
  TPage page = clean;
  const double shading[3] = {0.95, 0.88, 0.72}, old[3] = {0.97, 0.91, 0.74};
  const double cx = clean.Width * 0.42, cy = clean.Height * 0.45;
  const double reach = std::hypot(clean.Width, clean.Height) * 0.6;
  std::uint32_t state = 12345;
  const bool withMargin = how == TDegradation::Shading || how == TDegradation::Jpeg;
  const std::uint32_t marginX = clean.Width / 25, marginY = clean.Height - clean.Height / 40;
  for (std::uint32_t y = 0; y < clean.Height; ++y) {
    for (std::uint32_t x = 0; x < clean.Width; ++x) {
      const std::size_t i = std::size_t{y} * clean.Width + x;
      const double d = std::hypot(x - cx, y - cy) / reach;
      const bool margin = withMargin && (x < marginX || y >= marginY);
      // What shows through from the back: the page mirrored.
      const std::size_t back = std::size_t{y} * clean.Width + (clean.Width - 1 - x);
      for (std::uint32_t c = 0; c < clean.Channels; ++c) {
        const int grain = static_cast<int>(Random(state) % 7) - 3;
        const double v0 = clean.Samples[i * clean.Channels + c];
        double v = 0;
        switch (how) {
          case TDegradation::Shading:
          case TDegradation::Jpeg:
            v = margin
                    ? 34 + grain * 2
                    : v0 * (1 - 0.38 * d * d) * (clean.Channels == 1 ? 0.86 : shading[c]) + grain;
            break;
          case TDegradation::Gutter: {
            const double shadow = 1 - 0.67 * std::exp(-double(x) / (clean.Width * 0.08));
            v = v0 * shadow * (clean.Channels == 1 ? 0.92 : shading[c] * 1.03) + grain;
            break;
          }
          case TDegradation::Flare:
            v = (v0 * 0.8 + 45) * (1 - 0.2 * d * d) + grain;
            break;
          case TDegradation::Yellowed: {
            const double texture = 1 + 0.035 * std::sin(x * 0.02 + std::sin(y * 0.013) * 3) *
                                           std::cos(y * 0.017 + std::sin(x * 0.007) * 2);
            const double through =
                1 - 0.08 * (255 - clean.Samples[back * clean.Channels + c]) / 255;
            v = v0 * texture * through * (clean.Channels == 1 ? 0.88 : old[c]) + grain;
            break;
          }
        }
        page.Samples[i * clean.Channels + c] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
        if (margin) clean.Samples[i * clean.Channels + c] = 255;
      }
      if (margin) clean.Kind[i] = page.Kind[i] = 4;
    }
  }
  if (how == TDegradation::Jpeg) {
    PIX* pix = ToPix(page);
    l_uint8* data = nullptr;
    size_t size = 0;
    pixWriteMemJpeg(&data, &size, pix, 75, 0);
    pixDestroy(&pix);
    PIX* back = pixReadMemJpeg(data, size, 0, 1, nullptr, 0);
    lept_free(data);
    const std::vector<std::uint8_t> kind = page.Kind;
    page = FromPix(back, page);
    page.Kind = kind;
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

// What a method's output is against the clean page.
struct TCaseScore {
  double Mae = 0, Content = 0, ContentSamples = 0, Paper = 0, PaperSamples = 0;
  double Cast = 0, Neutral = 0, EdgeKept = 0, EdgePixels = 0;
  double RedOverGreen = 0, BlueOverGreen = 0;  // summed over the neutral samples
};

TCaseScore Measure(const TPage& out, const TPage& clean) {
  TCaseScore score;
  double error = 0;
  for (std::size_t i = 0; i < clean.Kind.size(); ++i) {
    std::int32_t worst = 0;
    for (std::uint32_t c = 0; c < clean.Channels; ++c) {
      const std::size_t k = i * clean.Channels + c;
      const std::int32_t e = std::abs(int(out.Samples[k]) - int(clean.Samples[k]));
      worst = std::max(worst, e);
      error += e;
      if (clean.Kind[i] == 3) score.Content += e, score.ContentSamples += 1;
      if (clean.Kind[i] == 0) score.Paper += 255 - out.Samples[k], score.PaperSamples += 1;
    }
    const std::uint8_t* s = &clean.Samples[i * clean.Channels];
    if (clean.Channels == 3 && s[0] == s[1] && s[1] == s[2] && s[0] < 250) {
      const std::uint8_t* o = &out.Samples[i * 3];
      score.RedOverGreen += int(o[0]) - int(o[1]);
      score.BlueOverGreen += int(o[2]) - int(o[1]);
      score.Neutral += 1;
    }
    if (clean.Kind[i] == 2) {
      score.EdgeKept += worst <= 24;
      score.EdgePixels += 1;
    }
  }
  score.Mae = error / double(clean.Samples.size());
  // A tint, not the grain: how far red and blue lie from green on average.
  score.Cast = std::abs(score.RedOverGreen) + std::abs(score.BlueOverGreen);
  return score;
}

double MeanError(const TPage& a, const TPage& b, std::int32_t* largest = nullptr) {
  double sum = 0;
  std::int32_t most = 0;
  for (std::size_t k = 0; k < a.Samples.size(); ++k) {
    const std::int32_t e = std::abs(int(a.Samples[k]) - int(b.Samples[k]));
    sum += e;
    most = std::max(most, e);
  }
  if (largest != nullptr) *largest = most;
  return sum / double(a.Samples.size());
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

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  setMsgSeverity(L_SEVERITY_NONE);  // Leptonica's own notes on what it skips
  struct TPageOfBench {
    std::string Name;
    TPage Clean;
    bool A4Text, HeldOut;
  };
  std::vector<TPageOfBench> pages;
  const std::uint32_t w = 2480, h = 3508;
  pages.push_back({"drawn grey A4", DrawnPage(w, h, false), true, false});
  pages.push_back({"drawn colour A4", DrawnPage(w, h, true), true, false});
  const char* kinds[] = {"map of pale fills", "watercolour plate", "map to the edges",
                         "colour figures",    "pencil and wash",   "another map (held out)"};
  for (int k = 0; k < 6; ++k) pages.push_back({kinds[k], KindPage(w, h, k), false, k == 5});
  for (int k = 1; k < argc; ++k) {
    TPage clean;
    if (!RealPage(argv[k], clean)) {
      std::fprintf(stderr, "quality: cannot read %s\n", argv[k]);
      return 1;
    }
    const char* slash = std::strrchr(argv[k], '/');
    pages.push_back(
        {std::string(slash != nullptr ? slash + 1 : argv[k]) + " (held out)", clean, false, true});
  }
  struct TCase {
    std::size_t Page;
    TDegradation How;
    TPage Clean, Scan;
    double InputMae;
  };
  std::vector<TCase> cases;
  // QUALITY_ONLY=TEXT: only the pages whose name holds TEXT, to look at.
  const char* only = std::getenv("QUALITY_ONLY");
  for (std::size_t p = 0; p < pages.size(); ++p) {
    if (only != nullptr && pages[p].Name.find(only) == std::string::npos) continue;
    for (int d = 0; d < 5; ++d) {
      const auto how = static_cast<TDegradation>(d);
      TPage clean = pages[p].Clean;
      TPage scan = Degrade(clean, how);
      const double input = MeanError(scan, clean);
      cases.push_back({p, how, std::move(clean), std::move(scan), input});
    }
  }
  const std::vector<std::pair<const char*, TMethod>> methods = {
      {"valdrane (default)", DefaultCorrection},
      {"valdrane -p", PaperCorrection},
      {"Leptonica BackgroundNormSimple", LeptonicaNorm},
      {"Leptonica BackgroundNormFlex", LeptonicaFlex},
      {"Leptonica CleanBackgroundToWhite", LeptonicaWhite},
  };
  std::printf("pages:");
  for (const auto& page : pages) std::printf(" %s;", page.Name.c_str());
  std::printf("\n%zu cases (each page degraded 5 ways)\n\n", cases.size());
  std::printf("| method | cases | median MAE | harm |");
  for (const char* d : DegradationNames) std::printf(" %s |", d);
  std::printf(
      " content MAE | grey cast | paper off white | edge kept | again mean/max, clean | "
      "ms/A4 |\n|---|---|---|---|");
  for (int d = 0; d < 5; ++d) std::printf("---|");
  std::printf("---|---|---|---|---|---|\n");
  std::vector<std::string> harmed;
  for (const auto& [name, method] : methods) {
    std::vector<double> maes, perHow[5];
    double content = 0, contentN = 0, cast = 0, neutral = 0, paper = 0, paperN = 0, edge = 0,
           edgeN = 0, again = 0, onClean = 0;
    std::int32_t againMost = 0;
    int harm = 0, applied = 0;
    std::vector<double> ms;
    const bool ours = std::strncmp(name, "valdrane", 8) == 0;
    for (const TCase& c : cases) {
      TPage out = method(c.Scan);
      if (out.Samples.empty()) continue;
      ++applied;
      const TCaseScore s = Measure(out, c.Clean);
      maes.push_back(s.Mae);
      if (std::getenv("QUALITY_CASES") != nullptr) {
        std::fprintf(stderr, "%s | %s, %s | in %.2f out %.2f content %.2f paper %.2f cast %.2f\n",
                     name, pages[c.Page].Name.c_str(), DegradationNames[static_cast<int>(c.How)],
                     c.InputMae, s.Mae, s.Content / std::max(1.0, s.ContentSamples),
                     s.Paper / std::max(1.0, s.PaperSamples), s.Cast / std::max(1.0, s.Neutral));
      }
      perHow[static_cast<int>(c.How)].push_back(s.Mae);
      if (s.Mae > c.InputMae) {
        ++harm;
        harmed.push_back(std::string(name) + ": " + pages[c.Page].Name + ", " +
                         DegradationNames[static_cast<int>(c.How)]);
      }
      content += s.Content, contentN += s.ContentSamples, cast += s.Cast, neutral += s.Neutral;
      paper += s.Paper, paperN += s.PaperSamples, edge += s.EdgeKept, edgeN += s.EdgePixels;
      if (ours) {
        std::int32_t most = 0;
        const TPage twice = method(out);
        const double changed = MeanError(twice, out, &most);
        if (std::getenv("QUALITY_CASES") != nullptr) {
          std::size_t where = 0, many = 0;
          for (std::size_t k = 0; k < out.Samples.size(); ++k) {
            const int e = std::abs(int(twice.Samples[k]) - int(out.Samples[k]));
            if (e == most) where = k;
            many += e > 2;
          }
          const std::size_t px = where / out.Channels;
          std::fprintf(stderr,
                       "  worst at %zu,%zu: %d -> %d (clean %d, kind %d), %zu samples over 2\n",
                       px % out.Width, px / out.Width, out.Samples[where], twice.Samples[where],
                       c.Clean.Samples[where], c.Clean.Kind[px], many);
        }
        again += changed / double(cases.size());
        if (std::getenv("QUALITY_CASES") != nullptr) {
          std::fprintf(stderr, "%s | %s, %s | again %.3f max %d\n", name,
                       pages[c.Page].Name.c_str(), DegradationNames[static_cast<int>(c.How)],
                       changed, most);
        }
        againMost = std::max(againMost, most);
      }
      if (pages[c.Page].A4Text && c.How == TDegradation::Shading)
        ms.push_back(Ms([&] { method(c.Scan); }));
    }
    if (ours) {
      for (const auto& page : pages) onClean += MeanError(method(page.Clean), page.Clean);
      onClean /= double(pages.size());
    }
    std::printf("| %s | %d | %.2f | %d |", name, applied, Median(maes), harm);
    for (const auto& values : perHow) {
      double mean = 0;
      for (const double v : values) mean += v / double(values.size());
      std::printf(values.empty() ? " - |" : " %.2f |", mean);
    }
    std::printf(" %.2f | %.2f | %.1f | %.1f%% |", content / std::max(1.0, contentN),
                cast / std::max(1.0, neutral), paper / std::max(1.0, paperN),
                100 * edge / std::max(1.0, edgeN));
    if (ours) {
      std::printf(" %.2f/%d, %.2f |", again, againMost, onClean);
    } else {
      std::printf(" - |");
    }
    double mean = 0;
    for (const double m : ms) mean += m / double(ms.size());
    std::printf(ms.empty() ? " - |\n" : " %.0f |\n", mean);
  }
  std::printf("\nharm (output further from the clean page than the input):\n");
  for (const std::string& line : harmed) std::printf("  %s\n", line.c_str());
  return 0;
}
