#include "page_copy.h"

#include <vector>

std::int32_t CopyPage(const TPageFile& page, TSafeWrite& write) {
  std::vector<std::uint8_t> block(1 << 20);
  std::uint64_t at = 0;
  for (std::int64_t read; (read = ReadAt(page.Fd, block.data(), block.size(), at)) != 0;) {
    if (read < 0) return -1;
    for (std::int64_t put = 0, wrote; put < read; put += wrote) {
      wrote = WriteAt(write.TempFd, block.data() + put, static_cast<std::size_t>(read - put),
                      at + static_cast<std::uint64_t>(put));
      if (wrote <= 0) return -1;
    }
    at += static_cast<std::uint64_t>(read);
  }
  // The identity check before the rename sees any later change.
  return at == page.Opened.Size ? 1 : -1;
}
