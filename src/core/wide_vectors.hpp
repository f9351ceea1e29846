// BRELVOX_WIDE_VECTORS on a kernel: an AVX2 clone besides the baseline one, picked at load
// time where the processor has it. Results are the same bit for bit: no fused multiply-add
// is enabled, and every operation is rounded as in the baseline build.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define BRELVOX_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define BRELVOX_WIDE_VECTORS
#endif
