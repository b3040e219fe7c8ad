// Fuzz target: any bytes, saved as a page, go through the reader; what it
// accepts goes through the whole correction and is written back in place.
//
// Besides the sanitizers, it checks the promises a user relies on and traps
// when one breaks:
//   - a page that was not written back is byte-identical to the input;
//   - a page that was written back (losslessly compressed) reads again as
//     exactly the corrected pixels, with the same header and tags.
#include <tiffio.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "flatten.h"
#include "image.h"
#include "reconstruct.h"
#include "resample.h"
#include "tiff_io.h"

namespace {

// Lossy by default in libtiff: read-back pixels differ.
constexpr std::uint32_t CompressionJpeg = 7;
constexpr std::uint32_t CompressionWebp = 50001;

// The reader refuses pages larger than this: a few hundred bytes can
// declare (and, with JPEG or ZSTD, decode to) a page of a gigapixel, which
// is slow rather than interesting. Large pages are covered by the ordinary
// tests.
bool IsSmall(std::uint64_t planeBytes) { return planeBytes <= (std::uint64_t{25} << 20); }

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Check(bool promise) {
  if (!promise) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One page per process, in its own name.
  static const std::string path = "valdrane-fuzz-" + std::to_string(getpid()) + ".tif";
  struct TRemove {
    ~TRemove() { std::remove(path.c_str()); }
  } remove;
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

  TMyImage Page;
  TPageFile File;
  if (OpenPage(path.c_str(), File) != 1 || ReadTiff(File, Page, IsSmall) != 1) {
    Check(ReadAll(path) == std::vector<std::uint8_t>(data, data + size));
    return 0;
  }
  // The page's road, as the batch driver takes it.
  TMyImage Reduced = DownscaleMin(Page);
  TMyImage Background = MakeBorderSeed(Reduced);
  ReconstructBackground(Reduced, Background);
  Background = UpscaleNearest(Background, Page);
  Reduced = CopyImage(Page);
  DivideByBackground(Page, Background);
  const bool colour = Page.Photometric == 2;
  if (colour) {
    SubtractImage(Page, Reduced);
    AddGainToRgb(Page);
  }
  const std::int32_t written = colour ? WriteRgbTiff(File, Page) : WriteGrayTiff(File, Page);
  if (written != 1) {
    Check(ReadAll(path) == std::vector<std::uint8_t>(data, data + size));
    return 0;
  }

  TMyImage Again;
  Check(OpenPage(path.c_str(), File) == 1 && ReadTiff(File, Again, IsSmall) == 1);
  const auto header = [](const TMyImage& i) {
    return std::tie(i.Width, i.Height, i.BitsPerSample, i.SamplesPerPixel, i.Compression,
                    i.Photometric, i.RowsPerStrip, i.XResolution, i.YResolution, i.ResolutionUnit,
                    i.StripCount, i.PlanarConfig, i.Tags);
  };
  Check(header(Page) == header(Again));
  if (Page.Compression != CompressionJpeg && Page.Compression != CompressionWebp) {
    const std::size_t bytes = std::size_t{PixelCount(Page)} * (colour ? 3 : 1);
    const TPlane& before = colour ? Page.Rgb : Page.Gray;
    const TPlane& after = colour ? Again.Rgb : Again.Gray;
    Check(std::memcmp(before.data(), after.data(), bytes) == 0);
  }
  return 0;
}
