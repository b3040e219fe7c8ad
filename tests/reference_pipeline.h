// A second, deliberately plain implementation of the whole correction, kept
// for the tests: every step written the way it is explained, index by index,
// with no shortcut, so that the tool's output can be checked against it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

// The reconstruction as a sweep over every pixel: forward from index W + 1,
// backward from N - W - 2, frame pixels included (their neighbours wrap to
// other rows). Lowers `marker` in place; returns the count of each pass run.
std::vector<std::uint32_t> PlainReconstruct(const std::vector<std::uint8_t>& mask,
                                            std::vector<std::uint8_t>& marker, std::uint32_t width,
                                            std::uint32_t height);

// Reads the page at `path` and computes what the tool writes back: the
// corrected grey plane, or for RGB pages the corrected colour plane.
// False when the page is not an 8-bit grey or RGB strip image.
bool ReferenceFlatten(const std::filesystem::path& path, std::vector<std::uint8_t>& expected);
