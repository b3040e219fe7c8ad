// What the processor the program runs on can do, for the kernels that are
// chosen when it runs.
#pragma once

// HasAvx2: whether this processor runs AVX2 code; false off x86.
inline bool HasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}
