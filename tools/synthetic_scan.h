// Deterministic pages that look like scans: paper shaded towards the
// corners, lines of text, a dark scanner margin joined to the left edge and
// an enclosed dark blot; colour pages have yellowish paper, blue-black ink
// and a red stamp.
#pragma once

#include <cstdint>
#include <vector>

// SyntheticScan: pixel bytes of a width x height page, row by row, three
// interleaved samples (R, G, B) per pixel when `colour`, else one grey
// sample. The same arguments always give the same bytes; `seed` varies the
// text and the paper's grain.
std::vector<std::uint8_t> SyntheticScan(std::uint32_t width, std::uint32_t height, bool colour,
                                        std::uint32_t seed);
