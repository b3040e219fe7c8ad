// Changing the size of a grey plane by a factor of two, for the background
// estimate that is made on a half-size page. Both split their rows between
// `threads` threads on large pages; the result is the same.
#pragma once

#include "image.h"

// DownscaleMin: the half-size image of `page`: (Width / 2) x (Height / 2)
// pixels (remainders dropped), each the darkest of its 2 x 2 block of the page.
// The page's last column or row is not read when its width or height is odd.
// The result carries the page's header with Width, Height and StripCount
// halved, a grey plane of exactly its pixel count and no colour plane.
// Never changes `page`. Its plane takes the memory of `memory`'s (see
// HeaderOf).
TMyImage DownscaleMin(const TMyImage& page, unsigned threads = 1, TMyImage&& memory = {});

// UpscaleNearest: `half` scaled back to the size of `reference` by nearest
// neighbour: pixel (X, Y) takes half-size pixel (X / 2, Y / 2). The last column
// of an odd-width reference repeats the nearest half-size column, the last row
// of an odd-height one the nearest half-size row. A half-size image without
// pixels gives a white (255, or 65535) result.
// The result carries `half`'s header with the reference's Width, Height and
// StripCount, a grey plane of exactly Width * Height samples and no colour
// plane. Never changes either argument. Its plane takes the memory of
// `memory`'s (see HeaderOf), which must be neither argument.
TMyImage UpscaleNearest(const TMyImage& half, const TMyImage& reference, unsigned threads = 1,
                        TMyImage&& memory = {});
