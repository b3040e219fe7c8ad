#include "synthetic_page.h"

#include <algorithm>
#include <cmath>
#include <random>

std::vector<std::uint8_t> SyntheticScan(std::uint32_t width, std::uint32_t height, bool colour,
                                        std::uint32_t seed) {
  std::mt19937 engine(seed);
  auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
  const double cx = width / 2.0, cy = height / 2.0;
  const double reach = std::hypot(cx, cy) + 1;
  // Grey level of each pixel first: paper shaded towards the corners.
  std::vector<double> level(std::size_t{width} * height);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const double d = std::hypot(x - cx, y - cy) / reach;
      level[std::size_t{y} * width + x] = 225 - 70 * d * d + double(random() % 7) - 3;
    }
  }
  auto paint = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, double v) {
    for (std::uint32_t y = y0; y < std::min(height, y0 + h); ++y) {
      for (std::uint32_t x = x0; x < std::min(width, x0 + w); ++x)
        level[std::size_t{y} * width + x] = v;
    }
  };
  // Lines of text: short strokes of dark ink, one line every 12 rows.
  const std::uint32_t margin = std::max(2u, width / 16);
  for (std::uint32_t line = 8; line + 8 < height; line += 12) {
    for (std::uint32_t x = margin + 6; x + 6 < width; x += 3 + random() % 5) {
      const bool tall = random() % 3 == 0;
      paint(x, line + (tall ? 0 : 3), 1 + random() % 2, tall ? 8 : 5, 30 + random() % 50);
    }
  }
  // The scanner's margin along the left edge, and a blot inside the page.
  paint(0, 0, margin, height, 18);
  paint(width / 2, height / 3, std::max(3u, width / 10), std::max(3u, height / 12), 70);

  std::vector<std::uint8_t> pixels;
  pixels.reserve(level.size() * (colour ? 3 : 1));
  for (const double v : level) {
    const double clamped = std::clamp(v, 0.0, 255.0);
    if (colour) {
      // Slightly yellow paper, blue-black ink.
      pixels.push_back(static_cast<std::uint8_t>(std::clamp(clamped + 6, 0.0, 255.0)));
      pixels.push_back(static_cast<std::uint8_t>(clamped));
      pixels.push_back(static_cast<std::uint8_t>(std::clamp(clamped * 0.9 + 12, 0.0, 255.0)));
    } else {
      pixels.push_back(static_cast<std::uint8_t>(clamped));
    }
  }
  return pixels;
}
