// The PNG binding (Im_proc/png/): reading a PNG file into a TMyImage and
// writing it back in a new file, every chunk that is not the image's own
// kept as it was, in its place. Its units are the only ones that include
// libpng's header. It uses the image record and the safe replacement of
// files; the driver sees only this header.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "image.h"
#include "refusal.h"
#include "safe_file.h"

// TPngFile: what a PNG file holds besides its samples, to be read and
// written back: its header's size, bit depth and colour type, its
// interlacing, and each chunk other than IHDR, IDAT and IEND as the file
// holds it (length, type, data and CRC), in order, those before the image
// data and those after it.
struct TPngFile {
  std::uint32_t Width = 0, Height = 0;
  std::uint8_t Depth = 0, ColourType = 0;
  bool Interlaced = false;
  std::vector<std::vector<std::uint8_t>> Before, After;
};

// ListPng: whether the file open in `page` is a PNG page it flattens: 1,
// with `file` holding its header and chunks; 0 for a PNG file of a kind it
// does not (a palette image, one of 1, 2 or 4 bits, one with a transparent
// colour, which would fall on other pixels once flattened, an animated
// one, one with a chunk unknown here whose name says it may not be copied
// into a changed image), -1 for one that is not PNG or is damaged, with
// `why` saying why. Reads the header and the chunks kept, never writes.
std::int32_t ListPng(const TPageFile& page, TPngFile& file, TRefusal& why);

// ReadPng: loads the PNG file open in `page`, which ListPng took as 1 into
// `file`, into `image`, reading through its descriptor, never writing.
//
// Returns 1 when it was read: a grey (Photometric 1) or RGB (2) page of 8
// or 16 bits a sample, 16-bit samples in host order, as ReadTiff leaves
// them (Gray holding the grey value of every pixel, in a plane of
// (Width * Height / 1024 + 1) * 1024 samples, and Rgb the colour); an
// alpha sample goes to Extra as an unassociated alpha (ExtraKinds {2}),
// untouched by the correction. StripCount is Height and RowsPerStrip 1: a
// row at a time is what decoding and encoding hold. `reserve` is asked
// once, with the header and the bytes of the planes through the whole
// correction, before any plane grows.
//
// Returns -1, with `why` saying why, for image data that is damaged or cut
// short; nothing in `why` when `reserve` refused it.
std::int32_t ReadPng(const TPageFile& page, TMyImage& image, TPngFile& file,
                     const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                     TRefusal& why);

// WritePng: writes `image` as a complete PNG file into the new file of
// `write` (from its start): IHDR as read, then the chunks before the image
// data, the image data (zlib's default level and libpng's default filters,
// interlaced where the file was), the chunks after it, and IEND. The same
// samples give the same bytes on every system. Returns 1, or -1 when
// libpng or the system failed (`write.Why` says so where the system did).
std::int32_t WritePng(TSafeWrite& write, const TMyImage& image, const TPngFile& file);
