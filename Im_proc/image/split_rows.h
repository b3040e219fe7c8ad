// Splitting a pass over a plane between threads: each takes a block of
// whole rows (or pixels), so that the result is the same whatever the
// number of threads.
#pragma once

#include <cstdint>
#include <functional>

// SplitRows: calls work(first, end) for consecutive blocks covering 0 to
// count - 1, at most `threads` of them, each on a thread of its own (the
// first in the calling thread), and returns once all are done. One thread,
// or a count under `minimum` per thread, does it all in one call.
void SplitRows(std::uint32_t count, unsigned threads, std::uint32_t minimum,
               const std::function<void(std::uint32_t first, std::uint32_t end)>& work);
