#include "bilinear.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "extended_precision.h"
#include "fast_paths.h"
#include "image_view.h"

namespace {

// Where one destination column or row samples the source: the two source indices, the weight of the
// second, and that weight in 1/65536ths when it is a whole number of them.
struct Sample {
    std::uint32_t first;
    std::uint32_t second;
    long double fraction;
    std::int64_t in_65536ths;  // fraction × 2^16, or −1 when that is not an integer
};

constexpr int kFractionBits = 16;
constexpr long double kFractionScale = 65536.0L;

// One sample per destination index, computed once per call. The product index × source size is formed
// exactly as a running sum before the division; it is kept in 64 bits so that it stays exact for any
// pair of sizes.
std::vector<Sample> Samples(std::uint32_t source, std::uint32_t destination) {
    std::vector<Sample> samples(destination);
    const long double last = static_cast<long double>(source - 1);
    std::uint64_t product = 0;
    for (std::uint32_t j = 0; j < destination; ++j, product += source) {
        long double position = static_cast<long double>(product) / static_cast<long double>(destination) + 0.5L;
        if (position > last) position = last;
        const auto first = static_cast<std::uint32_t>(position);
        Sample& s = samples[j];
        s.first = first;
        s.second = first + 1 == source ? first : first + 1;
        s.fraction = position - static_cast<long double>(first);
        const long double scaled = s.fraction * kFractionScale;
        s.in_65536ths = scaled == static_cast<long double>(static_cast<std::int64_t>(scaled))
                            ? static_cast<std::int64_t>(scaled)
                            : -1;
    }
    return samples;
}

// The definition, in extended precision.
[[gnu::always_inline]] inline BYTE InterpolateExtended(int a, int b, int c, int d, const Sample& x, const Sample& y) {
    const long double top = static_cast<long double>(b - a) * x.fraction + a;
    const long double bottom = static_cast<long double>(d - c) * x.fraction + c;
    const long double v = top + (bottom - top) * y.fraction;
    return static_cast<BYTE>(static_cast<std::uint16_t>(static_cast<long>(v + 0.5L)));
}

template <typename Interpolate>
[[gnu::always_inline]] inline void Resample(const BITMAP& destination, const BITMAP& source,
                                            const std::vector<Sample>& across, const std::vector<Sample>& down,
                                            Interpolate interpolate) {
    const std::size_t s_step = PixelStep(source), d_step = PixelStep(destination);
    for (std::uint32_t i = 0; i < down.size(); ++i) {
        const BYTE* row0 = RowAt(source, down[i].first);
        const BYTE* row1 = RowAt(source, down[i].second);
        BYTE* out = RowAt(destination, i);
        for (std::uint32_t j = 0; j < across.size(); ++j, out += d_step) {
            const BYTE* a = row0 + across[j].first * s_step;   // (x0, y0)
            const BYTE* b = row0 + across[j].second * s_step;  // (x1, y0)
            const BYTE* c = row1 + across[j].first * s_step;   // (x0, y1)
            const BYTE* d = row1 + across[j].second * s_step;  // (x1, y1)
            for (int k = 0; k < 3; ++k) out[k] = interpolate(a[k], b[k], c[k], d[k], across[j], down[i]);
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// The fast paths: weights that are whole numbers of 1/65536ths, in integers; and weights of 0 and 1/2
// only, the search's case, as means of four bytes in vector registers.
// ---------------------------------------------------------------------------------------------------

// The same in integers, for weights that are whole numbers of 1/65536ths (X and Y of them). Then every
// step of the definition is exact in a 64-bit significand: (b − a)·fx needs at most 9 + 16 bits, top and
// bottom 26, (bottom − top)·fy 43, v and v + 0.5 no more; so the extended-precision v is exactly
// (top·2^16 + (bottom − top)·Y) / 2^32 with top = (b − a)·X + a·2^16, and, v being at least 0,
// trunc(v + 0.5) is that numerator plus 2^31, shifted down by 32. Integer ratios of the sizes, such as
// the search's pictures at whole multiples of 24, give halves and zeros only.
BYTE InterpolateFixed(int a, int b, int c, int d, const Sample& x, const Sample& y) {
    const std::int64_t top = static_cast<std::int64_t>(b - a) * x.in_65536ths + (std::int64_t{a} << kFractionBits);
    const std::int64_t bottom = static_cast<std::int64_t>(d - c) * x.in_65536ths + (std::int64_t{c} << kFractionBits);
    const std::int64_t v = (top << kFractionBits) + (bottom - top) * y.in_65536ths;
    return static_cast<BYTE>((v + (std::int64_t{1} << (2 * kFractionBits - 1))) >> (2 * kFractionBits));
}

// The two source indices a destination index reads when its weight is 1/2, or its one index twice
// when the weight is 0 (the second index's byte is then not used).
struct Pair {
    std::uint32_t first, second;
};

// Sizes that divide: the position j·(source/destination) + 1/2 is a whole number plus exactly 1/2, or
// the last index when that lies beyond it, so every weight is 1/2, or 0 at the clamp; formed in
// integers, as the extended-precision steps give it.
std::vector<Pair> WholeRatioPairs(std::uint32_t source, std::uint32_t destination) {
    std::vector<Pair> pairs(destination);
    const std::uint64_t ratio = source / destination;
    for (std::uint32_t j = 0; j < destination; ++j) {
        const std::uint64_t first = j * ratio;
        pairs[j] = first + 1 < source ? Pair{static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(first + 1)}
                                      : Pair{source - 1, source - 1};
    }
    return pairs;
}

// Any other weights: the definition itself, compiled for the processors that have AVX2. What makes the
// plain build slow there is the conversion of each byte's extended-precision value to an integer, which
// without SSE3 must switch the x87 unit's rounding mode to truncation and back, for every byte; with it,
// one instruction (fisttp) truncates. The arithmetic is the same instructions on the same x87 unit, so
// the bytes are.
KS_AVX2 void ResampleExtended(const BITMAP& destination, const BITMAP& source, const std::vector<Sample>& across,
                              const std::vector<Sample>& down) {
    Resample(destination, source, across, down, InterpolateExtended);
}

// Weights of 0 and 1/2 only. With X and Y each 0 or 2^15, the integer form above is the rounded mean
// of four bytes: for X = Y = 2^15, v = (a + b + c + d)·2^30 and the result is (a + b + c + d + 2) >> 2.
// A weight of 0 gives the same when the second index is replaced by the first, since its byte is then
// not used: for X = 0 and Y = 2^15, v = (a + c)·2^31 and (a + a + c + c + 2) >> 2 = (a + c + 1) >> 1
// is the result; likewise for the other two cases. So each destination pixel is the rounded mean of
// four source pixels, done here on its three bytes at once, each pixel read and written as four bytes
// (one to spare); the few pixels where that spare byte could fall outside take the plain way.
KS_AVX2 void ResampleHalves(const BITMAP& destination, const BITMAP& source, const std::vector<Pair>& across,
                            const std::vector<Pair>& down) {
    const std::size_t s_step = PixelStep(source), d_step = PixelStep(destination);
    const auto width = static_cast<std::uint32_t>(across.size());
    const auto source_rows = static_cast<std::uint32_t>(source.bmHeight);
    const auto stride = static_cast<std::size_t>(source.bmWidthBytes);
    // Byte offsets of both columns of every destination column. When every pair of columns is two
    // neighbouring 24-bit pixels, as for sizes that divide, one eight-byte read per row takes both.
    std::vector<std::size_t> columns(2 * std::size_t{width});
    bool neighbours = s_step == 3;
    for (std::uint32_t j = 0; j < width; ++j) {
        columns[2 * j] = across[j].first * s_step;
        columns[2 * j + 1] = across[j].second * s_step;
        if (j + 1 < width)
            neighbours = neighbours && columns[2 * j + 1] == columns[2 * j] + 3;  // the last goes the plain way
    }
    const std::size_t read_size = neighbours ? 8 : 4;
    const auto read_end = [&](std::uint32_t j) {
        return (neighbours ? columns[2 * j] : columns[2 * j + 1]) + read_size;
    };
    const __m128i zero = _mm_setzero_si128(), two = _mm_set1_epi16(2);
    const auto load = [&](const BYTE* p) {
        std::uint32_t v;
        std::memcpy(&v, p, sizeof v);
        return _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(v)), zero);
    };
    const auto load_two = [&](const BYTE* p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    };
    for (std::uint32_t i = 0; i < down.size(); ++i) {
        const std::uint32_t y0 = down[i].first, y1 = down[i].second;
        const BYTE* row0 = RowAt(source, y0);
        const BYTE* row1 = RowAt(source, y1);
        BYTE* out = RowAt(destination, i);
        // Four-byte writes need a next pixel to take the fourth byte; the wide reads must stay inside
        // the rows from the lower one to the end of the image.
        std::uint32_t vector_end = d_step == 3 ? width - 1 : 0;
        const std::size_t readable = (source_rows - std::max(y0, y1)) * stride;
        while (vector_end > 0 && read_end(vector_end - 1) > readable) --vector_end;
        const auto store_mean = [&](__m128i sum, BYTE* at) {
            const int mean = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(sum, two), 2), zero));
            std::memcpy(at, &mean, sizeof mean);  // the fourth byte is the next pixel's, written next
        };
        std::uint32_t j = 0;
        if (neighbours) {
            // Lanes 0-2 hold the first pixel of each row, lanes 3-5 the second: fold them.
#pragma GCC unroll 4
            for (; j < vector_end; ++j, out += 3) {
                const __m128i both = _mm_add_epi16(load_two(row0 + columns[2 * j]), load_two(row1 + columns[2 * j]));
                store_mean(_mm_add_epi16(both, _mm_srli_si128(both, 6)), out);
            }
        } else {
            for (; j < vector_end; ++j, out += 3) {
                const std::size_t x0 = columns[2 * j], x1 = columns[2 * j + 1];
                store_mean(_mm_add_epi16(_mm_add_epi16(load(row0 + x0), load(row0 + x1)),
                                         _mm_add_epi16(load(row1 + x0), load(row1 + x1))),
                           out);
            }
        }
        for (; j < width; ++j, out += d_step) {
            const std::size_t x0 = columns[2 * j], x1 = columns[2 * j + 1];
            for (std::size_t k = 0; k < 3; ++k) {
                out[k] = static_cast<BYTE>((row0[x0 + k] + row0[x1 + k] + row1[x0 + k] + row1[x1 + k] + 2) >> 2);
            }
        }
    }
}

}  // namespace

