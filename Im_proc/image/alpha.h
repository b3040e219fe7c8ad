// Colour that a page stores multiplied by its alpha (associated alpha):
// divided by it as the page is read, so that the correction sees the image
// the page shows, and multiplied again as it is written.
#pragma once

#include <cstdint>
#include <vector>

#include "image.h"

// AlphaOf: 1 + the index among the page's extra samples of the first alpha
// that its colour is multiplied by (kind 1), or 0 when there is none.
std::uint32_t AlphaOf(const TMyImage& image);

// DivideByAlpha: each image sample c of a pixel with alpha a > 0 becomes
// min(W, (c * W + a / 2) / a), W the white value (255 or 65535); with a = 0
// it stays. Changes the image plane (Gray, or Rgb) only. On a page with 0
// white, c is the sample as the file holds it (W minus the plane's).
void DivideByAlpha(TMyImage& image, unsigned threads);

// MultipliedByAlpha: the bytes of the image plane with each sample c
// replaced by (c * a + W / 2) / W (c as DivideByAlpha takes it). For a
// pixel as DivideByAlpha left it (c <= a before), this gives back its
// sample exactly; for an opaque pixel (a = W) both leave the sample as it
// is. Never changes `image`.
std::vector<std::uint8_t> MultipliedByAlpha(const TMyImage& image, unsigned threads);
