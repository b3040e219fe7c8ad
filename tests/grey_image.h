// A grey image record made from its pixels, for the tests of the operations.
#pragma once

#include <vector>

#include "image.h"

inline TMyImage GreyImage(std::uint32_t width, std::uint32_t height,
                          std::vector<std::uint8_t> pixels) {
  TMyImage image;
  image.Width = width;
  image.Height = height;
  image.Photometric = 1;
  image.Gray = std::move(pixels);
  return image;
}
