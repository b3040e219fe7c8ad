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

template <class T>
std::vector<std::uint32_t> PlainReconstruct(const std::vector<T>& mask, std::vector<T>& marker,
                                            std::uint32_t width, std::uint32_t height) {
  const std::int64_t W = width, N = W * height;
  const T* K = mask.data();
  T* M = marker.data();
  std::vector<std::uint32_t> counts;
  for (std::uint32_t previous = 0; counts.size() < 10;) {
    std::uint32_t count = 0;
    auto update = [&](std::int64_t j, T m) {
      M[j] = m > K[j] ? m : K[j];
      count += m > K[j];
    };
    for (std::int64_t j = W + 1; j <= N - 1; ++j) {
      update(j, std::min({M[j], M[j - 1], M[j - W - 1], M[j - W], M[j - W + 1]}));
    }
    for (std::int64_t j = N - W - 2; j >= 0; --j) {
      update(j, std::min({M[j], M[j + W - 1], M[j + W], M[j + W + 1], M[j + 1]}));
    }
    counts.push_back(count);
    if (count == previous) break;
    previous = count;
  }
  return counts;
}

template <class T>
std::vector<T> PlainFlatten(std::uint32_t W, std::uint32_t H, bool colour, std::vector<T> samples) {
  const unsigned white = std::numeric_limits<T>::max(), dark = 30 * (white / 255);
  const std::uint32_t P = W * H;
  std::vector<T> gray(P);
  for (std::uint32_t i = 0; i < P; ++i) {
    gray[i] =
        colour ? (T)PlainGrey(samples[3 * i], samples[3 * i + 1], samples[3 * i + 2]) : samples[i];
  }
  // Half size, darkest of each 2 x 2 block; the marker is the half-size
  // image on the frame and white inside.
  const std::uint32_t w = W / 2, h = H / 2;
  std::vector<T> half(std::size_t{w} * h), marker(half.size());
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint32_t i = 2 * y * W + 2 * x;
      half[y * w + x] = std::min({gray[i], gray[i + 1], gray[i + W], gray[i + W + 1]});
      const bool frame = x == 0 || y == 0 || x == w - 1 || y == h - 1;
      marker[y * w + x] = frame ? half[y * w + x] : (T)white;
    }
  }
  if (!half.empty()) PlainReconstruct(half, marker, w, h);

  // Back to full size (the last odd column and row repeat their neighbours;
  // no half-size pixel: white), then the division and the gain.
  for (std::uint32_t i = 0; i < P; ++i) {
    const std::uint32_t X = i % W, Y = i / W;
    const unsigned b =
        half.empty() ? white : marker[std::min(Y / 2, h - 1) * w + std::min(X / 2, w - 1)];
    const unsigned p = gray[i];
    const unsigned divided = b < dark ? white : p < b ? p * white / b : white;
    if (!colour) samples[i] = (T)divided;
    for (std::uint32_t c = 0; colour && c < 3; ++c) {
      const unsigned s = samples[3 * i + c] + (T)(divided - p);
      samples[3 * i + c] = (T)(s > white ? white : s);
    }
  }
  return samples;
}

template std::vector<std::uint32_t> PlainReconstruct(const std::vector<std::uint8_t>&,
                                                     std::vector<std::uint8_t>&, std::uint32_t,
                                                     std::uint32_t);
template std::vector<std::uint32_t> PlainReconstruct(const std::vector<std::uint16_t>&,
                                                     std::vector<std::uint16_t>&, std::uint32_t,
                                                     std::uint32_t);
template std::vector<std::uint8_t> PlainFlatten(std::uint32_t, std::uint32_t, bool,
                                                std::vector<std::uint8_t>);

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
