// The one layer of vector operations that every fast path of the program is written in: AVX2's 256-bit
// registers and their 128-bit halves, under names that say what each operation does to its lanes, so
// that each kernel reads as its arithmetic and another processor's vectors mean another version of this
// file alone. It exists only where the fast paths are built (see fast_paths.h): the plain build has
// none of it, and so no 256-bit instruction at all.
//
// Names: a register is V128 or V256 of integer lanes, D256 of four doubles or F256 of eight floats; the
// lane width is part of the name where it matters (Add16: lanes of 16 bits). Loads and stores take any
// address (unaligned).
#ifndef BITMAP_IO_SIMD_H
#define BITMAP_IO_SIMD_H

#include "fast_paths.h"

#if KS_FAST_PATHS
#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace simd {

using V128 = __m128i;
using V256 = __m256i;
using D256 = __m256d;
using F256 = __m256;

// Every operation is inlined into the KS_AVX2 function that uses it.
#define KS_SIMD __attribute__((target("avx2"), always_inline)) inline

// ---- Loads, stores and constants ----
KS_SIMD V128 Load128(const void* p) { return _mm_loadu_si128(static_cast<const V128*>(p)); }
KS_SIMD V256 Load256(const void* p) { return _mm256_loadu_si256(static_cast<const V256*>(p)); }
KS_SIMD V128 Load64(const void* p) { return _mm_loadl_epi64(static_cast<const V128*>(p)); }  // the low 8 bytes
KS_SIMD V128 Load32(const void* p) {                                                         // the low 4 bytes
    std::int32_t four;
    std::memcpy(&four, p, sizeof four);
    return _mm_cvtsi32_si128(four);
}
KS_SIMD void Store128(void* p, V128 v) { _mm_storeu_si128(static_cast<V128*>(p), v); }
KS_SIMD void Store256(void* p, V256 v) { _mm256_storeu_si256(static_cast<V256*>(p), v); }
KS_SIMD void Store64(void* p, V128 v) { _mm_storel_epi64(static_cast<V128*>(p), v); }  // the low 8 bytes
KS_SIMD void Store32(void* p, V128 v) {                                                // the low 4 bytes
    const std::int32_t four = _mm_cvtsi128_si32(v);
    std::memcpy(p, &four, sizeof four);
}
KS_SIMD std::int32_t Low32(V128 v) { return _mm_cvtsi128_si32(v); }
KS_SIMD V128 Zero128() { return _mm_setzero_si128(); }
KS_SIMD V256 Zero256() { return _mm256_setzero_si256(); }
KS_SIMD V128 Every8(std::int8_t x) { return _mm_set1_epi8(x); }
KS_SIMD V128 Every16(std::int16_t x) { return _mm_set1_epi16(x); }
KS_SIMD V256 Every16x16(std::int16_t x) { return _mm256_set1_epi16(x); }
KS_SIMD V256 Every32x8(std::int32_t x) { return _mm256_set1_epi32(x); }
KS_SIMD V128 ShiftCount(int n) { return _mm_cvtsi32_si128(n); }  // for the shifts by a count held in a register

// ---- Widening and narrowing ----
KS_SIMD V128 LowBytesTo16(V128 v) { return _mm_unpacklo_epi8(v, _mm_setzero_si128()); }  // 8 bytes, 16 bits each
KS_SIMD V256 BytesTo16(V128 v) { return _mm256_cvtepu8_epi16(v); }                       // 16 bytes
KS_SIMD V256 BytesTo32(V128 v) { return _mm256_cvtepu8_epi32(v); }                       // 8 bytes
KS_SIMD V128 BytesTo32x4(V128 v) { return _mm_cvtepu8_epi32(v); }                        // 4 bytes
KS_SIMD V128 NarrowToBytes(V128 a, V128 b) { return _mm_packus_epi16(a, b); }            // 16 bits to bytes, saturating
KS_SIMD V256 NarrowToBytes(V256 a, V256 b) { return _mm256_packus_epi16(a, b); }
KS_SIMD V128 NarrowTo16(V128 a, V128 b) { return _mm_packs_epi32(a, b); }  // 32 bits to signed 16, saturating
KS_SIMD V256 NarrowTo16(V256 a, V256 b) { return _mm256_packs_epi32(a, b); }
KS_SIMD V256 NarrowToUnsigned16(V256 a, V256 b) { return _mm256_packus_epi32(a, b); }

