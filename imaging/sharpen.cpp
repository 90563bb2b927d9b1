#include "sharpen.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "copy_image.h"
#include "extended_precision.h"
#include "fast_paths.h"
#include "image_view.h"
#include "simd.h"

namespace {

// ---------------------------------------------------------------------------------------------------
// The definition: the sum from 0 in kernel order in extended precision, clamped and truncated.
// ---------------------------------------------------------------------------------------------------

// The nine neighbours of one pixel's byte, in kernel order.
struct Neighbours {
    const BYTE* rows[3];     // above, same, below
    std::size_t columns[3];  // left, same, right (byte offsets)
    int at(int n, std::size_t b) const { return rows[n / 3][columns[n % 3] + b]; }
};

BYTE Filter(const long double k[kKernelSize], const Neighbours& p, std::size_t b) {
    long double sum = 0;
    for (int n = 0; n < kKernelSize; ++n) sum += k[n] * p.at(n, b);
    // Below 0 gives 0, above 255 gives 255, anything else is truncated toward zero.
    return sum < 0 ? 0 : sum > 255 ? 255 : static_cast<BYTE>(sum);
}

void FilterImage(const BITMAP& in, const BITMAP& out, const float kernel[kKernelSize]) {
    const auto W = static_cast<std::uint32_t>(in.bmWidth);
    const auto H = static_cast<std::uint32_t>(in.bmHeight);
    const std::size_t step = PixelStep(in);
    // Widening a single-precision weight is exact, so doing it once here changes no product.
    long double k[kKernelSize];
    std::copy(kernel, kernel + kKernelSize, k);
    for (std::uint32_t y = 0; y < H; ++y) {
        Neighbours p;
        p.rows[0] = RowAt(in, y == 0 ? 0 : y - 1);
        p.rows[1] = RowAt(in, y);
        p.rows[2] = RowAt(in, y + 1 == H ? y : y + 1);
        BYTE* target = RowAt(out, y);
        for (std::uint32_t x = 0; x < W; ++x) {
            p.columns[0] = (x == 0 ? 0 : x - 1) * step;
            p.columns[1] = x * step;
            p.columns[2] = (x + 1 == W ? x : x + 1) * step;
            for (std::size_t b = 0; b < 3; ++b) target[p.columns[1] + b] = Filter(k, p, b);
        }
    }
}

#if KS_FAST_PATHS
// ---------------------------------------------------------------------------------------------------
// The fast path: the same in integers, for a cross (corners 0, the four edges one weight q, the centre
// r, as every kernel of the search is) on a 24-bit image.
//
// A single-precision weight is an integer times a power of two, so with s large enough q = Q·2^−s and
// r = R·2^−s for integers Q and R. Every product and partial sum of the definition is then a multiple of
// 2^−s no larger than 5·2^30·255·2^−s, which the 64-bit significand holds exactly: the definition
// computes the exact value V = (Q·E + R·P)·2^−s, E being the sum of the four edge bytes and P the
// centre byte (a corner's 0 adds exactly nothing). Clamping V to 0 … 255 and truncating it is clamping
// ⌊V⌋, which is an arithmetic shift: (Q·E + R·P) >> s.
//
// To keep that in 32-bit lanes, Q = 2^15·Qh + Ql and R = 2^15·Rh + Rl with 0 <= Ql, Rl < 2^15, so
// Q·E + R·P = 2^15·A + B with A = Qh·E + Rh·P and 0 <= B = Ql·E + Rl·P < 2^26, and
//   ⌊(2^15·A + B) / 2^s⌋ = (A + (B >> 15)) >> (s − 15),
// A being an integer. All four factors fit 16 signed bits when |Q|, |R| < 2^30, so A and B are each one
// multiply-add of 16-bit pairs (E, P) into 32 bits, and saturating packs do the clamping.
// ---------------------------------------------------------------------------------------------------

// The smallest s the split above allows, and the largest its 32-bit shift allows.
constexpr int kLowBits = 15;
constexpr int kMostShift = kLowBits + 31;
// |Q| and |R| must stay below this for Qh and Rh to fit 16 signed bits.
constexpr std::int64_t kWeightLimit = std::int64_t{1} << 30;
// The narrowest image the vector steps fit: the last step of a row reads the three bytes before its
// sixteen, and so needs nineteen.
constexpr LONG kLeastCrossWidth = 7;

struct Cross {
    bool usable = false;
    int shift = 0;                // s
    std::int16_t qh = 0, rh = 0;  // Qh, Rh
    std::int16_t ql = 0, rl = 0;  // Ql, Rl
};

Cross AsCross(const float k[kKernelSize]) {
    Cross c;
    const bool cross = k[0] == 0 && k[2] == 0 && k[6] == 0 && k[8] == 0 && k[1] == k[3] && k[1] == k[5] && k[1] == k[7];
    if (!cross || !std::isfinite(k[1]) || !std::isfinite(k[4])) return c;
    int shift = kLowBits;
    for (float w : {k[1], k[4]}) {
        if (w == 0) continue;
        int exponent;
        std::frexp(w, &exponent);  // w = m × 2^exponent with m × 2^24 an integer
        shift = std::max(shift, 24 - exponent);
    }
    if (shift > kMostShift) return c;  // a tiny or denormal weight
    // Exact: a float times a power of two, below 2^30 when used, fits a double.
    const double q = std::ldexp(static_cast<double>(k[1]), shift);
    const double r = std::ldexp(static_cast<double>(k[4]), shift);
    if (std::fabs(q) >= kWeightLimit || std::fabs(r) >= kWeightLimit) return c;
    const auto Q = static_cast<std::int64_t>(q), R = static_cast<std::int64_t>(r);
    c.usable = true;
    c.shift = shift;
    c.qh = static_cast<std::int16_t>(Q >> kLowBits);
    c.rh = static_cast<std::int16_t>(R >> kLowBits);
    c.ql = static_cast<std::int16_t>(Q & ((1 << kLowBits) - 1));
    c.rl = static_cast<std::int16_t>(R & ((1 << kLowBits) - 1));
    return c;
}

// Sixteen bytes widened to 16-bit lanes.
KS_AVX2 inline simd::V256 Widened(const BYTE* p) { return simd::BytesTo16(simd::Load128(p)); }

// ⌊(Q·E + R·P) / 2^s⌋ for eight (E, P) pairs, as above.
KS_AVX2 inline simd::V256 Floor(simd::V256 pairs, simd::V256 high, simd::V256 low, simd::V128 shift) {
    using namespace simd;
    return ShiftRightSigned32(Add32(MulAddPairs16(pairs, high), ShiftRight32(MulAddPairs16(pairs, low), kLowBits)),
                              shift);
}

// The cross's weights as the steps take them.
struct CrossLanes {
    simd::V256 high, low;  // (Qh, Rh) and (Ql, Rl), paired
    simd::V128 shift;      // s − 15
};

KS_AVX2 inline CrossLanes LanesOf(const Cross& c) {
    const auto paired = [](std::int16_t q, std::int16_t r) {
        return static_cast<std::int32_t>(static_cast<std::uint16_t>(q) |
                                         static_cast<std::uint32_t>(static_cast<std::uint16_t>(r)) << 16);
    };
    return {simd::Every32x8(paired(c.qh, c.rh)), simd::Every32x8(paired(c.ql, c.rl)),
            simd::ShiftCount(c.shift - kLowBits)};
}

// Sixteen output bytes at `at` of a row, from the rows above and below, the row itself and the sixteen
// bytes left and right of them. Unpacking and packing work within each 128-bit half, so the sixteen
// results come out as two runs of eight, put side by side at the end.
KS_AVX2 inline void CrossStep(const CrossLanes& c, const BYTE* above, const BYTE* row, const BYTE* below,
                              simd::V128 left, simd::V128 right, std::size_t at, BYTE* target) {
    using namespace simd;
    const V256 edges = Add16(Add16(Widened(above + at), Widened(below + at)), Add16(BytesTo16(left), BytesTo16(right)));
    const V256 centre = Widened(row + at);
    const V256 v0 = Floor(InterleaveLow16(edges, centre), c.high, c.low, c.shift);
    const V256 v1 = Floor(InterleaveHigh16(edges, centre), c.high, c.low, c.shift);
    const V256 clamped = NarrowToBytes(NarrowTo16(v0, v1), Zero256());
    Store128(target + at, LowHalf(EvenQuarters(clamped)));
}

// A whole 24-bit image of at least kLeastCrossWidth pixels, sixteen bytes a step. The first step of a
// row takes its left neighbours from its own bytes (those of the first pixel repeat themselves), and
// the last its right ones; a step before the last that would reach into the last pixel overlaps the one
// before it instead, computing some bytes twice, to the same values.
KS_AVX2 void CrossImage(const Cross& cross, const BITMAP& in, const BITMAP& out) {
    using namespace simd;
    static constexpr std::int8_t kFirstLeft[16] = {0, 1, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    static constexpr std::int8_t kLastRight[16] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 13, 14, 15};
    const V128 first_left = Load128(kFirstLeft), last_right = Load128(kLastRight);
    const CrossLanes c = LanesOf(cross);
    const auto W = static_cast<std::uint32_t>(in.bmWidth), H = static_cast<std::uint32_t>(in.bmHeight);
    const std::size_t n = 3 * std::size_t{W};  // the row's bytes
    for (std::uint32_t y = 0; y < H; ++y) {
        const BYTE* above = RowAt(in, y == 0 ? 0 : y - 1);
        const BYTE* row = RowAt(in, y);
        const BYTE* below = RowAt(in, y + 1 == H ? y : y + 1);
        BYTE* target = RowAt(out, y);
        CrossStep(c, above, row, below, PickBytes(Load128(row), first_left), Load128(row + 3), 0, target);
        for (std::size_t i = 16; i + 16 < n; i += 16) {
            const std::size_t at = std::min(i, n - 19);
            CrossStep(c, above, row, below, Load128(row + at - 3), Load128(row + at + 3), at, target);
        }
        CrossStep(c, above, row, below, Load128(row + n - 19), PickBytes(Load128(row + n - 16), last_right), n - 16,
                  target);
    }
}

// ---------------------------------------------------------------------------------------------------
// The fast path for any other kernel on a 24-bit image: the definition's sum in double precision, four
// bytes at a time, where that is exact.
//
// With s the least exponent for which every weight times 2^s is an integer Q, every product and partial
// sum of the definition is a multiple of 2^−s no larger in size than Σ|Q|·255·2^−s. When Σ|Q|·255 is
// below 2^53, a double holds each of them exactly, as the extended precision of the definition does, so
// both compute the exact sum V and clamp and truncate it alike. Weights too far apart in magnitude (a
// tiny one beside a large one) fail the bound and go to the definition.
// ---------------------------------------------------------------------------------------------------

// The narrowest image the steps of four bytes fit: the inside of a row must hold one step.
constexpr LONG kLeastKernelWidth = 4;

// True when the sums of `k` are exact in double precision, as above.
bool SumsAreExactInDoubles(const float k[kKernelSize]) {
    int s = 0;
    for (int n = 0; n < kKernelSize; ++n) {
        if (!std::isfinite(k[n])) return false;
        if (k[n] == 0) continue;
        int exponent;
        const double m = std::frexp(static_cast<double>(k[n]), &exponent);  // k = m × 2^exponent, 1/2 <= |m| < 1
        // m × 2^24 is an integer; its trailing zero bits lower the exponent the weight needs.
        const auto bits = static_cast<std::uint32_t>(std::fabs(std::ldexp(m, 24)));
        s = std::max(s, 24 - exponent - std::countr_zero(bits));
    }
    double total = 0;  // Σ|Q|·255 (each term exact, the sum within a rounding of exact: far from the bound)
    for (int n = 0; n < kKernelSize; ++n) total += std::ldexp(std::fabs(static_cast<double>(k[n])), s) * 255;
    return total < 0x1p52;  // half the bound, so that the rounding of `total` cannot matter
}

// Four bytes widened to doubles.
KS_AVX2 inline simd::D256 Doubles(const BYTE* p) { return simd::ToDoubles(simd::BytesTo32x4(simd::Load32(p))); }

// A whole 24-bit image of at least kLeastKernelWidth pixels: the inside bytes of each row four at a
// time (the last step overlapping the one before, computing some bytes twice, to the same values), the
// border pixels by the definition.
KS_AVX2 void KernelImage(const float kernel[kKernelSize], const BITMAP& in, const BITMAP& out) {
    const auto W = static_cast<std::uint32_t>(in.bmWidth), H = static_cast<std::uint32_t>(in.bmHeight);
    const std::size_t last = 3 * std::size_t{W - 1};  // the last pixel's first byte
    long double extended[kKernelSize];
    std::copy(kernel, kernel + kKernelSize, extended);
    using namespace simd;
    D256 k[kKernelSize];
    for (int n = 0; n < kKernelSize; ++n) k[n] = EveryDouble(kernel[n]);
    const D256 low = ZeroDoubles(), high = EveryDouble(255);
    for (std::uint32_t y = 0; y < H; ++y) {
        const BYTE* rows[3] = {RowAt(in, y == 0 ? 0 : y - 1), RowAt(in, y), RowAt(in, y + 1 == H ? y : y + 1)};
        BYTE* target = RowAt(out, y);
        for (std::size_t step = 3;; step += 4) {
            const std::size_t i = std::min(step, last - 4);
            D256 sum = ZeroDoubles();
            for (int n = 0; n < kKernelSize; ++n) {
                const BYTE* from = rows[n / 3] + i + 3 * (n % 3) - 3;
                sum = Add(sum, Mul(k[n], Doubles(from)));
            }
            const V128 v = TruncateTo32(Min(Max(sum, low), high));
            const V128 halves = NarrowTo16(v, v);
            Store32(target + i, NarrowToBytes(halves, halves));
            if (i + 4 >= last) break;
        }
        Neighbours p{{rows[0], rows[1], rows[2]}, {0, 0, 3}};
        for (std::size_t b = 0; b < 3; ++b) target[b] = Filter(extended, p, b);
        p.columns[0] = last - 3;
        p.columns[1] = p.columns[2] = last;
        for (std::size_t b = 0; b < 3; ++b) target[last + b] = Filter(extended, p, b);
    }
}

#endif  // KS_FAST_PATHS

HBITMAP Sharpen(HBITMAP image, const float kernel[kKernelSize], bool fast) {
    BITMAP in;
    if (GetObjectA(image, sizeof in, &in) == 0 || !IsTrueColour(in)) return nullptr;
    HBITMAP result = CopyBitmap(image);
    BITMAP out;
    if (result == nullptr) return nullptr;
    if (GetObjectA(result, sizeof out, &out) == 0) {
        DeleteObject(result);
        return nullptr;
    }
    if (in.bmWidth == 0 || in.bmHeight == 0) return result;
#if KS_FAST_PATHS
    if (fast && PixelStep(in) == 3) {
        const Cross cross = AsCross(kernel);
        if (cross.usable && in.bmWidth >= kLeastCrossWidth) {
            CrossImage(cross, in, out);
            return result;
        }
        if (in.bmWidth >= kLeastKernelWidth && SumsAreExactInDoubles(kernel)) {
            KernelImage(kernel, in, out);
            return result;
        }
    }
#else
    (void)fast;
#endif
    FilterImage(in, out, kernel);
    return result;
}

}  // namespace

HBITMAP sharpen(HBITMAP image, const float kernel[kKernelSize]) { return Sharpen(image, kernel, UseFastPaths()); }

HBITMAP SharpenPlain(HBITMAP image, const float kernel[kKernelSize]) { return Sharpen(image, kernel, false); }
