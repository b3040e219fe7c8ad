#include "preview.h"

#include <algorithm>
#include <cstdint>

#include "grey.h"
#include "split_rows.h"

namespace {

// The first page column (or row) that preview column `x` of `n` covers on
// a page of `size`.
std::uint32_t Edge(std::uint32_t x, std::uint32_t n, std::uint32_t size) {
  return static_cast<std::uint32_t>(std::uint64_t{x} * size / n);
}

// A sample of the page's plane at the preview's size: 8 bits from 16 as
// v * 255 / 65535 rounded, 16 from 8 as v * 257.
std::uint32_t Resized(std::uint64_t v, bool fromWide, bool toWide) {
  if (fromWide == toWide) return static_cast<std::uint32_t>(v);
  return static_cast<std::uint32_t>(toWide ? v * 257 : (v * 255 + 32767) / 65535);
}

template <class TFrom, class TTo>
void Make(const TMyImage& page, TMyImage& preview, unsigned threads) {
  const auto& from = IsColour(page) ? RgbOf(TFrom{}, page) : GrayOf(TFrom{}, page);
  const std::uint32_t in = IsColour(page) ? 3 : 1, out = IsColour(preview) ? 3 : 1;
  auto& to = out == 3 ? RgbOf(TTo{}, preview) : GrayOf(TTo{}, preview);
  to.assign(std::size_t{preview.Width} * preview.Height * out, 0);
  const bool fromWide = sizeof(TFrom) == 2, toWide = sizeof(TTo) == 2;
  SplitRows(preview.Height, threads, 16, [&](std::uint32_t first, std::uint32_t end) {
    for (std::uint32_t y = first; y < end; ++y) {
      const std::uint32_t top = Edge(y, preview.Height, page.Height);
      const std::uint32_t bottom = std::max(top + 1, Edge(y + 1, preview.Height, page.Height));
      for (std::uint32_t x = 0; x < preview.Width; ++x) {
        const std::uint32_t left = Edge(x, preview.Width, page.Width);
        const std::uint32_t right = std::max(left + 1, Edge(x + 1, preview.Width, page.Width));
        std::uint64_t sums[3] = {0, 0, 0};
        for (std::uint32_t v = top; v < bottom; ++v) {
          const TFrom* row = from.data() + (std::size_t{v} * page.Width + left) * in;
          for (std::uint32_t u = 0; u < (right - left) * in; ++u) sums[u % in] += row[u];
        }
        const std::uint64_t n = std::uint64_t{bottom - top} * (right - left);
        std::uint32_t mean[3];
        for (std::uint32_t c = 0; c < in; ++c)
          mean[c] = static_cast<std::uint32_t>((sums[c] + n / 2) / n);
        TTo* pixel = to.data() + (std::size_t{y} * preview.Width + x) * out;
        if (in == out) {
          for (std::uint32_t c = 0; c < out; ++c) {
            pixel[c] = static_cast<TTo>(Resized(mean[c], fromWide, toWide));
          }
        } else if (out == 1) {
          pixel[0] =
              static_cast<TTo>(Resized(GrayOfRgb(mean[0], mean[1], mean[2]), fromWide, toWide));
        } else {
          pixel[0] = pixel[1] = pixel[2] = static_cast<TTo>(Resized(mean[0], fromWide, toWide));
        }
      }
    }
  });
}

}  // namespace

void MakePreviews(TMyImage& page, unsigned threads) {
  for (TMyImage& preview : page.Previews) {
    if (IsWide(page)) {
      IsWide(preview) ? Make<std::uint16_t, std::uint16_t>(page, preview, threads)
                      : Make<std::uint16_t, std::uint8_t>(page, preview, threads);
    } else {
      IsWide(preview) ? Make<std::uint8_t, std::uint16_t>(page, preview, threads)
                      : Make<std::uint8_t, std::uint8_t>(page, preview, threads);
    }
  }
}