// ---- Arithmetic ----
KS_SIMD V128 Add16(V128 a, V128 b) { return _mm_add_epi16(a, b); }
KS_SIMD V256 Add16(V256 a, V256 b) { return _mm256_add_epi16(a, b); }
KS_SIMD V256 Add32(V256 a, V256 b) { return _mm256_add_epi32(a, b); }
KS_SIMD V256 Subtract32(V256 a, V256 b) { return _mm256_sub_epi32(a, b); }
// Each half: a0 + a1, a2 + a3, b0 + b1, b2 + b3 of its 32-bit lanes.
KS_SIMD V256 PairSums32(V256 a, V256 b) { return _mm256_hadd_epi32(a, b); }
KS_SIMD V128 Add64(V128 a, V128 b) { return _mm_add_epi64(a, b); }
KS_SIMD V256 MulLow16(V256 a, V256 b) { return _mm256_mullo_epi16(a, b); }  // the low 16 bits of each product
// Each 32-bit lane: the sum of the products of its two 16-bit pairs.
KS_SIMD V256 MulAddPairs16(V256 a, V256 b) { return _mm256_madd_epi16(a, b); }
// Each 16-bit lane: the sum of the products of its two bytes, unsigned in `a` and signed in `b`,
// saturated to signed 16 bits.
KS_SIMD V256 MulAddPairs8(V256 a, V256 b) { return _mm256_maddubs_epi16(a, b); }
// (a · b + 2^14) >> 15 in signed 16-bit lanes: with b = 2^(15 − n), a rounded shift of a by n.
KS_SIMD V256 MulHighRounded16(V256 a, V256 b) { return _mm256_mulhrs_epi16(a, b); }
KS_SIMD V128 Mean8(V128 a, V128 b) { return _mm_avg_epu8(a, b); }                // (a + b + 1) >> 1, unsigned bytes
KS_SIMD V128 SubtractSaturated8(V128 a, V128 b) { return _mm_subs_epu8(a, b); }  // unsigned, down to 0
// The sum of each half's eight bytes, in its low 16 bits.
KS_SIMD V128 SumBytes(V128 v) { return _mm_sad_epu8(v, _mm_setzero_si128()); }
KS_SIMD V128 ShiftRight16(V128 v, int n) { return _mm_srli_epi16(v, n); }
KS_SIMD V256 ShiftRight16(V256 v, int n) { return _mm256_srli_epi16(v, n); }
KS_SIMD V256 ShiftRight32(V256 v, int n) { return _mm256_srli_epi32(v, n); }
KS_SIMD V256 ShiftLeft32(V256 v, int n) { return _mm256_slli_epi32(v, n); }
KS_SIMD V256 ShiftRightSigned32(V256 v, V128 count) { return _mm256_sra_epi32(v, count); }
KS_SIMD V256 ShiftRightSigned32(V256 v, int n) { return _mm256_srai_epi32(v, n); }

// ---- Comparing and masking ----
KS_SIMD V128 And(V128 a, V128 b) { return _mm_and_si128(a, b); }
KS_SIMD V128 Or(V128 a, V128 b) { return _mm_or_si128(a, b); }
KS_SIMD V256 And(V256 a, V256 b) { return _mm256_and_si256(a, b); }
KS_SIMD V256 Or(V256 a, V256 b) { return _mm256_or_si256(a, b); }
KS_SIMD V128 EqualBytes(V128 a, V128 b) { return _mm_cmpeq_epi8(a, b); }                    // 0xFF where equal
KS_SIMD unsigned ByteSigns(V128 v) { return static_cast<unsigned>(_mm_movemask_epi8(v)); }  // one bit a byte

