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
#include <cmath>
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
constexpr std::uint32_t CompressionLerc = 34887;

// The reader refuses pages larger than this: a few hundred bytes can
// declare (and, with JPEG or ZSTD, decode to) a page of a gigapixel, which
// is slow rather than interesting. Large pages are covered by the ordinary
// tests.
bool IsSmall(const TMyImage&, std::uint64_t planeBytes) {
  return planeBytes <= (std::uint64_t{25} << 20);
}

std::vector<std::uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Check(bool promise) {
  if (!promise) __builtin_trap();
}

// Tags come back as they were, but for what the tool says it normalises: a
// RATIONAL or SRATIONAL value passes through a 32-bit float, and a tag TIFF
// defines as RATIONAL is written as that, a value it cannot hold (negative,
// past 2^32 - 1, not a number) as 0.
bool SameTags(const std::vector<TCarriedTag>& before, const std::vector<TCarriedTag>& after) {
  const auto rational = [](std::uint32_t type) { return type == 5 || type == 10; };
  const auto same = [&](const TCarriedTag& a, const TCarriedTag& b) {
    if (!rational(a.Type) || !rational(b.Type) || a.Value.size() != b.Value.size()) return a == b;
    for (std::size_t at = 0; at + 4 <= a.Value.size(); at += 4) {
      float x, y;
      std::memcpy(&x, a.Value.data() + at, 4);
      std::memcpy(&y, b.Value.data() + at, 4);
      if (b.Type == 5 && !(x >= 0 && x <= 4294967295.0f)) x = 0;
      if (!(std::fabs(x - y) <= 1e-6f * std::max(1.0f, std::fabs(x)))) return false;
    }
    return a.Tag == b.Tag && a.Count == b.Count && a.Directory == b.Directory;
  };
  return std::equal(before.begin(), before.end(), after.begin(), after.end(), same);
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
                    i.StripCount, i.PlanarConfig, i.TileWidth, i.TileLength, i.ExtraKinds);
  };
  Check(OpenPage(path.c_str(), File) == 1 && ListPages(File, Pages) == 1);
  for (std::uint32_t k = 0, w = 0; k < Pages.Flattened.size(); ++k) {
    TMyImage Again;
    if (!Pages.Flattened[k]) continue;
    const TMyImage& Page = Written.at(w++);
    Check(ReadTiff(File, Again, IsSmall, 1, k) == 1 && header(Page) == header(Again) &&
          SameTags(Page.Tags, Again.Tags));
    if (Page.Compression != CompressionJpeg && Page.Compression != CompressionWebp) {
      // Colour divided by alpha comes back as the file holds it: multiplied.
      const std::size_t samples = std::size_t{PixelCount(Page)} * (IsColour(Page) ? 3 : 1);
      WithSamples(Page, [&](auto zero) {
        const auto& before = IsColour(Page) ? RgbOf(zero, Page) : GrayOf(zero, Page);
        const auto& after = IsColour(Page) ? RgbOf(zero, Again) : GrayOf(zero, Again);
        // Lossy LERC: each sample within the page's largest error.
        const auto near = [&Page](auto x, auto y) {
          return Page.Compression == CompressionLerc
                     ? std::abs(static_cast<double>(x) - static_cast<double>(y)) <=
                           Page.LercMaxZError
                     : x == y;
        };
        Check(after.size() >= samples &&
              (AlphaOf(Page) != 0
                   ? MultipliedByAlpha(Page, 1) == MultipliedByAlpha(Again, 1)
                   : std::equal(before.begin(), before.begin() + samples, after.begin(), near)));
      });
      Check(Page.Extra == Again.Extra);
    }
  }
  return 0;
}
