// The row kernels of the reconstruction: plain (a pixel at a time, on every
// target), SSE2 (16 pixels at a time, where the build targets it, as on
// every x86-64) and AVX2 (32 at a time, where the processor has it too).
// ReconstructBackground uses the widest the processor runs; the tests run
// each against a plain sweep of their own.
#pragma once

#include <cstdint>

#include "image.h"

enum class TRowKernel { Plain, Sse2, Avx2 };

// ProcessorRuns: whether this processor can run `kernel`.
bool ProcessorRuns(TRowKernel kernel);

// ReconstructBackgroundWith: ReconstructBackground with the kernel given,
// which the processor must run. Same bytes and counts with either.
std::uint32_t ReconstructBackgroundWith(TRowKernel kernel, const TMyImage& mask, TMyImage& marker,
                                        std::uint32_t* passCounts);