// ---- Rearranging lanes (within each 128-bit half, as AVX2 does) ----
KS_SIMD V128 InterleaveLow8(V128 a, V128 b) { return _mm_unpacklo_epi8(a, b); }    // a0 b0 a1 b1 … a7 b7
KS_SIMD V128 InterleaveHigh8(V128 a, V128 b) { return _mm_unpackhi_epi8(a, b); }   // a8 b8 … a15 b15
KS_SIMD V128 InterleaveLow32(V128 a, V128 b) { return _mm_unpacklo_epi32(a, b); }  // a0 b0 a1 b1
KS_SIMD V128 InterleaveHigh64(V128 a, V128 b) { return _mm_unpackhi_epi64(a, b); }
KS_SIMD V128 ShiftBytesDown6(V128 v) { return _mm_srli_si128(v, 6); }
// Byte k of the result is byte order[k] of v, or 0 where order[k] is negative.
KS_SIMD V128 PickBytes(V128 v, V128 order) { return _mm_shuffle_epi8(v, order); }
KS_SIMD V256 PickBytes(V256 v, V256 order) { return _mm256_shuffle_epi8(v, order); }  // within each half
// Lane k of the result is 32-bit lane order[k] of v, across the halves.
KS_SIMD V256 PickLanes32(V256 v, V256 order) { return _mm256_permutevar8x32_epi32(v, order); }
KS_SIMD V256 InterleaveLow8(V256 a, V256 b) { return _mm256_unpacklo_epi8(a, b); }
KS_SIMD V256 InterleaveHigh8(V256 a, V256 b) { return _mm256_unpackhi_epi8(a, b); }
KS_SIMD V256 InterleaveLow16(V256 a, V256 b) { return _mm256_unpacklo_epi16(a, b); }
KS_SIMD V256 InterleaveHigh16(V256 a, V256 b) { return _mm256_unpackhi_epi16(a, b); }
KS_SIMD V256 InterleaveLow32(V256 a, V256 b) { return _mm256_unpacklo_epi32(a, b); }
KS_SIMD V256 InterleaveHigh32(V256 a, V256 b) { return _mm256_unpackhi_epi32(a, b); }
KS_SIMD V256 InterleaveLow64(V256 a, V256 b) { return _mm256_unpacklo_epi64(a, b); }
KS_SIMD V256 InterleaveHigh64(V256 a, V256 b) { return _mm256_unpackhi_epi64(a, b); }
// The 64-bit quarters 0 and 2 side by side in the low half, and the same of the high quarters.
KS_SIMD V256 EvenQuarters(V256 v) { return _mm256_permute4x64_epi64(v, 0x08); }
KS_SIMD V128 LowHalf(V256 v) { return _mm256_castsi256_si128(v); }
KS_SIMD V128 HighHalf(V256 v) { return _mm256_extracti128_si256(v, 1); }
KS_SIMD V256 Join(V128 low, V128 high) { return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1); }
// The first `count` (below 8) 32-bit lanes loaded or stored, nothing past them touched; the other lanes
// load as 0.
KS_SIMD V256 FirstLanes32(std::uint64_t count) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}
KS_SIMD V256 LoadFirst256x32(const void* p, std::uint64_t count) {
    return _mm256_maskload_epi32(static_cast<const int*>(p), FirstLanes32(count));
}
KS_SIMD void StoreFirst256x32(void* p, V256 v, std::uint64_t count) {
    _mm256_maskstore_epi32(static_cast<int*>(p), FirstLanes32(count), v);
}

// ---- Doubles ----
KS_SIMD D256 ZeroDoubles() { return _mm256_setzero_pd(); }
KS_SIMD D256 EveryDouble(double x) { return _mm256_set1_pd(x); }
KS_SIMD D256 ToDoubles(V128 v) { return _mm256_cvtepi32_pd(v); }  // four 32-bit lanes
KS_SIMD D256 Add(D256 a, D256 b) { return _mm256_add_pd(a, b); }
KS_SIMD D256 Mul(D256 a, D256 b) { return _mm256_mul_pd(a, b); }
KS_SIMD D256 Min(D256 a, D256 b) { return _mm256_min_pd(a, b); }
KS_SIMD D256 Max(D256 a, D256 b) { return _mm256_max_pd(a, b); }
KS_SIMD V128 TruncateTo32(D256 v) { return _mm256_cvttpd_epi32(v); }  // toward zero

