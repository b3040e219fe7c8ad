// The grey value of a colour pixel, R * 0.299 + G * 0.587 + B * 0.114, as
// the 80-bit extended precision of x87 computes it, so that pixels whose
// weighted sum lies at or next to .5 round as the output bytes require;
// worked out in integers, so every target gives the same value.
#pragma once

#include <cstdint>

// GrayOfRgb: the grey value of one pixel: the products and the sums
// ((R * 0.299) + (G * 0.587)) + (B * 0.114) each rounded to a 64-bit
// significand, the weights being the extended-precision values nearest to the
// decimals, and the sum rounded to the nearest integer, ties to even.
// Grey colours keep their value. The same for 8-bit and 16-bit samples
// (each at most 65535).
std::uint32_t GrayOfRgb(std::uint32_t r, std::uint32_t g, std::uint32_t b);

// RgbToGray: gray[k] = GrayOfRgb of the pixel at rgb[3k..3k+2], k < count.
void RgbToGray(const std::uint8_t* rgb, std::uint8_t* gray, std::uint32_t count);
void RgbToGray(const std::uint16_t* rgb, std::uint16_t* gray, std::uint32_t count);
