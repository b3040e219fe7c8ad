// The strips of a page: where each lies in its plane, and decoding and
// encoding them on several threads with the same bytes as on one.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <vector>

#include "image.h"
#include "tiff_handle.h"

constexpr std::uint32_t PhotometricGray = PHOTOMETRIC_MINISBLACK;  // 1
constexpr std::uint32_t PhotometricRgb = PHOTOMETRIC_RGB;          // 2
constexpr std::uint32_t PhotometricYCbCr = PHOTOMETRIC_YCBCR;      // 6

// StripRows: rows per strip as the strips are laid out: a missing tag, or
// one larger than the image, means a single strip of all rows.
std::uint32_t StripRows(std::uint32_t rowsPerStrip, std::uint32_t height);

// StripsFor: number of strips that cover `height` rows, `rows` to a strip
// (rows > 0).
std::uint32_t StripsFor(std::uint32_t rows, std::uint32_t height);

// SamplesOf: samples a pixel has in the plane a page is read into and
// written from.
std::uint32_t SamplesOf(std::uint32_t photometric);

// SetLayout: sets the structural tags of `image` on a file being written,
// and a JPEG page's codec settings (see SetJpegSettings). A tag whose field
// is 0 was not in the file that was read: it is left out.
bool SetLayout(TIFF* tif, const TMyImage& image);

// DecodeStrips: decodes every strip of the page into its plane and, for a
// colour page, works out the grey values of its pixels; `tif` and
// threads - 1 more handles of its own take strips in turn; warnings of any
// handle are noted in `warnings`. False as soon as a strip does not decode
// to its full size.
bool DecodeStrips(const TPageFile& page, TIFF* tif, TMyImage& image, unsigned threads,
                  TReadWarnings& warnings);

// EncodeStrips: encodes every strip of `plane` into the file being written,
// in order. With several threads, codecs that encode each strip on its own
// encode them in parallel into files in memory, and the strips are written
// raw; the file's bytes are the same either way.
bool EncodeStrips(TIFF* tif, const TMyImage& image, const TPlane& plane, unsigned threads);
