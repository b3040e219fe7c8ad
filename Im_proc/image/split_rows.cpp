#include "split_rows.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

void SplitRows(std::uint32_t count, unsigned threads, std::uint32_t minimum,
               const std::function<void(std::uint32_t first, std::uint32_t end)>& work) {
  const std::uint32_t blocks =
      std::max(1u, std::min(threads, count / std::max(minimum, std::uint32_t{1})));
  const std::uint32_t size = count / blocks + (count % blocks != 0 ? 1 : 0);
  std::vector<std::thread> helpers;
  for (std::uint32_t b = 1; b < blocks; ++b) {
    const std::uint32_t first = b * size, end = std::min(count, (b + 1) * size);
    try {
      helpers.emplace_back(work, first, end);
    } catch (const std::system_error&) {
      work(first, end);  // no thread to be had: this one does the block
    }
  }
  work(0, std::min(count, size));
  for (std::thread& helper : helpers) helper.join();
}
