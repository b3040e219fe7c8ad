// Fuzz target: any bytes, saved as a file, go through the reader; each page
// it accepts goes through the whole correction, the others are copied, and
// the file is written back in place.
//
// Besides the sanitizers, it checks the promises a user relies on and traps
// when one breaks:
//   - a page that was not written back is byte-identical to the input;
//   - a file that was written back has every page it flattened read again
//     with the same header and tags, and (losslessly compressed) exactly the
//     corrected pixels (multiplied by alpha where the file holds them so)
//     and extra samples.
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "alpha.h"
#include "correction.h"
#include "image.h"
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

  // The file's road, as the batch driver takes it: each page flattened or
  // copied into a new file that replaces it.
  TPageFile File;
  TTiffFile Pages;
  TTiffOutput Output;
  std::vector<TMyImage> Written;
  bool ok = OpenPage(path.c_str(), File) == 1 && ListPages(File, Pages) == 1 &&
            BeginTiffOutput(File, Pages, Output) == 1;
  for (std::uint32_t k = 0; ok && k < Pages.Flattened.size(); ++k) {
    TMyImage Page;
    if (!Pages.Flattened[k]) {
      ok = CopyTiffPage(Output, File, k) == 1;
      continue;
    }
    ok = ReadTiff(File, Page, IsSmall, 1, k) == 1;
    if (!ok) break;
    FlattenPage(Page);
    ok = WriteTiffPage(Output, Page) == 1;
    Written.push_back(std::move(Page));
  }
  if (!ok || FinishTiffOutput(Output, File) != 1) {
    Check(ReadAll(path) == std::vector<std::uint8_t>(data, data + size));
    return 0;
  }

  // Every flattened page reads again as it was written.
  const auto header = [](const TMyImage& i) {
    return std::tie(i.Width, i.Height, i.BitsPerSample, i.SamplesPerPixel, i.Compression,
                    i.Photometric, i.RowsPerStrip, i.XResolution, i.YResolution, i.ResolutionUnit,
                    i.StripCount, i.PlanarConfig, i.TileWidth, i.TileLength, i.ExtraKinds, i.Tags);
  };
  Check(OpenPage(path.c_str(), File) == 1 && ListPages(File, Pages) == 1);
  for (std::uint32_t k = 0, w = 0; k < Pages.Flattened.size(); ++k) {
    TMyImage Again;
    if (!Pages.Flattened[k]) continue;
    const TMyImage& Page = Written.at(w++);
    Check(ReadTiff(File, Again, IsSmall, 1, k) == 1 && header(Page) == header(Again));
    if (Page.Compression != CompressionJpeg && Page.Compression != CompressionWebp) {
      // Colour divided by alpha comes back as the file holds it: multiplied.
      const std::size_t samples = std::size_t{PixelCount(Page)} * (IsColour(Page) ? 3 : 1);
      WithSamples(Page, [&](auto zero) {
        const auto& before = IsColour(Page) ? RgbOf(zero, Page) : GrayOf(zero, Page);
        const auto& after = IsColour(Page) ? RgbOf(zero, Again) : GrayOf(zero, Again);
        Check(after.size() >= samples &&
              (AlphaOf(Page) != 0
                   ? MultipliedByAlpha(Page, 1) == MultipliedByAlpha(Again, 1)
                   : std::equal(before.begin(), before.begin() + samples, after.begin())));
      });
      Check(Page.Extra == Again.Extra);
    }
  }
  return 0;
}
