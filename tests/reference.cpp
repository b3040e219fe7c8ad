#include "reference.h"

#include <algorithm>
#include <cmath>
#include <limits>

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
                                       std::vector<std::uint32_t> samples) {
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
  shown = PlainFlatten(W, H, colour, shown);
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
                                            const std::vector<std::uint32_t>& samples) {
  return bits == 16 ? FlattenFile<std::uint16_t>(W, H, colour, whiteIsZero, extraKinds, samples)
                    : FlattenFile<std::uint8_t>(W, H, colour, whiteIsZero, extraKinds, samples);
}
