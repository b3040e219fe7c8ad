// The TIFF binding (Im_proc/tiff/): reading a TIFF page into a TMyImage
// and writing it back (tiff_read.cpp, tiff_write.cpp), and copying the pages
// left as they are (tiff_copy.cpp). Its units are the only ones that include
// libtiff's headers: libtiff's handles and raw blocks (tiff_handle), the
// tags a page carries (tiff_tags), strips and tiles decoded and encoded on
// threads (tiff_blocks), the codecs' settings (tiff_codec, tiff_jpeg, and the
// streams read without libtiff: jpeg_quality, codec_streams). It uses the
// image record and the safe replacement of files; the driver sees only this
// header.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image.h"
#include "safe_file.h"

// ReadTiff: loads page `directory` (0 the first) of the file open in
// `page` into `image`, reading through a descriptor of its own.
//
// Returns 1 when the page was read: the header fields hold the file's tag
// values (0 for a tag that the file lacks) and StripCount its number of
// strips; Gray holds the grey value of every pixel, in a plane of
// (Width * Height / 1024 + 1) * 1024 bytes; for RGB files Rgb holds the
// file's colour bytes (Width * Height * 3), and for grey files Rgb is left as
// it was.
//
// Returns -1 when the file cannot be opened or is not a page that the tool
// can write back exactly: accepted are pages in strips or tiles with 8-bit
// unsigned samples, either grey with 0 black (one sample per pixel) or RGB
// (three samples, interleaved or in separate planes) or YCbCr JPEG
// (decoded to RGB), with at least one pixel, a
// colour plane under 4 GiB and resolutions that a TIFF rational can hold
// (from 2^-31 to below 2^32, or missing), and whose planes through the
// whole correction (about 6 bytes a pixel in colour, 3 in grey) `reserve`
// lets it take: it is asked once, with the page's header and that number
// of bytes, before any plane grows. Any strip that does not decode completely is a
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
// With `threads` above 1, strips or tiles are decoded on that many threads,
// each with a libtiff handle of its own on the page's descriptor.
//
// After -1, `why` (when given) says why, as the line that reports it does:
// "damaged strip 12", "not a TIFF file (it is a PDF)", ...; nothing when
// `reserve` refused the page, which its caller knows better.
std::int32_t ReadTiff(const TPageFile& page, TMyImage& image,
                      const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                      unsigned threads = 1, std::uint32_t directory = 0, TRefusal* why = nullptr);

// CodingBytesPerThread: what each thread that decodes or encodes the blocks
// of a page with this header holds besides the planes: a block in a scratch
// buffer and in its file in memory, the blocks held back for their turn
// (about two a thread), the table of the blocks' places and lengths of its
// libtiff handle, and the codec's own state (ZSTD at level 9 and LZMA at
// preset 6, libtiff's defaults, keep over 10 MB a thread). No more threads
// than the page has blocks work on it.
std::uint64_t CodingBytesPerThread(const TMyImage& header);

// TTiffFile: the pages of a TIFF file, the main chain of its directories in
// order: whether each is one ReadTiff takes (else it is copied as it is),
// whether the file is BigTIFF and big-endian (MM), and the bytes its pages'
// samples and copied blocks come to.
struct TTiffFile {
  std::vector<bool> Flattened;
  bool BigTiff = false;
  bool BigEndian = false;
  std::uint64_t Bytes = 0;
  TRefusal Why;  // after ListPages' 0 or -1: why the file is not flattened
};

// ListPages: the pages of the file open in `page`. Returns 1 when at least
// one of them is of a kind the tool flattens; 0 when none is (bilevel,
// palette, CMYK pages, ...); -1 when the file is not a TIFF file, or a
// directory of the chain cannot be read, or libtiff has to guess a strip
// table. Never writes to the file.
std::int32_t ListPages(const TPageFile& page, TTiffFile& file);

// TTiffOutput: a new file being written beside a page, page by page, and
// then put in its place at once. An output not finished is abandoned when
// the record goes: the page stays as it was.
struct TTiffWriter;
struct TTiffOutput {
  TSafeWrite Write;
  TTiffWriter* Writer = nullptr;
  TTiffOutput() = default;
  TTiffOutput(const TTiffOutput&) = delete;
  TTiffOutput& operator=(const TTiffOutput&) = delete;
  ~TTiffOutput();
};

// BeginTiffOutput: starts the new file beside `page`, or at `target` when
// one is given (see BeginSafeWrite), in the file's byte order: BigTIFF when
// the file was, or when its pages come near what a classic TIFF can address
// (3.75 GiB). Returns 1, or
// -1 with nothing left behind.
std::int32_t BeginTiffOutput(const TPageFile& page, const TTiffFile& file, TTiffOutput& output,
                             const TOutputPlace* target = nullptr);

// WriteTiffPage: adds `image` to the new file as its next page, from its
// grey plane or its colour plane, with the record's header values (tags
// that hold 0 are left out), its layout (StripCount strips of RowsPerStrip
// rows, or tiles of TileWidth x TileLength; separate planes or not) and
// every tag in `image.Tags`. Never changes `image`. With `threads` above 1,
// blocks of codecs that encode each on its own (LZW, Deflate, ZSTD, LZMA)
// are encoded on that many threads; the file's bytes are the same as with
// one. Returns 1, or -1 when the record is inconsistent (planes too short,
// a block count not matching its layout) or libtiff or the system failed.
std::int32_t WriteTiffPage(TTiffOutput& output, const TMyImage& image, unsigned threads = 1);

// CopyTiffPage: adds page `directory` of the file open in `page` to the new
// file as it is: its compressed strips or tiles, its layout and its tags
// (those a flattened page keeps, and the ones that describe its coding:
// predictor, colour map, extra samples, JPEG tables, fax options, sample
// range). Returns 1, or -1 when it cannot be copied exactly so.
std::int32_t CopyTiffPage(TTiffOutput& output, const TPageFile& page, std::uint32_t directory);

// FinishTiffOutput: completes the new file, closes `page` (reading is over)
// and puts the new file in its place, only while that place holds what it
// held when the output began (see CommitSafeWrite). Returns 1 when the
// page now holds the new file; -1 otherwise, with the page untouched.
std::int32_t FinishTiffOutput(TTiffOutput& output, TPageFile& page);

// WriteGrayTiff / WriteRgbTiff: rewrite a file of one page, `page`, from
// the grey plane or the colour plane of `image`, as WriteTiffPage writes it,
// in a classic TIFF file (BigTIFF past 3.75 GiB of samples).
//
// The new file is written beside the old one and renamed over it only when
// complete and on disk, and only while the page's name still names the file
// that was read (see safe_file.h), keeping the old file's permission bits,
// owner, user attributes and ACL, and every tag in `image.Tags`; a symbolic
// link stays a link to the rewritten file.
//
// The page's descriptor is closed before the replacement (Windows cannot
// replace a file open for reading).
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
