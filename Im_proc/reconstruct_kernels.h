// The two row kernels of the reconstruction, SSE2 (16 pixels at a time, on
// every x86-64) and AVX2 (32 at a time, where the processor has it).
// ReconstructBackground uses the widest the processor runs; the tests run
// each against the plain sweep.
#pragma once

#include <cstdint>

#include "image.h"

enum class TRowKernel { Sse2, Avx2 };

// ProcessorRuns: whether this processor can run `kernel`.
bool ProcessorRuns(TRowKernel kernel);

// ReconstructBackgroundWith: ReconstructBackground with the kernel given,
// which the processor must run. Same bytes and counts with either.
std::uint32_t ReconstructBackgroundWith(TRowKernel kernel, const TMyImage& mask, TMyImage& marker,
                                        std::uint32_t* passCounts);
