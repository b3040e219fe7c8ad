// The correction's operations (Im_proc/correction/), in the order the driver
// applies them to a page: the half-size page and the frame seed
// (resample.h, reconstruct.h), the background reconstructed from it
// (reconstruct.h) and brought back to full size (resample.h), the page
// divided by it, and for colour pages the gain carried over to the three
// channels (flatten.h); then the page's previews made anew (preview.h).
// Instead of the background and its division, a page may be divided by the
// paper it is printed on (paper.h).
// Every operation takes and gives image records only: this room uses the
// image room and knows nothing of files or of TIFF.
#pragma once

#include "flatten.h"
#include "paper.h"
#include "preview.h"
#include "reconstruct.h"
#include "resample.h"

// FlattenPage: the default correction of `page` (grey plane set; colour
// plane for colour pages) in one call, as the driver makes it stage by
// stage; FlattenAgainstPaper the same for the correction against the
// paper, which gives back the paper it found. For the fuzzer, the tests
// and the benchmarks, which need no stage times.
void FlattenPage(TMyImage& page, unsigned threads = 1);
TPaperField FlattenAgainstPaper(TMyImage& page, unsigned threads = 1);
