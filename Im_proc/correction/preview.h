// A page's previews made anew from the page as it now is, so that a
// thumbnail or a reduced-resolution image never shows the page as it was.
#pragma once

#include "image.h"

// MakePreviews: fills the plane of each of `page.Previews` (grey or colour,
// 8 or 16 bits, as its header says; no extra samples) from the page's
// image plane: each preview pixel the mean, rounded to nearest, of the page
// pixels its area covers (columns x * W / w up to (x + 1) * W / w, at least
// one, and the same for rows), a colour mean made grey by GrayOfRgb for a
// grey preview of a colour page, a grey one repeated on three samples for a
// colour preview of a grey page, and 16 bits taken to 8 as v * 255 / 65535
// rounded (8 to 16 as v * 257). Integers throughout: the same bytes on
// every system and with any number of threads. Changes nothing else.
void MakePreviews(TMyImage& page, unsigned threads = 1);
