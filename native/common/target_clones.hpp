// Function multi-versioning of the hot kernels: an AVX2 clone beside the baseline
// x86-64 one, chosen when the library loads. The clones are resolved through an ifunc,
// which needs GCC or Clang on x86-64, an ELF target and glibc; everywhere else (aarch64,
// musl, macOS, Windows) the kernels are built once for the baseline of the target.
// Both clones compute the same sums in the same order (no contraction, no fast-math).
#pragma once

#include <cstdlib>  // defines __GLIBC__ on glibc

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__) && defined(__ELF__) && defined(__GLIBC__)
#define VELMORA_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VELMORA_AVX2_CLONES
#endif
