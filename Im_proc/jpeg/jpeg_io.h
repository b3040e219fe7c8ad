// The JPEG binding (Im_proc/jpeg/): reading a JPEG file into a TMyImage and
// writing it back as JPEG in a new file, coded as it was: the same
// quantisation tables, colour space, sampling, restart interval and
// progression, its APPn and COM segments kept in order. Its unit is the
// only one that includes libjpeg's header. It uses the image record and
// the safe replacement of files; the driver sees only this header.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "image.h"
#include "refusal.h"
#include "safe_file.h"

// TJpegFile: the file as ListJpeg read it, whole: its bytes, which the
// page is decoded from and the new file coded as (the coding parameters
// and segments are read from them again).
struct TJpegFile {
  std::vector<std::uint8_t> Bytes;
};

// ListJpeg: whether the file open in `page` is a JPEG page it flattens: 1
// for a grey or a YCbCr (or RGB) one, baseline or progressive, Huffman
// coded; 0 for a CMYK or YCCK one, or one coded arithmetically, with 12
// bits or losslessly; -1 for one that is not JPEG or is damaged; `why`
// says why. Reads the whole file into `file`, never writes.
std::int32_t ListJpeg(const TPageFile& page, TJpegFile& file, TRefusal& why);

// ReadJpeg: decodes the JPEG `file` that ListJpeg took as 1 into `image`,
// decoded with libjpeg's integer inverse DCT and its smooth upsampling (the
// same samples on every system): a grey page (Photometric 1), or a colour
// one decoded to RGB (Photometric 2) with its grey plane as ReadTiff sets
// it; StripCount is Height and RowsPerStrip 1. `reserve` is asked once, with the header and
// the bytes of the planes through the correction, before any plane grows.
// -1, with `why` saying why (nothing where `reserve` refused), for data
// that is damaged or cut short (a decoder warning counts as damage: it
// would fill in what is missing).
std::int32_t ReadJpeg(TMyImage& image, const TJpegFile& file,
                      const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                      TRefusal& why);

// WriteJpeg: encodes `image` as a complete JPEG file into the new file of
// `write` (from its start), coded as `file` was: its quantisation tables
// byte for byte, colour space, components and their sampling, restart
// interval, and progression (libjpeg's simple progression where it was
// progressive), each APPn and COM segment in its order after the start of
// the image; Huffman tables optimised for the page. The same samples give
// the same bytes on every system. Returns 1, or -1 (`write.Why` says why).
std::int32_t WriteJpeg(TSafeWrite& write, const TMyImage& image, const TJpegFile& file);
