#include "sharpen.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "copy_image.h"
#include "extended_precision.h"
#include "image_view.h"

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

// ---------------------------------------------------------------------------------------------------
// The same in integers, for a cross: corners 0, the four edges one weight q, the centre r, as every
// kernel of the search is.
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

struct Cross {
    bool usable = false;
    std::int64_t q = 0, r = 0;  // Q and R
    int shift = 0;              // s
    __m128i high, low;          // (Qh, Rh) and (Ql, Rl), four pairs each
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
    c.usable = true;
    c.q = static_cast<std::int64_t>(q);
    c.r = static_cast<std::int64_t>(r);
    c.shift = shift;
    const auto high = static_cast<std::int16_t>(c.q >> kLowBits), rhigh = static_cast<std::int16_t>(c.r >> kLowBits);
    const auto low = static_cast<std::int16_t>(c.q & ((1 << kLowBits) - 1));
    const auto rlow = static_cast<std::int16_t>(c.r & ((1 << kLowBits) - 1));
    c.high = _mm_set_epi16(rhigh, high, rhigh, high, rhigh, high, rhigh, high);
    c.low = _mm_set_epi16(rlow, low, rlow, low, rlow, low, rlow, low);
    return c;
}

BYTE CrossByte(const Cross& c, int edges, int centre) {
    const std::int64_t floor = (c.q * edges + c.r * centre) >> c.shift;
    return static_cast<BYTE>(std::clamp<std::int64_t>(floor, 0, 255));
}

// Whether the processor has 256-bit integer vectors, asked once.
bool HasWideVectors() {
    static const bool wide = __builtin_cpu_supports("avx2") != 0;
    return wide;
}

// One output row of a 24-bit image and what it is made from: the rows above and below it and itself,
// and how many bytes away the left and right neighbours are (−3 and 3 inside the row, 0 where a border
// pixel stands in for a missing one).
struct RowWindow {
    const BYTE* above;
    const BYTE* row;
    const BYTE* below;
    std::ptrdiff_t left, right;
    BYTE* target;
};

// Output bytes [i, i + 8).
void CrossEight(const Cross& c, const RowWindow& w, std::size_t i) {
    const __m128i shift = _mm_cvtsi32_si128(c.shift - kLowBits);
    const __m128i zero = _mm_setzero_si128();
    const auto bytes = [&](const BYTE* p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    };
    const auto floor4 = [&](__m128i pairs) {
        const __m128i a = _mm_madd_epi16(pairs, c.high);
        const __m128i b = _mm_madd_epi16(pairs, c.low);
        return _mm_sra_epi32(_mm_add_epi32(a, _mm_srli_epi32(b, kLowBits)), shift);
    };
    const __m128i edges = _mm_add_epi16(_mm_add_epi16(bytes(w.above + i), bytes(w.below + i)),
                                        _mm_add_epi16(bytes(w.row + i + w.left), bytes(w.row + i + w.right)));
    const __m128i centre = bytes(w.row + i);
    const __m128i v0 = floor4(_mm_unpacklo_epi16(edges, centre));
    const __m128i v1 = floor4(_mm_unpackhi_epi16(edges, centre));
    const __m128i clamped = _mm_packus_epi16(_mm_packs_epi32(v0, v1), zero);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(w.target + i), clamped);
}

// The same sixteen bytes per step, in 256-bit registers, for processors that have them. Unpacking and
// packing work within each 128-bit half, so the sixteen results come out as two runs of eight, put
// side by side at the end.
#define KS_WIDE __attribute__((target("avx2")))

