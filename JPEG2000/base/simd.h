// Hot loops compiled twice on x86-64 (GCC on Linux): once for the baseline
// and once for AVX2, the variant chosen at load time.  Elsewhere the mark is
// empty and the plain loop is used, as it is under ThreadSanitizer: the
// load-time choosers would run before its runtime is set up.
#ifndef JPEG2000_BASE_SIMD_H
#define JPEG2000_BASE_SIMD_H

// WIDE_CLONES adds a third, AVX-512 (16 floats a step), for the float loops
// that are bound by their arithmetic, such as the 9/7 synthesis.  AVX-512F
// has fused multiply-adds of its own: the codec is compiled without
// contraction (JPEG2000/CMakeLists.txt), so all clones give the same bits.
//
// PASS_CLONES marks, the same way, the MQ coding passes of tier-1, never
// inlined: once for the baseline and once for processors with BMI2 and
// LZCNT, whose shifts by a count in a register and leading-zero count take
// a single step in the renormalization of every decision.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__) && \
    !defined(__SANITIZE_THREAD__)
#define HOT_CLONES __attribute__((target_clones("avx2", "default")))
#define WIDE_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#define PASS_CLONES __attribute__((noinline, target_clones("arch=x86-64-v3", "default")))
#else
#define HOT_CLONES
#define WIDE_CLONES
#define PASS_CLONES __attribute__((noinline))
#endif

#endif
