#include "resample.h"

#include <algorithm>

TMyImage DownscaleMin(const TMyImage& page) {
  TMyImage result = HeaderOf(page);
  const std::uint32_t W = page.Width;
  const std::uint32_t w = page.Width / 2;
  const std::uint32_t h = page.Height / 2;
  result.Width = w;
  result.Height = h;
  result.StripCount = page.StripCount / 2;
  result.Gray.resize(w * h);

  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint8_t* top = page.Gray.data() + 2 * y * W;
    const std::uint8_t* bottom = top + W;
    std::uint8_t* out = result.Gray.data() + y * w;
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t upper = std::min(top[2 * x], top[2 * x + 1]);
      const std::uint8_t lower = std::min(bottom[2 * x], bottom[2 * x + 1]);
      out[x] = std::min(upper, lower);
    }
  }
  return result;
}

TMyImage UpscaleNearest(const TMyImage& half, const TMyImage& reference) {
  TMyImage result = HeaderOf(half);
  const std::uint32_t W = reference.Width;
  const std::uint32_t H = reference.Height;
  const std::uint32_t w = half.Width;
  const std::uint32_t h = half.Height;
  result.Width = W;
  result.Height = H;
  result.StripCount = reference.StripCount;

  if (w == 0 || h == 0) {
    // A page under 2 x 2 pixels has no half-size pixel to take a background
    // from; a white background leaves such a page unchanged.
    result.Gray.assign(W * H, 255);
    return result;
  }
  result.Gray.resize(W * H);
  for (std::uint32_t Y = 0; Y < H; ++Y) {
    const std::uint8_t* in = half.Gray.data() + std::min(Y / 2, h - 1) * w;
    std::uint8_t* out = result.Gray.data() + Y * W;
    for (std::uint32_t X = 0; X < W; ++X) out[X] = in[std::min(X / 2, w - 1)];
  }
  return result;
}
