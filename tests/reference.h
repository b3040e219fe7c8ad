// A second, deliberately plain implementation of the correction, written
// the way it is explained, index by index, for the tests to check the tool's
// bytes against.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

// The grey value of a colour pixel in long double, each product and sum
// rounded to a 64-bit significand as x87 extended precision does: where long
// double has at least 64 bits and at most 113 (ExtendedPrecision).
constexpr bool ExtendedPrecision = std::numeric_limits<long double>::digits == 64 ||
                                   std::numeric_limits<long double>::digits == 113;
std::uint8_t PlainGrey(std::uint8_t r, std::uint8_t g, std::uint8_t b);

// The reconstruction as a sweep over every pixel, frame included (its
// neighbours wrap to other rows). Lowers `marker` in place; returns the
// count of each pass run.
std::vector<std::uint32_t> PlainReconstruct(const std::vector<std::uint8_t>& mask,
                                            std::vector<std::uint8_t>& marker, std::uint32_t width,
                                            std::uint32_t height);

// What the tool writes back for a width x height page of `samples` (row by
// row; three per pixel when `colour`).
std::vector<std::uint8_t> PlainFlatten(std::uint32_t width, std::uint32_t height, bool colour,
                                       std::vector<std::uint8_t> samples);
