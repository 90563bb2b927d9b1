// The one switch for every fast path of the program.
//
// Each hot loop is written twice, side by side: its plain definition, which every processor runs and
// which is what the program means, and a fast path in AVX2 intrinsics (256-bit integer vectors, x86-64
// processors since 2013), which must give the same bytes. The fast paths are taken only where the
// processor has AVX2, and never in a build configured with -DKS_PLAIN=ON: that build runs the
// definitions alone, so they stay tested, and a suspected fast-path fault can be bisected by flipping
// one switch.
#ifndef BITMAP_IO_FAST_PATHS_H
#define BITMAP_IO_FAST_PATHS_H

// Marks a function compiled for AVX2; only ever called when UseFastPaths() is true.
#define KS_AVX2 __attribute__((target("avx2")))

inline bool UseFastPaths() {
#ifdef KS_PLAIN
    return false;
#else
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2;
#endif
}

#endif  // BITMAP_IO_FAST_PATHS_H
