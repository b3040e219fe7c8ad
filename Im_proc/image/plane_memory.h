// Where the memory of a plane comes from: large planes are laid out so that
// the operating system can back them with large pages where it offers them,
// which turns the first touch of a page-sized plane from thousands of page
// faults into a few. One implementation file per operating system.
#pragma once

#include <cstddef>

// TakePlaneMemory: `bytes` of memory, its contents unset, aligned for any
// sample type; throws std::bad_alloc when there is none. Large requests
// (PlaneLargePage bytes or more) are aligned to PlaneLargePage and, where
// the system allows it, asked to be backed by large pages; only the whole
// large pages of a request are, so no more memory is ever resident than
// the bytes written.
void* TakePlaneMemory(std::size_t bytes);

// GivePlaneMemory: hands back what TakePlaneMemory(bytes) gave.
void GivePlaneMemory(void* memory, std::size_t bytes) noexcept;

// The size of a large page where planes may use one (2 MiB).
constexpr std::size_t PlaneLargePage = std::size_t{1} << 21;
