// Reading a TIFF page into a TMyImage and writing it back (tiff_read.cpp,
// tiff_write.cpp). These and the units they use, libtiff's handles
// (tiff_handle), the carried tags (tiff_tags) and strip coding on threads
// (tiff_strips), are the only ones that talk to libtiff.
#pragma once

#include <cstdint>
#include <functional>

#include "image.h"
#include "safe_file.h"

// ReadTiff: loads the page open in `page` into `image`, reading through a
// descriptor of its own.
//
// Returns 1 when the page was read: the header fields hold the file's tag
// values (0 for a tag that the file lacks) and StripCount its number of
// strips; Gray holds the grey value of every pixel, in a plane of
// (Width * Height / 1024 + 1) * 1024 bytes; for RGB files Rgb holds the
// file's colour bytes (Width * Height * 3), and for grey files Rgb is left as
// it was.
//
// Returns -1 when the file cannot be opened or is not a page that the tool
// can write back exactly: accepted are single-image, strip-organised files
// with 8-bit unsigned samples, either grey with 0 black (one sample per
// pixel) or RGB (three interleaved samples), with at least one pixel, a
// colour plane under 4 GiB and resolutions that a TIFF rational can hold
// (from 2^-31 to below 2^32, or missing), and whose planes through the
// whole correction (about 6 bytes a pixel in colour, 3 in grey) `reserve`
// lets it take: it is asked once, with that number of bytes, before any
// plane grows. Any strip that does not decode completely is a
// failure too, and so is a strip table whose byte counts libtiff has to
// discard and guess, or JPEG data that the decoder reports damaged or cut
// short (it would fill in the rest). After -1 the record may hold part of
// a page.
//
// Memory for the planes is only touched as strips decode, so a header that
// declares a large page over little data fails without filling memory.
//
// Never writes to the file.
//
// With `threads` above 1, strips are decoded on that many threads, each
// with a libtiff handle of its own on the page's descriptor.
std::int32_t ReadTiff(const TPageFile& page, TMyImage& image,
                      const std::function<bool(std::uint64_t)>& reserve, unsigned threads = 1);

// WriteGrayTiff / WriteRgbTiff: rewrite `page` from the grey plane or the
// colour plane of `image`, with the record's header values (tags that hold 0
// are left out) and its strip layout: StripCount strips of RowsPerStrip rows,
// the last one holding the rows that remain.
//
// The new file is written beside the old one and renamed over it only when
// complete and on disk, and only while the page's name still names the file
// that was read (see safe_file.h), keeping the old file's permission bits,
// owner, user attributes and ACL, and every tag in `image.Tags`; a symbolic
// link stays a link to the rewritten file.
//
// The page's descriptor is closed once the replacement begins (Windows
// cannot replace a file open for reading).
//
// Returns 1 when the file was replaced. Returns -1 when it was not, leaving
// it byte-identical: it is read-only or no longer the file that was read, the record
// is inconsistent (planes too short, strip count not matching the rows), or
// libtiff or the system failed at any step (disk full, codec unable to
// encode). Never changes `image`.
//
// With `threads` above 1, strips of codecs that encode each strip on its own
// (LZW, Deflate, ZSTD, LZMA) are encoded on that many threads;
// the file's bytes are the same as with one.
std::int32_t WriteGrayTiff(TPageFile& page, const TMyImage& image, unsigned threads = 1);
std::int32_t WriteRgbTiff(TPageFile& page, const TMyImage& image, unsigned threads = 1);
