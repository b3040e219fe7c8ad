// The page background, estimated on the half-size image by a grey-level
// reconstruction by erosion that is seeded from the image frame.
#pragma once

#include "image.h"

// At most this many passes of the reconstruction.
constexpr std::uint32_t PassLimit = 10;

// MakeBorderSeed: the marker that the reconstruction starts from: `source`'s
// header, a grey plane of exactly Width * Height samples that equals
// `source` on the frame (first and last row, first and last column) and is
// white (255, or 65535) inside, and no colour plane. Never changes `source`.
// Its plane takes the memory of `memory`'s (see HeaderOf).
TMyImage MakeBorderSeed(const TMyImage& source, TMyImage&& memory = {});

// ReconstructBackground: lowers `marker`'s grey plane in place, pass by pass,
// to the smallest value of each pixel and its 8 neighbours but never below
// `mask`, so that dark regions that do not reach the frame fill up to the
// paper around them while dark regions joined to the frame stay dark.
//
// `marker` must be MakeBorderSeed(mask). Each pass is one forward (raster
// order) and one backward half-pass, in place; a pass counts the updates that
// leave a pixel strictly above the mask. The passes stop at the first pass
// whose count equals the count of the pass before (0 before the first), or
// after PassLimit passes.
//
// Returns the number of passes run. When `passCounts` is not null it receives
// the count of each pass run (room for PassLimit entries). Reads `mask` only;
// frame pixels of `marker` never change.
std::uint32_t ReconstructBackground(const TMyImage& mask, TMyImage& marker,
                                    std::uint32_t* passCounts = nullptr);
