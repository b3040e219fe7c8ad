// The blocks of a page, strips or tiles, of all samples together or of one
// sample each (separate planes): where each lies in the page's plane, and
// decoding and encoding them on several threads with the same bytes as on
// one.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <vector>

#include "image.h"
#include "tiff_handle.h"

constexpr std::uint32_t PhotometricWhiteIsZero = PHOTOMETRIC_MINISWHITE;  // 0
constexpr std::uint32_t PhotometricGray = PHOTOMETRIC_MINISBLACK;         // 1
constexpr std::uint32_t PhotometricRgb = PHOTOMETRIC_RGB;                 // 2
constexpr std::uint32_t PhotometricYCbCr = PHOTOMETRIC_YCBCR;             // 6

// StripRows: rows per strip as the strips are laid out: a missing tag, or
// one larger than the image, means a single strip of all rows.
std::uint32_t StripRows(std::uint32_t rowsPerStrip, std::uint32_t height);

// StripsFor: number of strips that cover `height` rows, `rows` to a strip
// (rows > 0).
std::uint32_t StripsFor(std::uint32_t rows, std::uint32_t height);

// SamplesOf: samples a pixel has in the plane a page is read into and
// written from (extra samples aside).
std::uint32_t SamplesOf(std::uint32_t photometric);

// SetLayout: sets the structural tags of `image` on a file being written
// (its fill order among them), and its codec's settings (see
// SetCodecSettings). A tag whose field
// is 0 was not in the file that was read: it is left out.
bool SetLayout(TIFF* tif, const TMyImage& image);

// BlocksFor: how many blocks the record's layout has: strips (RowsPerStrip
// rows each, fewer in the last) or tiles (TileWidth x TileLength, across
// then down), for each sample apart with separate planes. 0 when the layout
// is not one (a tile size of 0 one way only).
std::uint32_t BlocksFor(const TMyImage& image);

// BlockBytes: the decoded size of one block as the codec hands it over:
// a strip's rows or a whole tile, edge tiles included.
std::uint64_t BlockBytes(const TMyImage& image);

// GreyAfterDecoding: whether a colour page's grey values wait until all
// its blocks are decoded (separate planes, or colour multiplied by alpha).
bool GreyAfterDecoding(const TMyImage& image);

// DecodeBlocks: decodes every block of the page (directory `directory`)
// into its planes so that the image plane holds the image the page shows (a
// grey page with 0 white inverted, colour multiplied by alpha divided by
// it; extra samples into Extra as they are) and, for a colour page, works
// out the grey values of its pixels; `tif` and threads - 1 more handles of its own take blocks in
// turn; warnings of any handle are noted in `warnings`. False as soon as a
// block does not decode to its full size.
bool DecodeBlocks(const TPageFile& page, TIFF* tif, std::uint32_t directory, TMyImage& image,
                  unsigned threads, TReadWarnings& warnings);

// EncodeBlocks: encodes every block of the page's image plane and extra
// samples into the file being written, in order (inverted again for a grey
// page with 0 white, multiplied by alpha again where it was divided); the
// parts of edge tiles past the page repeat its last column and row. With several threads, codecs
// that encode each block on its own encode them in parallel into files in memory, and the blocks
// are written raw, in order as they come, at most BlocksAhead(threads) of them held back; the
// file's bytes are the same either way. LERC always goes that way, on one thread too.
bool EncodeBlocks(TIFF* tif, const TMyImage& image, unsigned threads);

// BlocksAhead: how many blocks past the first one not yet written the
// threads of EncodeBlocks may encode, and hold, at once.
constexpr std::uint32_t BlocksAhead(unsigned threads) { return 2 * threads; }
