#include "plane_memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

void* TakePlaneMemory(std::size_t bytes) {
  if (bytes < PlaneLargePage) {
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
  }
  // aligned_alloc wants a multiple of the alignment; the rounding is only
  // address space, never touched.
  const std::size_t rounded = (bytes + PlaneLargePage - 1) / PlaneLargePage * PlaneLargePage;
  void* memory = std::aligned_alloc(PlaneLargePage, rounded);
  if (memory == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  // Advice only: a system without large pages, or one that declines, gives
  // ordinary pages, which are as correct and only slower to touch.
  (void)madvise(memory, bytes / PlaneLargePage * PlaneLargePage, MADV_HUGEPAGE);
#endif
  return memory;
}

void GivePlaneMemory(void* memory, std::size_t) noexcept { std::free(memory); }
