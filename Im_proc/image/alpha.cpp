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

// For every image sample s of the page (as the file holds it: a page with
// 0 white holds W - v for the v its plane holds) and its pixel's alpha a,
// calls put(k, change(s, a)) with k the sample's index in the plane, on
// threads; put receives the sample as the plane holds it.
template <class T, class TChange, class TPut>
void EachSample(const TMyImage& image, const T* samples, unsigned threads, TChange change,
                TPut put) {
  const std::uint32_t of = IsColour(image) ? 3 : 1;
  const std::size_t extras = image.ExtraKinds.size(), alpha = AlphaOf(image) - 1;
  // W - v is every bit of v flipped.
  const T flip = image.Photometric == 0 ? std::numeric_limits<T>::max() : 0;
  SplitRows(PixelCount(image), threads, 1u << 16, [&](std::uint32_t first, std::uint32_t end) {
    for (std::uint32_t i = first; i < end; ++i) {
      T a;  // Extra holds bytes; a sample is read whole, whatever its alignment
      std::memcpy(&a, image.Extra.data() + (i * extras + alpha) * sizeof(T), sizeof(T));
      for (std::size_t k = std::size_t{i} * of; k < (std::size_t{i} + 1) * of; ++k) {
        put(k, static_cast<T>(change(std::uint64_t{static_cast<T>(samples[k] ^ flip)}, a) ^ flip));
      }
    }
  });
}

}  // namespace

void DivideByAlpha(TMyImage& image, unsigned threads) {
  WithSamples(image, [&](auto zero) {
    using T = decltype(zero);
    constexpr std::uint64_t White = std::numeric_limits<T>::max();
    T* samples = (IsColour(image) ? RgbOf(zero, image) : GrayOf(zero, image)).data();
    EachSample(
        image, samples, threads,
        [=](std::uint64_t c, std::uint64_t a) {
          return a == 0 ? c : std::min(White, (c * White + a / 2) / a);
        },
        [samples](std::size_t k, T value) { samples[k] = value; });
  });
}

std::vector<std::uint8_t> MultipliedByAlpha(const TMyImage& image, unsigned threads) {
  return WithSamples(image, [&](auto zero) {
    using T = decltype(zero);
    constexpr std::uint64_t White = std::numeric_limits<T>::max();
    const auto& plane = IsColour(image) ? RgbOf(zero, image) : GrayOf(zero, image);
    std::vector<std::uint8_t> bytes(plane.size() * sizeof(T));
    EachSample(
        image, plane.data(), threads,
        [=](std::uint64_t c, std::uint64_t a) { return (c * a + White / 2) / White; },
        [&bytes](std::size_t k, T value) {
          std::memcpy(bytes.data() + k * sizeof(T), &value, sizeof(T));
        });
    return bytes;
  });
}