// ---- Floats ----
KS_SIMD F256 EveryFloat(float x) { return _mm256_set1_ps(x); }
KS_SIMD F256 LoadFloats(const float* p) { return _mm256_loadu_ps(p); }
KS_SIMD F256 ToFloats(V256 v) { return _mm256_cvtepi32_ps(v); }  // eight 32-bit lanes
KS_SIMD F256 Add(F256 a, F256 b) { return _mm256_add_ps(a, b); }
KS_SIMD F256 Subtract(F256 a, F256 b) { return _mm256_sub_ps(a, b); }
KS_SIMD F256 Mul(F256 a, F256 b) { return _mm256_mul_ps(a, b); }
KS_SIMD F256 Floor(F256 v) { return _mm256_floor_ps(v); }
KS_SIMD F256 And(F256 a, F256 b) { return _mm256_and_ps(a, b); }
KS_SIMD F256 Or(F256 a, F256 b) { return _mm256_or_ps(a, b); }
KS_SIMD F256 Equal(F256 a, F256 b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }    // all ones where a = b
KS_SIMD F256 Greater(F256 a, F256 b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }  // all ones where a > b
KS_SIMD F256 Less(F256 a, F256 b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
KS_SIMD unsigned Signs(F256 v) { return static_cast<unsigned>(_mm256_movemask_ps(v)); }  // one bit a lane
KS_SIMD V256 TruncateTo32(F256 v) { return _mm256_cvttps_epi32(v); }                     // toward zero

#undef KS_SIMD

// ---- 64 byte lanes, where the processor has AVX-512's registers (UseWideRegisters) ----
// Twice AVX2's lanes for the same operations, at the same rate on the processors that have them. The
// interleavings work within each 128-bit quarter, as AVX2's do within each half. Every operation is
// inlined into the KS_AVX2_WIDE or KS_BYTE_TABLES function that uses it.
#define KS_SIMD __attribute__((target("avx512f,avx512bw"), always_inline)) inline

using V512 = __m512i;
using Mask64 = __mmask64;  // one bit a byte lane

// The lanes below `count` (at most 64), as the first `count` bytes at p; the others 0 in a load and
// left alone in a store, and their memory never touched.
KS_SIMD Mask64 FirstLanes(std::uint64_t count) { return count >= 64 ? ~Mask64{0} : (Mask64{1} << count) - 1; }
KS_SIMD V512 Load512(const void* p) { return _mm512_loadu_si512(p); }
KS_SIMD void Store512(void* p, V512 v) { _mm512_storeu_si512(p, v); }
KS_SIMD V512 LoadFirst512(const void* p, std::uint64_t count) { return _mm512_maskz_loadu_epi8(FirstLanes(count), p); }
KS_SIMD void StoreFirst512(void* p, V512 v, std::uint64_t count) { _mm512_mask_storeu_epi8(p, FirstLanes(count), v); }
KS_SIMD V512 Zero512() { return _mm512_setzero_si512(); }
KS_SIMD V512 Every8x64(std::int8_t x) { return _mm512_set1_epi8(x); }
KS_SIMD V512 Every16x32(std::int16_t x) { return _mm512_set1_epi16(x); }
KS_SIMD V512 Every32x16(std::int32_t x) { return _mm512_set1_epi32(x); }
KS_SIMD V512 Every64x8(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
KS_SIMD V512 BytesTo16(V256 v) { return _mm512_cvtepu8_epi16(v); }  // 32 bytes
KS_SIMD V512 NarrowToBytes(V512 a, V512 b) { return _mm512_packus_epi16(a, b); }
KS_SIMD V512 Add16(V512 a, V512 b) { return _mm512_add_epi16(a, b); }
KS_SIMD V512 MulAddPairs8(V512 a, V512 b) { return _mm512_maddubs_epi16(a, b); }
KS_SIMD V512 MulHighRounded16(V512 a, V512 b) { return _mm512_mulhrs_epi16(a, b); }
KS_SIMD V512 MulAddPairs16(V512 a, V512 b) { return _mm512_madd_epi16(a, b); }
KS_SIMD V512 Add32(V512 a, V512 b) { return _mm512_add_epi32(a, b); }
// The next three as masked forms with every lane set, for GCC 12, as the halves below.
KS_SIMD V512 ShiftRight32(V512 v, int n) { return _mm512_maskz_srli_epi32(0xFFFF, v, static_cast<unsigned>(n)); }
KS_SIMD V512 ShiftLeft32(V512 v, int n) { return _mm512_maskz_slli_epi32(0xFFFF, v, static_cast<unsigned>(n)); }
// The low 16 bits of each 32-bit lane.
KS_SIMD V256 TruncateTo16(V512 v) { return _mm512_maskz_cvtepi32_epi16(0xFFFF, v); }
KS_SIMD V512 And(V512 a, V512 b) { return _mm512_and_si512(a, b); }
KS_SIMD V512 Or(V512 a, V512 b) { return _mm512_or_si512(a, b); }
KS_SIMD V512 ShiftRight16(V512 v, int n) { return _mm512_srli_epi16(v, static_cast<unsigned>(n)); }
KS_SIMD Mask64 ByteSigns(V512 v) { return _mm512_movepi8_mask(v); }  // the top bit of each byte
KS_SIMD V512 Choose8(Mask64 lanes, V512 unset, V512 set) { return _mm512_mask_blend_epi8(lanes, unset, set); }
KS_SIMD V512 PickBytes(V512 v, V512 order) { return _mm512_shuffle_epi8(v, order); }  // within each quarter
KS_SIMD V512 InterleaveLow8(V512 a, V512 b) { return _mm512_unpacklo_epi8(a, b); }
KS_SIMD V512 InterleaveHigh8(V512 a, V512 b) { return _mm512_unpackhi_epi8(a, b); }
// The first `count` 16-bit lanes of v (at most 32), the others 0.
KS_SIMD V512 KeepFirst16(V512 v, std::uint32_t count) {
    return _mm512_maskz_mov_epi16(count >= 32 ? ~__mmask32{0} : (__mmask32{1} << count) - 1, v);
}
KS_SIMD V512 InterleaveLow16(V512 a, V512 b) { return _mm512_unpacklo_epi16(a, b); }
KS_SIMD V512 InterleaveHigh16(V512 a, V512 b) { return _mm512_unpackhi_epi16(a, b); }
// The first `count` 32-bit lanes (at most 16) as the first `count` numbers at p, the memory after them
// never touched.
KS_SIMD void StoreFirst32(std::int32_t* p, V512 v, std::uint64_t count) {
    _mm512_mask_storeu_epi32(p, static_cast<__mmask16>(count >= 16 ? 0xFFFF : (1u << count) - 1), v);
}
// The next five, and the shuffles of quarters, as masked forms with every lane set, for GCC 12, as the
// halves below.
KS_SIMD V512 InterleaveLow32(V512 a, V512 b) { return _mm512_maskz_unpacklo_epi32(0xFFFF, a, b); }
KS_SIMD V512 InterleaveHigh32(V512 a, V512 b) { return _mm512_maskz_unpackhi_epi32(0xFFFF, a, b); }
KS_SIMD V512 InterleaveLow64(V512 a, V512 b) { return _mm512_maskz_unpacklo_epi64(0xFF, a, b); }
KS_SIMD V512 InterleaveHigh64(V512 a, V512 b) { return _mm512_maskz_unpackhi_epi64(0xFF, a, b); }
// Lane k of the result is 32-bit lane order[k] % 16 of v, across the quarters.
KS_SIMD V512 PickLanes32(V512 v, V512 order) { return _mm512_maskz_permutexvar_epi32(0xFFFF, order, v); }
// The four registers' 128-bit quarters transposed: quarter q of v[k] becomes quarter k of v[q].
KS_SIMD void TransposeQuarters(V512 (&v)[4]) {
    const V512 low01 = _mm512_maskz_shuffle_i32x4(0xFFFF, v[0], v[1], 0x44);  // v0.q0 v0.q1 v1.q0 v1.q1
    const V512 low23 = _mm512_maskz_shuffle_i32x4(0xFFFF, v[2], v[3], 0x44);
    const V512 high01 = _mm512_maskz_shuffle_i32x4(0xFFFF, v[0], v[1], 0xEE);  // v0.q2 v0.q3 v1.q2 v1.q3
    const V512 high23 = _mm512_maskz_shuffle_i32x4(0xFFFF, v[2], v[3], 0xEE);
    v[0] = _mm512_maskz_shuffle_i32x4(0xFFFF, low01, low23, 0x88);
    v[1] = _mm512_maskz_shuffle_i32x4(0xFFFF, low01, low23, 0xDD);
    v[2] = _mm512_maskz_shuffle_i32x4(0xFFFF, high01, high23, 0x88);
    v[3] = _mm512_maskz_shuffle_i32x4(0xFFFF, high01, high23, 0xDD);
}
// The halves, and two joined, written as masked forms with every lane set, the same instructions (the
// low half none at all): GCC 12's plain forms start from an undefined register and warn that it may be
// used uninitialised.
KS_SIMD V256 LowHalf(V512 v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 0); }
KS_SIMD V256 HighHalf(V512 v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 1); }
KS_SIMD V512 Join(V256 low, V256 high) { return _mm512_maskz_inserti64x4(0xFF, _mm512_castsi256_si512(low), high, 1); }
#undef KS_SIMD

