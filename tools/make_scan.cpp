// make_scan: writes a synthetic scanned page as a TIFF file, for the demo,
// the tests' sample pages and the benchmark.
//
// Run alone (or with options it does not take) it prints its usage: each
// option and what it does.
//
// The same options always give the same file. Exit code 0 when written, 1
// on a usage error, 2 when the file could not be written.
#include <tiffio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "synthetic_scan.h"

namespace {

struct TOptions {
  bool colour = false;
  std::uint16_t compression = COMPRESSION_NONE;
  std::uint32_t width = 2480, height = 3508;
  std::uint32_t rowsPerStrip = 64;
  double dpi = 300;
  std::uint32_t seed = 1;
  int quality = 0;
  double maxZError = 0;
  bool bigEndian = false, lsbFirst = false;
  std::uint16_t bits = 8;
  std::uint16_t alpha = 0;  // the kind plus one; 0: none
  bool ycbcr = false, separate = false, append = false, noise = false;
  std::uint32_t tile = 0;
  const char* kept = nullptr;  // "bilevel" or "palette"
  const char* output = nullptr;
};

int Usage() {
  std::fputs(
      "usage: make_scan [OPTION]... OUTPUT.tif\n"
      "Writes a synthetic scanned page (shaded paper, text, a dark margin joined to\n"
      "the edge, an enclosed grey box; a red stamp in colour) as a TIFF file. The\n"
      "same options always give the same file.\n"
      "  -c          colour (RGB) page; grey otherwise\n"
      "  -n          noise instead of a scan: every sample random (no codec makes it smaller)\n"
      "  -b 8|16     bits per sample, 8 by default; a 16-bit page's samples are the\n"
      "              8-bit page's times 257\n"
      "  -A KIND     an alpha sample after the others, of this kind (0 unspecified, 1 the\n"
      "              colour multiplied by it, 2 not), opaque but in a band at the top\n"
      "  -z CODEC    compression: none (the default), lzw, deflate, packbits, jpeg, webp,\n"
      "              zstd, lzma or lerc\n"
      "  -q QUALITY  JPEG quality, 75 by default; the WebP level (100 lossless), ZSTD or\n"
      "              Deflate level, LZMA preset, the codec's default by default\n"
      "  -e ERROR    LERC's largest error a sample may take, 0 by default\n"
      "  -B          a big-endian (MM) file; little-endian otherwise\n"
      "  -f          bits filled from the lowest (FillOrder 2)\n"
      "  -y          a colour JPEG page in YCbCr with 2x2 subsampling, as scanners write\n"
      "  -t TILE     tiles of TILE x TILE pixels (a multiple of 16) instead of strips\n"
      "  -p          samples in separate planes (colour, or grey and alpha)\n"
      "  -a          the page is added to the end of OUTPUT.tif, as its next page\n"
      "  -k KIND     instead, a page the tool keeps as it is, bilevel (CCITT Group 4) or\n"
      "              palette, added to the end of OUTPUT.tif\n"
      "  -s WxH      size in pixels, 2480x3508 (A4 at 300 dpi) by default\n"
      "  -r ROWS     rows per strip, 64 by default; 0 for a single strip (no tag)\n"
      "  -d DPI      resolution in dots per inch, 300 by default\n"
      "  -S SEED     seed of the page's text and grain, 1 by default\n"
      "Exit status: 0 when written, 1 on a usage error, 2 when the file could not\n"
      "be written.\n",
      stderr);
  return 1;
}

bool ParseCompression(const char* name, std::uint16_t& compression) {
  const struct {
    const char* name;
    std::uint16_t value;
  } known[] = {{"none", COMPRESSION_NONE},
               {"lzw", COMPRESSION_LZW},
               {"deflate", COMPRESSION_ADOBE_DEFLATE},
               {"packbits", COMPRESSION_PACKBITS},
               {"jpeg", COMPRESSION_JPEG},
               {"webp", COMPRESSION_WEBP},
               {"zstd", COMPRESSION_ZSTD},
               {"lzma", COMPRESSION_LZMA},
               {"lerc", COMPRESSION_LERC}};
  for (const auto& k : known) {
    if (std::strcmp(name, k.name) == 0) {
      compression = k.value;
      return true;
    }
  }
  return false;
}

bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int c; (c = getopt(argc, argv, "cnb:A:z:q:e:Bfyt:pak:s:r:d:S:")) != -1;) {
    char* end = nullptr;
    switch (c) {
      case 'c':
        o.colour = true;
        break;
      case 'n':
        o.noise = true;
        break;
      case 'b':
        o.bits = static_cast<std::uint16_t>(std::strtoul(optarg, &end, 10));
        if (o.bits != 8 && o.bits != 16) return false;
        break;
      case 'A':
        o.alpha = static_cast<std::uint16_t>(std::strtoul(optarg, &end, 10) + 1);
        if (o.alpha > 3) return false;
        break;
      case 'z':
        if (!ParseCompression(optarg, o.compression)) return false;
        break;
      case 'q':
        o.quality = static_cast<int>(std::strtol(optarg, &end, 10));
        break;
      case 'e':
        o.maxZError = std::strtod(optarg, &end);
        break;
      case 'B':
        o.bigEndian = true;
        break;
      case 'f':
        o.lsbFirst = true;
        break;
      case 'y':
        o.ycbcr = true;
        break;
      case 't':
        o.tile = static_cast<std::uint32_t>(std::strtoul(optarg, &end, 10));
        break;
      case 'p':
        o.separate = true;
        break;
      case 'a':
        o.append = true;
        break;
      case 'k':
        o.kept = optarg;
        if (std::strcmp(optarg, "bilevel") != 0 && std::strcmp(optarg, "palette") != 0)
          return false;
        break;
      case 's':
        if (std::sscanf(optarg, "%ux%u", &o.width, &o.height) != 2) return false;
        break;
      case 'r':
        o.rowsPerStrip = static_cast<std::uint32_t>(std::strtoul(optarg, &end, 10));
        break;
      case 'd':
        o.dpi = std::strtod(optarg, &end);
        break;
      case 'S':
        o.seed = static_cast<std::uint32_t>(std::strtoul(optarg, &end, 10));
        break;
      default:
        return false;
    }
    if (end != nullptr && *end != '\0') return false;
  }
  if (optind + 1 != argc || o.width == 0 || o.height == 0 || o.dpi <= 0 || o.quality < 0 ||
      o.quality > 100 || o.tile % 16 != 0) {
    return false;
  }
  o.output = argv[optind];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) return Usage();
  std::vector<std::uint8_t> pixels = SyntheticScan(
      options.width, options.height, options.colour && options.kept == nullptr, options.seed);
  // -n: noise, which no codec makes smaller (for measuring memory at its worst).
  for (std::uint32_t state = options.seed | 1; std::uint8_t & v : pixels) {
    if (!options.noise) break;
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    v = static_cast<std::uint8_t>(state >> 24);
  }
  if (options.kept != nullptr) {
    if (!WriteKeptPageTiff(options.output, options.width, options.height, options.kept[0] == 'p',
                           pixels)) {
      std::fprintf(stderr, "make_scan: cannot write %s\n", options.output);
      return 2;
    }
    return 0;
  }
  TScanLayout layout;
  layout.Width = options.width;
  layout.Height = options.height;
  layout.Colour = options.colour;
  layout.Compression = options.compression;
  layout.RowsPerStrip = options.rowsPerStrip;
  layout.Dpi = options.dpi;
  layout.Quality = options.quality;
  layout.YCbCr = options.ycbcr ? 2 : 0;
  layout.Tile = options.tile;
  layout.Separate = options.separate;
  layout.Append = options.append;
  layout.Bits = options.bits;
  layout.Alpha = options.alpha;
  layout.MaxZError = options.maxZError;
  layout.BigEndian = options.bigEndian;
  layout.LsbFirst = options.lsbFirst;
  if (!WriteScanTiff(options.output, layout, pixels)) {
    std::fprintf(stderr, "make_scan: cannot write %s\n", options.output);
    return 2;
  }
  return 0;
}
