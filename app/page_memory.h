// What a page in flight is counted for in the run's memory budget.
#pragma once

#include <cstdint>

#include "image.h"

// PageMemory: the bytes a page with this header holds at its peak: its
// planes through the correction (`planes`, as the reader counts them), what
// each of `threads` threads holds to decode or encode its blocks, and with
// `paper`, what the correction against the paper holds more.
std::uint64_t PageMemory(const TMyImage& header, std::uint64_t planes, unsigned threads,
                         bool paper);
