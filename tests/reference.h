// A second, deliberately plain implementation of the correction, written
// the way it is explained, index by index, for the tests to check the tool's
// bytes against. T is std::uint8_t (255 white) or std::uint16_t (65535).
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

// The grey value of a colour pixel in long double, each product and sum
// rounded to a 64-bit significand as x87 extended precision does: where long
// double has at least 64 bits and at most 113 (ExtendedPrecision).
constexpr bool ExtendedPrecision = std::numeric_limits<long double>::digits == 64 ||
                                   std::numeric_limits<long double>::digits == 113;
unsigned PlainGrey(unsigned r, unsigned g, unsigned b);

// The reconstruction as a sweep over every pixel, frame included (its
// neighbours wrap to other rows). Lowers `marker` in place; returns the
// count of each pass run.
template <class T>
std::vector<std::uint32_t> PlainReconstruct(const std::vector<T>& mask, std::vector<T>& marker,
                                            std::uint32_t width, std::uint32_t height);

// What the tool writes back for a width x height page of `samples` (row by
// row; three per pixel when `colour`).
template <class T>
std::vector<T> PlainFlatten(std::uint32_t width, std::uint32_t height, bool colour,
                            std::vector<T> samples);

// The same for a page's samples as its file holds them (`bits` 8 or 16,
// 0 white when `whiteIsZero`, the extra samples of `extraKinds` after the
// image's in each pixel): the image it shows flattened (colour multiplied
// by an alpha of kind 1 divided by it first, and multiplied again after),
// the extra samples as they were.
std::vector<std::uint32_t> PlainFlattenFile(std::uint32_t width, std::uint32_t height, bool colour,
                                            unsigned bits, bool whiteIsZero,
                                            const std::vector<std::uint16_t>& extraKinds,
                                            const std::vector<std::uint32_t>& samples);
