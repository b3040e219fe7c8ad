// Applying the background to the page: the grey division and, for colour
// pages, the gain that carries the division over to the three channels.
// Each splits its pixels between `threads` threads on large pages; the
// result is the same.
#pragma once

#include "image.h"

// A background value below this counts as dark: the page turns white there.
// At 16 bits every constant is scaled by 65535 / 255 = 257: the threshold
// is 30 * 257 = 7710 and white is 65535.
constexpr std::uint8_t DarkThreshold = 30;

// DivideByBackground: flattens `page`'s grey plane in place over its
// Width * Height pixels. With b the background, p the page value and W
// white (255, or 65535): b < the threshold gives W; p < b gives (p * W) / b,
// remainder dropped; p >= b gives W. `background` must have the page's size
// and sample size and is only read.
void DivideByBackground(TMyImage& page, const TMyImage& background, unsigned threads = 1);

// SubtractImage: page.Gray[i] -= saved.Gray[i], modulo 256 (65536 at 16
// bits), over the page's Width * Height pixels. On a page just divided and
// the copy of its grey plane from before, this leaves the gain that the
// division added (0 to white).
// `saved` is only read.
void SubtractImage(TMyImage& page, const TMyImage& saved, unsigned threads = 1);

// AddGainToRgb: adds each pixel's gain (its grey sample) to the pixel's
// three colour samples, saturating at white. Changes the colour plane only.
void AddGainToRgb(TMyImage& page, unsigned threads = 1);
