// Deterministic pages that look like scans: shaded paper, lines of text, a
// dark scanner margin joined to the left edge and an enclosed dark blot.
#pragma once

#include <cstdint>
#include <vector>

// Pixel bytes of a width x height page, row by row; three interleaved
// samples per pixel when `colour`, else one.
std::vector<std::uint8_t> SyntheticScan(std::uint32_t width, std::uint32_t height, bool colour,
                                        std::uint32_t seed);