// ---- The byte permutes (UseByteTables) ----
// A table of 256 bytes is four registers, and two permutes over 128 bytes each and one choice by the
// index's top bit look up 64 indices at once, where AVX2's shuffles reach 16 bytes alone. Every
// operation is inlined into the KS_BYTE_TABLES function that uses it.
#define KS_SIMD __attribute__((target("avx512f,avx512bw,avx512vbmi"), always_inline)) inline

// Byte k of the result is byte order[k] % 128 of the 128 bytes `low` then `high`.
KS_SIMD V512 PickBytes128(V512 low, V512 order, V512 high) { return _mm512_permutex2var_epi8(low, order, high); }
// Byte k of the result is byte order[k] % 128 of the 128 bytes `low` then `high` where `lanes` has bit k,
// else 0.
KS_SIMD V512 PickBytes128(Mask64 lanes, V512 low, V512 order, V512 high) {
    return _mm512_maskz_permutex2var_epi8(lanes, low, order, high);
}
// Byte k of the result is byte order[k] % 64 of v (the masked form, as ShiftedBytes, for GCC 12).
KS_SIMD V512 PickBytes64(V512 v, V512 order) { return _mm512_maskz_permutexvar_epi8(~Mask64{0}, order, v); }
// Byte k of the result is byte order[k] % 64 of v where `lanes` has bit k, else byte k of `into`.
KS_SIMD V512 PickBytesInto(V512 into, Mask64 lanes, V512 order, V512 v) {
    return _mm512_mask_permutexvar_epi8(into, lanes, order, v);
}
// Byte k of the result is the 8 bits from bit at[k] % 64 on of its 64-bit lane of v, wrapping round.
// (Written as its masked form with every lane set, the same instruction: GCC 12's plain form starts
// from an undefined register and warns that it may be used uninitialised.)
KS_SIMD V512 ShiftedBytes(V512 at, V512 v) { return _mm512_maskz_multishift_epi64_epi8(~Mask64{0}, at, v); }