KS_WIDE inline __m256i WideBytes(const BYTE* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

KS_WIDE inline __m256i WideFloor(__m256i pairs, __m256i high, __m256i low, __m128i shift) {
    const __m256i a = _mm256_madd_epi16(pairs, high);
    const __m256i b = _mm256_madd_epi16(pairs, low);
    return _mm256_sra_epi32(_mm256_add_epi32(a, _mm256_srli_epi32(b, kLowBits)), shift);
}

// Output bytes [first, last), at least sixteen of them; the last step may overlap the one before.
KS_WIDE void CrossRunWide(const Cross& c, const RowWindow& w, std::size_t first, std::size_t last) {
    const __m256i high = _mm256_broadcastsi128_si256(c.high), low = _mm256_broadcastsi128_si256(c.low);
    const __m128i shift = _mm_cvtsi32_si128(c.shift - kLowBits);
    for (std::size_t step = first;; step += 16) {
        const std::size_t i = std::min(step, last - 16);
        const __m256i edges = _mm256_add_epi16(_mm256_add_epi16(WideBytes(w.above + i), WideBytes(w.below + i)),
                                               _mm256_add_epi16(WideBytes(w.row + i + w.left), WideBytes(w.row + i + w.right)));
        const __m256i centre = WideBytes(w.row + i);
        const __m256i v0 = WideFloor(_mm256_unpacklo_epi16(edges, centre), high, low, shift);
        const __m256i v1 = WideFloor(_mm256_unpackhi_epi16(edges, centre), high, low, shift);
        const __m256i clamped = _mm256_packus_epi16(_mm256_packs_epi32(v0, v1), _mm256_setzero_si256());
        const __m256i in_order = _mm256_permute4x64_epi64(clamped, 0x08);  // quarters 0 and 2
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w.target + i), _mm256_castsi256_si128(in_order));
        if (i + 16 >= last) break;
    }
}

// Output bytes [first, last): sixteen or eight at a time where there are that many (a run that is not
// a whole number of steps ends with a step overlapping the one before: those bytes are simply computed
// twice, to the same values), else one by one.
void CrossRun(const Cross& c, const RowWindow& w, std::size_t first, std::size_t last) {
    if (last - first >= 16 && HasWideVectors()) {
        CrossRunWide(c, w, first, last);
    } else if (last - first >= 8) {
        for (std::size_t i = first; i + 8 <= last; i += 8) CrossEight(c, w, i);
        CrossEight(c, w, last - 8);
    } else {
        for (std::size_t i = first; i < last; ++i) {
            w.target[i] = CrossByte(c, w.above[i] + w.below[i] + w.row[i + w.left] + w.row[i + w.right], w.row[i]);
        }
    }
}

// ---------------------------------------------------------------------------------------------------

void FilterImage(const BITMAP& in, const BITMAP& out, const float kernel[kKernelSize]) {
    const auto W = static_cast<std::uint32_t>(in.bmWidth);
    const auto H = static_cast<std::uint32_t>(in.bmHeight);
    const std::size_t step = PixelStep(in);
    const Cross cross = AsCross(kernel);
    // Widening a single-precision weight is exact, so doing it once here changes no product.
    long double k[kKernelSize] = {};
    if (!cross.usable) std::copy(kernel, kernel + kKernelSize, k);
    for (std::uint32_t y = 0; y < H; ++y) {
        const std::uint32_t ym = y == 0 ? 0 : y - 1, yp = y + 1 == H ? y : y + 1;
        Neighbours p;
        p.rows[0] = RowAt(in, ym);
        p.rows[1] = RowAt(in, y);
        p.rows[2] = RowAt(in, yp);
        BYTE* target = RowAt(out, y);
        if (cross.usable && step == 3) {
            const std::size_t last = 3 * std::size_t{W - 1};  // the last pixel's first byte
            const auto window = [&](std::ptrdiff_t left, std::ptrdiff_t right) {
                return RowWindow{p.rows[0], p.rows[1], p.rows[2], left, right, target};
            };
            if (W >= 4) {
                // The border pixels first, each at the end of a run of eight bytes computed with its
                // neighbours; the inside, computed after, writes over the rest of those runs.
                CrossEight(cross, window(0, 3), 0);
                CrossEight(cross, window(-3, 0), last + 3 - 8);
                CrossRun(cross, window(-3, 3), 3, last);
            } else if (W > 1) {
                CrossRun(cross, window(0, 3), 0, 3);
                CrossRun(cross, window(-3, 3), 3, last);
                CrossRun(cross, window(-3, 0), last, last + 3);
            } else {
                CrossRun(cross, window(0, 0), 0, 3);
            }
            continue;
        }
        for (std::uint32_t x = 0; x < W; ++x) {
            p.columns[0] = (x == 0 ? 0 : x - 1) * step;
            p.columns[1] = x * step;
            p.columns[2] = (x + 1 == W ? x : x + 1) * step;
            for (std::size_t b = 0; b < 3; ++b) {
                target[p.columns[1] + b] =
                    cross.usable ? CrossByte(cross, p.at(1, b) + p.at(3, b) + p.at(5, b) + p.at(7, b), p.at(4, b))
                                 : Filter(k, p, b);
            }
        }
    }
}

}  // namespace

HBITMAP sharpen(HBITMAP image, const float kernel[kKernelSize]) {
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
    FilterImage(in, out, kernel);
    return result;
}
