// Deterministic pages that look like scans: paper shaded towards the
// corners, lines of text, a dark scanner margin joined to the left edge and
// an enclosed dark blot; colour pages have yellowish paper, blue-black ink
// and a red stamp.
#pragma once

#include <cstdint>
#include <vector>

// SyntheticScan: pixel bytes of a width x height page, row by row, three
// interleaved samples (R, G, B) per pixel when `colour`, else one grey
// sample. The same arguments always give the same bytes; `seed` varies the
// text and the paper's grain.
std::vector<std::uint8_t> SyntheticScan(std::uint32_t width, std::uint32_t height, bool colour,
                                        std::uint32_t seed);

// How a page is laid out in its TIFF file.
struct TScanLayout {
  std::uint32_t Width = 0;
  std::uint32_t Height = 0;
  bool Colour = false;             // RGB, interleaved; grey (0 is black) otherwise
  std::uint16_t Compression = 1;   // TIFF compression code; 1 is none
  std::uint32_t RowsPerStrip = 0;  // written as given; 0: no tag, one strip
  double Dpi = 0;                  // 0: no resolution tags
  std::uint16_t Predictor = 1;     // 1: none; 2: horizontal differencing
  // JPEG: quality (0: libtiff's default, 75); WebP: level (100: lossless,
  // as tiffcp takes it); ZSTD, Deflate, LZMA: level or preset (0: the
  // codec's default). JPEG only: a colour page as YCbCr
  // subsampled this much both ways (0: RGB); the tables in every strip
  // rather than in the JPEGTables tag.
  int Quality = 0;
  std::uint16_t YCbCr = 0;
  bool TablesInStrips = false;
  std::uint32_t Tile = 0;    // tiles of this width and length (a multiple of 16); 0: strips
  bool Separate = false;     // colour samples in separate planes
  bool Big = false;          // a BigTIFF file
  bool Append = false;       // a page added to the end of the file there
  bool WhiteIsZero = false;  // grey with 0 white, showing the same image
  // 8 or 16 bits per sample. At 16 bits each sample is the 8-bit one times
  // 257, or with Fine, that plus a value from -128 to 128 (in 0 to 65535).
  std::uint16_t Bits = 8;
  bool Fine = false;
  // An alpha sample after the others, of this kind plus one (1: unspecified,
  // 2: the colour multiplied by it, 3: not); 0: none. Alpha is opaque but
  // in a band across the top of the page, where it falls from opaque to 0
  // left to right.
  std::uint16_t Alpha = 0;
  // LERC: the largest error a sample may take, and the further compression
  // of its blobs (0 none, 1 Deflate, 2 ZSTD).
  double MaxZError = 0;
  int LercFurther = 0;
  bool BigEndian = false;  // an MM file; II otherwise
  bool LsbFirst = false;   // FillOrder 2 (bits from the lowest); no FillOrder tag otherwise
  // Previews in SubIFDs after the page, each showing the page of its size
  // that SyntheticScan makes (seed 1).
  std::vector<TScanLayout> Previews = {};
};

// WriteScanTiff: writes `pixels` (row by row, as SyntheticScan makes them,
// the image the page shows, before any alpha) to a new TIFF file at `path`
// with libtiff alone, in the layout given.
// False when libtiff refused any step.
bool WriteScanTiff(const char* path, const TScanLayout& layout,
                   const std::vector<std::uint8_t>& pixels);

// WriteKeptPageTiff: adds to the file at `path` (made when missing) a page
// of a kind the tool copies as it is rather than flattening, from a grey
// page's pixels (as SyntheticScan makes them): bilevel (CCITT Group 4, 0
// white, dark below 128) or palette (LZW, a grey ramp as colour map). False
// when libtiff refused any step.
// With `preview`, the page has one in a SubIFD: every other pixel of every
// other row.
bool WriteKeptPageTiff(const char* path, std::uint32_t width, std::uint32_t height, bool palette,
                       const std::vector<std::uint8_t>& grey, bool preview = false);
