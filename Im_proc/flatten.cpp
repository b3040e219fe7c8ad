#include "flatten.h"

void DivideByBackground(TMyImage& page, const TMyImage& background) {
  const std::uint32_t n = PixelCount(page);
  std::uint8_t* p = page.Gray.data();
  const std::uint8_t* b = background.Gray.data();
  for (std::uint32_t i = 0; i < n; ++i) {
    if (b[i] < DarkThreshold || p[i] >= b[i]) {
      p[i] = 255;
    } else {
      p[i] = static_cast<std::uint8_t>(p[i] * 255u / b[i]);
    }
  }
}

void SubtractImage(TMyImage& page, const TMyImage& saved) {
  const std::uint32_t n = PixelCount(page);
  std::uint8_t* p = page.Gray.data();
  const std::uint8_t* s = saved.Gray.data();
  for (std::uint32_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(p[i] - s[i]);
}

void AddGainToRgb(TMyImage& page) {
  const std::uint32_t n = PixelCount(page);
  const std::uint8_t* gain = page.Gray.data();
  std::uint8_t* rgb = page.Rgb.data();
  for (std::uint32_t k = 0; k < n; ++k) {
    for (std::uint32_t c = 0; c < 3; ++c) {
      const unsigned s = rgb[3 * k + c] + gain[k];
      rgb[3 * k + c] = static_cast<std::uint8_t>(s > 255 ? 255 : s);
    }
  }
}
