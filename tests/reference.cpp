#include "reference.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "harness.h"

unsigned PlainGrey(unsigned r, unsigned g, unsigned b) {
  // To a 64-bit significand: nothing to do where long double has one (the
  // hardware rounded already); where it has more, every product and sum
  // here was exact, and is rounded now.
  const auto extended = [](long double x) {
    if (std::numeric_limits<long double>::digits == 64) return x;
    int exponent = 0;
    const long double fraction = std::frexp(x, &exponent);
    return std::ldexp(std::nearbyint(std::ldexp(fraction, 64)), exponent - 64);
  };
  const long double sum = extended(extended(extended((long double)r * extended(0.299L)) +
                                            extended((long double)g * extended(0.587L))) +
                                   extended((long double)b * extended(0.114L)));
  return (unsigned)std::nearbyint(sum);
}

namespace {

template <class T>
std::vector<std::uint32_t> FlattenFile(std::uint32_t W, std::uint32_t H, bool colour,
                                       bool whiteIsZero,
                                       const std::vector<std::uint16_t>& extraKinds,
                                       std::vector<std::uint32_t> samples, bool paper) {
  const unsigned white = std::numeric_limits<T>::max();
  const std::size_t of = colour ? 3 : 1, all = of + extraKinds.size();
  const auto kind = std::find(extraKinds.begin(), extraKinds.end(), 1);
  const std::size_t alpha = of + (kind - extraKinds.begin());
  const bool associated = kind != extraKinds.end();
  // Divided by alpha as the file holds them, then the image shown.
  std::vector<T> shown;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (i % all >= of) continue;
    unsigned v = samples[i];
    const unsigned a = associated ? samples[i - i % all + alpha] : white;
    if (a != 0) v = std::min(white, (v * white + a / 2) / a);
    shown.push_back((T)(whiteIsZero ? white - v : v));
  }
  shown = paper ? PlainPaper(W, H, colour, shown) : PlainFlatten(W, H, colour, shown);
  for (std::size_t i = 0, k = 0; i < samples.size(); ++i) {
    if (i % all >= of) continue;
    const unsigned a = associated ? samples[i - i % all + alpha] : white;
    const unsigned v = whiteIsZero ? white - shown[k++] : shown[k++];
    samples[i] = (v * a + white / 2) / white;
  }
  return samples;
}

}  // namespace

std::vector<std::uint32_t> PlainFlattenFile(std::uint32_t W, std::uint32_t H, bool colour,
                                            unsigned bits, bool whiteIsZero,
                                            const std::vector<std::uint16_t>& extraKinds,
                                            const std::vector<std::uint32_t>& samples, bool paper) {
  return bits == 16
             ? FlattenFile<std::uint16_t>(W, H, colour, whiteIsZero, extraKinds, samples, paper)
             : FlattenFile<std::uint8_t>(W, H, colour, whiteIsZero, extraKinds, samples, paper);
}

std::vector<std::uint32_t> PlainPreview(const TFileInfo& page, const TFileInfo& preview) {
  const unsigned in = page.Photometric == 2 ? 3 : 1, out = preview.Photometric == 2 ? 3 : 1;
  std::vector<std::uint32_t> result;
  for (std::uint32_t y = 0; y < preview.Height; ++y) {
    for (std::uint32_t x = 0; x < preview.Width; ++x) {
      const std::uint64_t x0 = std::uint64_t{x} * page.Width / preview.Width;
      const std::uint64_t y0 = std::uint64_t{y} * page.Height / preview.Height;
      const std::uint64_t x1 = std::max(x0 + 1, std::uint64_t{x + 1} * page.Width / preview.Width);
      const std::uint64_t y1 =
          std::max(y0 + 1, std::uint64_t{y + 1} * page.Height / preview.Height);
      double mean[3] = {0, 0, 0};
      for (unsigned c = 0; c < in; ++c) {
        std::uint64_t sum = 0;
        for (std::uint64_t v = y0; v < y1; ++v)
          for (std::uint64_t u = x0; u < x1; ++u)
            sum += page.Samples[(v * page.Width + u) * in + c];
        mean[c] =
            std::floor(static_cast<double>(sum) / static_cast<double>((x1 - x0) * (y1 - y0)) + 0.5);
      }
      std::vector<unsigned> pixel(out, static_cast<unsigned>(mean[0]));
      if (in == 3 && out == 3) pixel = {unsigned(mean[0]), unsigned(mean[1]), unsigned(mean[2])};
      if (in == 3 && out == 1)
        pixel = {PlainGrey(unsigned(mean[0]), unsigned(mean[1]), unsigned(mean[2]))};
      for (unsigned v : pixel) {
        if (page.Bits == 16 && preview.Bits == 8) v = unsigned(std::floor(v * 255.0 / 65535 + 0.5));
        if (page.Bits == 8 && preview.Bits == 16) v *= 257;
        result.push_back(v);
      }
    }
  }
  return result;
}
