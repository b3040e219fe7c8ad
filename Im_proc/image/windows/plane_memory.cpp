// Windows gives large pages only to accounts holding a privilege that
// ordinary users lack, so planes there take ordinary memory.
#include "plane_memory.h"

#include <cstdlib>
#include <new>

void* TakePlaneMemory(std::size_t bytes) {
  void* memory = std::malloc(bytes == 0 ? 1 : bytes);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void GivePlaneMemory(void* memory, std::size_t) noexcept { std::free(memory); }
