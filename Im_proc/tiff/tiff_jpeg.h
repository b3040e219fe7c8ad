// JPEG pages in libtiff: YCbCr pages decoded to RGB and encoded from it by
// the codec, and the quality and table layout a page is written back with,
// taken from the page that was read.
#pragma once

#include <tiffio.h>

#include "image.h"

// DecodeJpegAsRgb: on a file open for reading whose page is YCbCr JPEG,
// makes the codec hand out RGB samples, three to a pixel at full size
// (strip sizes follow). True for any other page, which it leaves alone.
bool DecodeJpegAsRgb(TIFF* tif);

// TakeJpegSettings: for a JPEG page, the quality it is to be written back
// with (QualityOf its quantisation tables, from its JPEGTables tag or, when
// it has none, its first strip or tile) into `header.JpegQuality`, and
// whether its tables sit in every strip or tile. False for a JPEG page whose tables cannot be
// found or read; true, setting nothing, for any other page.
bool TakeJpegSettings(TIFF* tif, TMyImage& header);

// SetJpegSettings: on a file being written as JPEG, the quality and table
// layout of `image`, and for a YCbCr page the encoding from RGB samples.
// True, setting nothing, for any other compression.
bool SetJpegSettings(TIFF* tif, const TMyImage& image);
