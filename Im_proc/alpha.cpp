#include "alpha.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "split_rows.h"

std::uint32_t AlphaOf(const TMyImage& image) {
  const auto found = std::find(image.ExtraKinds.begin(), image.ExtraKinds.end(), 1);
  return found == image.ExtraKinds.end()
             ? 0
             : static_cast<std::uint32_t>(found - image.ExtraKinds.begin()) + 1;
}

namespace {

// Calls change(sample, alpha) for every image sample of the page, on threads.
template <class T, class TChange>
void EachSample(const TMyImage& image, const T* samples, unsigned threads, TChange change) {
  const std::uint32_t of = IsColour(image) ? 3 : 1;
  const std::size_t extras = image.ExtraKinds.size(), alpha = AlphaOf(image) - 1;
  SplitRows(PixelCount(image), threads, 1u << 16, [&](std::uint32_t first, std::uint32_t end) {
    for (std::uint32_t i = first; i < end; ++i) {
      T a;  // Extra holds bytes; a sample is read whole, whatever its alignment
      std::memcpy(&a, image.Extra.data() + (i * extras + alpha) * sizeof(T), sizeof(T));
      for (std::uint32_t c = 0; c < of; ++c) change(std::size_t{i} * of + c, samples, a);
    }
  });
}

}  // namespace

void DivideByAlpha(TMyImage& image, unsigned threads) {
  WithSamples(image, [&](auto zero) {
    using T = decltype(zero);
    T* samples = (IsColour(image) ? RgbOf(zero, image) : GrayOf(zero, image)).data();
    EachSample(image, samples, threads, [samples](std::size_t k, const T*, std::uint64_t a) {
      constexpr std::uint64_t White = std::numeric_limits<T>::max();
      if (a != 0) samples[k] = static_cast<T>(std::min(White, (samples[k] * White + a / 2) / a));
    });
  });
}

std::vector<std::uint8_t> MultipliedByAlpha(const TMyImage& image, unsigned threads) {
  return WithSamples(image, [&](auto zero) {
    using T = decltype(zero);
    const auto& plane = IsColour(image) ? RgbOf(zero, image) : GrayOf(zero, image);
    std::vector<std::uint8_t> bytes(plane.size() * sizeof(T));
    EachSample(image, plane.data(), threads,
               [&bytes](std::size_t k, const T* samples, std::uint64_t a) {
                 constexpr std::uint64_t White = std::numeric_limits<T>::max();
                 const auto product = static_cast<T>((samples[k] * a + White / 2) / White);
                 std::memcpy(bytes.data() + k * sizeof(T), &product, sizeof(T));
               });
    return bytes;
  });
}