#undef KS_SIMD

// ---- Dot products of bytes (UseByteDots) ----
// Four products of unsigned bytes by signed bytes added into each 32-bit lane in one operation, where
// AVX2 takes two multiply-adds (the first of which saturates its 16-bit sums) and an addition. Every
// operation is inlined into the KS_BYTE_DOTS function that uses it.
#define KS_SIMD __attribute__((target("avx512f,avx512vl,avx512bw,avx512vbmi,avx512vnni"), always_inline)) inline

// Each 32-bit lane of `sums` plus the four products of its bytes of `bytes` (unsigned) by its bytes of
// `weights` (signed).
KS_SIMD V512 AddDots(V512 sums, V512 bytes, V512 weights) { return _mm512_dpbusd_epi32(sums, bytes, weights); }
// The first three bytes of 32-bit lane kLane of v at p, or the first three 32-bit lanes of 128-bit
// quarter kQuarter of v; nothing after them is written.
template <int kLane>
KS_SIMD void StoreThreeBytesOfLane(std::uint8_t* p, V128 v) {
    _mm_mask_storeu_epi8(p, 0x7, _mm_bsrli_si128(v, 4 * kLane));
}
template <int kQuarter>
KS_SIMD void StoreThreeLanesOfQuarter(std::int32_t* p, V512 v) {
    _mm_mask_storeu_epi32(p, 0x7, _mm512_maskz_extracti32x4_epi32(0xF, v, kQuarter));
}

#undef KS_SIMD

}  // namespace simd

#endif  // KS_FAST_PATHS
#endif  // BITMAP_IO_SIMD_H
