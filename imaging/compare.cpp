#include "compare.h"

#include <cstdint>
#include <cstdlib>

#include "fast_paths.h"
#include "image_view.h"
#include "simd.h"

namespace {

// The width and height over which both images can be read: the first's, cut to the second's.
struct Overlap {
    std::uint32_t width = 0, height = 0;
};

Overlap OverlapOf(const BITMAP& first, const BITMAP& second) {
    Overlap o;
    if (!IsTrueColour(first) || !IsTrueColour(second) || first.bmWidth <= 0 || second.bmWidth <= 0 ||
        second.bmHeight <= 0) {
        return o;
    }
    o.width = static_cast<std::uint32_t>(first.bmWidth < second.bmWidth ? first.bmWidth : second.bmWidth);
    o.height = static_cast<std::uint32_t>(first.bmHeight < second.bmHeight ? first.bmHeight : second.bmHeight);
    return o;
}

// 2 for equal bytes, 1 for bytes one apart, else 0.
DWORD ByteScore(int a, int b) {
    const int d = std::abs(a - b);
    return d <= 1 ? static_cast<DWORD>(2 - d) : 0;
}

// One pixel's score; clears `all_equal` when any of its three bytes differ.
DWORD ScorePixel(const BYTE* a, const BYTE* b, bool& all_equal) {
    if (a[0] != b[0] || a[1] != b[1] || a[2] != b[2]) all_equal = false;
    const DWORD bonus = a[0] == b[0] && (a[1] == b[1] || a[2] == b[2]) ? 1 : 0;
    return bonus + ByteScore(a[2], b[2]) + ByteScore(a[1], b[1]) + ByteScore(a[0], b[0]);
}

#if KS_FAST_PATHS
// ---------------------------------------------------------------------------------------------------
// The fast path, for two 24-bit images: sixteen pixels at a time.
// ---------------------------------------------------------------------------------------------------

// 16 pixels of 24 bits: 48 bytes, three vector registers.
constexpr std::size_t kChunkPixels = 16;
// Bit n set for every byte n of a chunk that starts a pixel.
constexpr std::uint64_t kPixelStarts = 0x249249249249;
constexpr std::uint64_t kChunkBits = (std::uint64_t{1} << 48) - 1;

// How many bits are set in a mask whose bits can stand only at multiples of 3 below 48 (the pixel
// starts of a chunk), in four operations instead of a call to the library's general count: each bit
// and the one 3 above it are added into a count of at most 2 at a multiple of 6 (the mask keeps bits
// 6m and 6m + 1), and multiplying by Σ 2^(6m) adds those eight counts up into bits 42 to 47 (every
// partial sum stays below 64, so none spills into the next count).
DWORD CountPixelStarts(std::uint64_t bits) {
    const std::uint64_t pairs = (bits + (bits >> 3)) & 0x0C30C30C30C3;
    return static_cast<DWORD>((pairs * 0x041041041041) >> 42 & 0x3F);
}

// 0 for the first 48 bytes, then 1s: a window into it masks off the leading bytes of a chunk.
struct KeepMask {
    BYTE at[2 * 3 * kChunkPixels];
    constexpr KeepMask() : at() {
        for (std::size_t n = 3 * kChunkPixels; n < 2 * 3 * kChunkPixels; ++n) at[n] = 0xFF;
    }
};
constexpr KeepMask kKeep;

// Scores one chunk of 16 contiguous 24-bit pixels, leaving out its first `skip` pixels (already
// scored): the byte terms are two less the saturated distance, summed across the register; the
// first-byte bonus comes from a mask of the bytes that match, one bit per byte.
KS_AVX2 DWORD ScoreChunk(const BYTE* a, const BYTE* b, std::size_t skip, bool& all_equal) {
    using namespace simd;
    const V128 two = Every8(2);
    const BYTE* keep = kKeep.at + 3 * (kChunkPixels - skip);
    V128 sums = Zero128();
    std::uint64_t equal = 0;
    for (int v = 0; v < 3; ++v) {
        const V128 p = Load128(a + 16 * v), q = Load128(b + 16 * v);
        const V128 distance = Or(SubtractSaturated8(p, q), SubtractSaturated8(q, p));
        const V128 terms = And(SubtractSaturated8(two, distance), Load128(keep + 16 * v));
        sums = Add64(sums, SumBytes(terms));
        equal |= std::uint64_t{ByteSigns(EqualBytes(p, q))} << (16 * v);
    }
    const std::uint64_t skipped = (std::uint64_t{1} << (3 * skip)) - 1;
    if ((equal | skipped) != kChunkBits) all_equal = false;
    const std::uint64_t bonus = equal & ((equal >> 1) | (equal >> 2)) & kPixelStarts & ~skipped;
    return static_cast<DWORD>(Low32(sums) + Low32(InterleaveHigh64(sums, sums)) + CountPixelStarts(bonus));
}

// Scores `pixels` contiguous 24-bit pixels of each image, 16 at a time; a last partial chunk is taken
// as the row's final 16 pixels with those already scored masked off.
KS_AVX2 DWORD ScorePackedRow(const BYTE* a, const BYTE* b, std::size_t pixels, bool& all_equal) {
    DWORD score = 0;
    if (pixels < kChunkPixels) {
        for (std::size_t x = 0; x < pixels; ++x) score += ScorePixel(a + 3 * x, b + 3 * x, all_equal);
        return score;
    }
    std::size_t x = 0;
    for (; x + kChunkPixels <= pixels; x += kChunkPixels) score += ScoreChunk(a + 3 * x, b + 3 * x, 0, all_equal);
    if (x < pixels) {
        const std::size_t start = pixels - kChunkPixels;
        score += ScoreChunk(a + 3 * start, b + 3 * start, x - start, all_equal);
    }
    return score;
}
#endif  // KS_FAST_PATHS

DWORD Score(const BITMAP& first, const BITMAP& second, int* exact_match, bool fast_paths) {
    *exact_match = 1;
    if (first.bmHeight <= 0) return 0;
    if (first.bmWidth <= 0) return 0;
    const Overlap o = OverlapOf(first, second);
    if (o.width != static_cast<std::uint32_t>(first.bmWidth) ||
        o.height != static_cast<std::uint32_t>(first.bmHeight)) {
        *exact_match = 0;  // some pixels of the first image have nothing to match
    }
    const std::size_t a_step = PixelStep(first), b_step = PixelStep(second);
    DWORD score = 0;
    bool all_equal = true;
#if KS_FAST_PATHS
    const bool fast = fast_paths && a_step == 3 && b_step == 3;
#else
    (void)fast_paths;
#endif
    for (std::uint32_t y = 0; y < o.height; ++y) {
        const BYTE* a = RowAt(first, y);
        const BYTE* b = RowAt(second, y);
#if KS_FAST_PATHS
        if (fast) {
            score += ScorePackedRow(a, b, o.width, all_equal);
            continue;
        }
#endif
        for (std::uint32_t x = 0; x < o.width; ++x, a += a_step, b += b_step) score += ScorePixel(a, b, all_equal);
    }
    if (!all_equal) *exact_match = 0;
    return score;
}

}  // namespace

DWORD GetScore(const BITMAP& first, const BITMAP& second, int* exact_match) {
    return Score(first, second, exact_match, UseFastPaths());
}

DWORD GetScorePlain(const BITMAP& first, const BITMAP& second, int* exact_match) {
    return Score(first, second, exact_match, false);
}

void GetDiff(const BITMAP& first, const BITMAP& second) {
    if (!IsTrueColour(first) || first.bmWidth <= 0 || first.bmHeight <= 0) return;
    const Overlap o = OverlapOf(first, second);
    const std::size_t a_step = PixelStep(first), b_step = PixelStep(second);
    for (std::uint32_t y = 0; y < static_cast<std::uint32_t>(first.bmHeight); ++y) {
        BYTE* a = RowAt(first, y);
        for (std::uint32_t x = 0; x < static_cast<std::uint32_t>(first.bmWidth); ++x, a += a_step) {
            const bool inside = x < o.width && y < o.height;
            const BYTE* b = inside ? RowAt(second, y) + x * b_step : nullptr;
            if (!inside || a[0] != b[0] || a[1] != b[1] || a[2] != b[2]) {
                a[0] = 0;
                a[1] = 0;
                a[2] = 255;
            }
        }
    }
}
