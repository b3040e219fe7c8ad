// A grey image record made from its pixels, for the tests of the operations,
// and comparisons of planes with plain byte vectors.
#pragma once

#include <algorithm>
#include <vector>

#include "image.h"

inline TMyImage GreyImage(std::uint32_t width, std::uint32_t height,
                          const std::vector<std::uint8_t>& pixels) {
  TMyImage image;
  image.Width = width;
  image.Height = height;
  image.Photometric = 1;
  image.Gray.assign(pixels.begin(), pixels.end());
  return image;
}

inline std::vector<std::uint8_t> Bytes(const TPlane& plane) { return {plane.begin(), plane.end()}; }

inline bool operator==(const TPlane& plane, const std::vector<std::uint8_t>& bytes) {
  return std::equal(plane.begin(), plane.end(), bytes.begin(), bytes.end());
}
