// Applying the background to the page: the grey division and, for colour
// pages, the gain that carries the division over to the three channels.
// Each splits its pixels between `threads` threads on large pages; the
// result is the same.
#pragma once

#include "image.h"

// A background value below this counts as dark: the page turns white there.
constexpr std::uint8_t DarkThreshold = 30;

// DivideByBackground: flattens `page`'s grey plane in place over its
// Width * Height pixels. With b the background and p the page value:
// b < 30 gives 255; p < b gives (p * 255) / b, remainder dropped; p >= b gives
// 255. `background` must have the page's size and is only read.
void DivideByBackground(TMyImage& page, const TMyImage& background, unsigned threads = 1);

// SubtractImage: page.Gray[i] -= saved.Gray[i], modulo 256, over the page's
// Width * Height pixels. On a page just divided and the copy of its grey
// plane from before, this leaves the gain that the division added (0..255).
// `saved` is only read.
void SubtractImage(TMyImage& page, const TMyImage& saved, unsigned threads = 1);

// AddGainToRgb: adds each pixel's gain (its grey plane byte) to the pixel's
// three colour bytes, saturating at 255. Changes the colour plane only.
void AddGainToRgb(TMyImage& page, unsigned threads = 1);
