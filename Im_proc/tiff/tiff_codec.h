// The codec settings a page is written back with, so that it keeps its
// file's own encoding: what the file records (JPEG's tables through
// tiff_jpeg, LERC's parameters among the carried tags), and where it records
// nothing, what the page's compressed data tell (WebP lossless or its
// level, LERC's largest error). Settings that change only size and time,
// which no file records (Deflate, ZSTD and LZMA levels), are libtiff's
// defaults.
#pragma once

#include <tiffio.h>

#include "image.h"

// TakeCodecSettings: on a file open for reading at a page whose header is
// in `header`, the settings its codec is to be written back with:
// - JPEG: see TakeJpegSettings;
// - WebP: lossless when any of its blocks is (libtiff codes a page with
//   one setting); otherwise the level WebpLevelFor gives for the coarsest
//   of its blocks' finest quantisers, which for a page made at one level
//   is never above the level it was made at;
// - LERC: the least MaxZError of its blocks' headers; where the blocks are
//   further compressed (Deflate, ZSTD) the headers are not read and the
//   page is written back without loss (0), never more coarsely than it was.
// False when a block of a WebP page cannot be read or is not WebP (the
// page is not taken); true, setting nothing, for any other codec.
bool TakeCodecSettings(TIFF* tif, TMyImage& header);

// SetCodecSettings: on a file being written, after its compression, the
// settings of `image`'s codec that TakeCodecSettings took. True, setting
// nothing, for a codec without any.
bool SetCodecSettings(TIFF* tif, const TMyImage& image);
