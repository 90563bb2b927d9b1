// The one switch for every fast path of the program.
//
// Each hot loop is written twice, side by side: its plain definition, which every processor runs and
// which is what the program means, and a fast path in the vector operations of simd.h (AVX2: x86-64
// processors since 2013), which must give the same bytes and is tested against the definition. The fast
// paths are taken only where the processor has AVX2. A build configured with -DKS_PLAIN=ON compiles
// them out altogether, as libspng's SPNG_DISABLE_OPT and stb_image_resize2's STBIR_NO_SIMD do: its
// programs run the definitions alone, hold no 256-bit instruction, and a suspected fast-path fault can
// be bisected by flipping one switch.
#ifndef BITMAP_IO_FAST_PATHS_H
#define BITMAP_IO_FAST_PATHS_H

// 1 where the fast paths are built, 0 in the plain build. Every fast path and every call of one stands
// inside `#if KS_FAST_PATHS`.
#ifdef KS_PLAIN
#define KS_FAST_PATHS 0
#else
#define KS_FAST_PATHS 1
#endif

// Whether the fast paths run: where the processor has AVX2, and never in the plain build.
inline bool UseFastPaths() {
#if KS_FAST_PATHS
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    return avx2;
#else
    return false;
#endif
}

// Whether the processor also has AVX-512's registers for byte and word lanes (AVX512VL and AVX512BW):
// thirty-two vector registers where AVX2 has sixteen. The few loops that hold more vectors at once than
// sixteen (the halftone's turning of sixteen rows on their side) are compiled a second time for such
// processors, from the same source and the same operations, so that the compiler keeps them in
// registers instead of storing and reloading them; and the halftone's rounding of the turned rows and its
// sums of gathered rows have fast paths of their own in 64-byte registers there.
inline bool UseWideRegisters() {
#if KS_FAST_PATHS
    static const bool wide =
        UseFastPaths() && __builtin_cpu_supports("avx512vl") != 0 && __builtin_cpu_supports("avx512bw") != 0;
    return wide;
#else
    return false;
#endif
}

// Whether the processor also has AVX-512's byte permutes over two registers (AVX512VBMI, with AVX512BW):
// a table of 256 bytes, four registers, is looked up for 64 indices in three operations. The loops that
// look up bytes by index (the rows of pictures with a colour table, and of 16-bit pictures whose
// channels are six bits or less) have fast paths for such processors, as AVX2 has no look-up wider than
// 16 bytes; elsewhere they run their definitions (or, at 16 bits, the AVX2 widening).
inline bool UseByteTables() {
#if KS_FAST_PATHS
    static const bool tables = UseWideRegisters() && __builtin_cpu_supports("avx512vbmi") != 0;
    return tables;
#else
    return false;
#endif
}

// Whether the processor also has AVX-512's dot products of bytes (AVX512VNNI, with the byte permutes): four
// products of bytes added into a 32-bit lane in one operation. The halftone's rows of sources many times
// wider than the destination are averaged across with them there, a destination pixel at a time, instead
// of being turned on their side; tall sources' rows are averaged across from windows of their bytes (which
// the byte permutes pick), and narrow rows summed down four at a time.
inline bool UseByteDots() {
#if KS_FAST_PATHS
    static const bool dots = UseByteTables() && __builtin_cpu_supports("avx512vnni") != 0;
    return dots;
#else
    return false;
#endif
}

#if KS_FAST_PATHS
// Marks a function compiled for AVX2; only ever called when UseFastPaths() is true.
#define KS_AVX2 __attribute__((target("avx2")))
// Marks the second compilation of an AVX2 loop; only ever called when UseWideRegisters() is true.
#define KS_AVX2_WIDE __attribute__((target("avx2,avx512vl,avx512bw")))
// Marks a part of a function that uses 64-byte registers (KS_AVX2_WIDE): always inlined into it.
#define KS_AVX2_WIDE_INLINE __attribute__((target("avx2,avx512vl,avx512bw"), always_inline)) inline
// Marks a function that uses the byte permutes; only ever called when UseByteTables() is true.
#define KS_BYTE_TABLES __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512vbmi")))
// Marks a part of such a function: always inlined into it.
#define KS_BYTE_TABLES_INLINE __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512vbmi"), always_inline)) inline
// Marks a function that uses the dot products; only ever called when UseByteDots() is true.
#define KS_BYTE_DOTS __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512vbmi,avx512vnni")))
// Marks a part of such a function: always inlined into it.
#define KS_BYTE_DOTS_INLINE \
    __attribute__((target("avx2,avx512f,avx512vl,avx512bw,avx512vbmi,avx512vnni"), always_inline)) inline
// Marks a part of a loop compiled both ways: always inlined, so that each compilation has its own.
#define KS_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#endif

#endif  // BITMAP_IO_FAST_PATHS_H