void bilinear_interpolation(const BITMAP& destination, const BITMAP& source) {
    const auto dW = static_cast<std::uint32_t>(destination.bmWidth);
    const auto dH = static_cast<std::uint32_t>(destination.bmHeight);
    const auto sW = static_cast<std::uint32_t>(source.bmWidth);
    const auto sH = static_cast<std::uint32_t>(source.bmHeight);
    if (dW == 0 || dH == 0 || sW == 0 || sH == 0 || !IsTrueColour(source) || !IsTrueColour(destination)) return;

    if (UseFastPaths() && sW % dW == 0 && sH % dH == 0) {
        ResampleHalves(destination, source, WholeRatioPairs(sW, dW), WholeRatioPairs(sH, dH));
        return;
    }
    const std::vector<Sample> across = Samples(sW, dW);
    const std::vector<Sample> down = Samples(sH, dH);
    const auto fixed = [](const std::vector<Sample>& samples) {
        return std::all_of(samples.begin(), samples.end(), [](const Sample& s) { return s.in_65536ths >= 0; });
    };
    if (UseFastPaths() && fixed(across) && fixed(down)) {
        Resample(destination, source, across, down, InterpolateFixed);
    } else if (UseFastPaths()) {
        ResampleExtended(destination, source, across, down);
    } else {
        Resample(destination, source, across, down, InterpolateExtended);
    }
}
