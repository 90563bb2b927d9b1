#include "bilinear.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "extended_precision.h"
#include "fast_paths.h"
#include "image_view.h"
#include "simd.h"

namespace {

// Where one destination column or row samples the source: the two source indices and the weight of the
// second.
struct Sample {
    std::uint32_t first;
    std::uint32_t second;
    long double fraction;
};

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
    }
    return samples;
}

// trunc(t) of an extended-precision t from 0 to 256. Converted directly, every byte would switch the
// x87 unit to truncation and back, which costs more than the arithmetic; instead t is rounded to the
// nearest integer by adding and taking away 2^63 (where long doubles are one apart), stepped down when
// that went up, and the small integer, exact in a double, converted from there.
long Truncated(long double t) {
    constexpr long double kIntegers = 0x1p63L;
    long double r = (t + kIntegers) - kIntegers;
    if (r > t) r -= 1;
    return static_cast<long>(static_cast<double>(r));
}

// The definition, in extended precision.
BYTE InterpolateExtended(int a, int b, int c, int d, const Sample& x, const Sample& y) {
    const long double top = static_cast<long double>(b - a) * x.fraction + a;
    const long double bottom = static_cast<long double>(d - c) * x.fraction + c;
    const long double v = top + (bottom - top) * y.fraction;
    return static_cast<BYTE>(static_cast<std::uint16_t>(Truncated(v + 0.5L)));
}

void Resample(const BITMAP& destination, const BITMAP& source, const std::vector<Sample>& across,
              const std::vector<Sample>& down) {
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
            for (int k = 0; k < 3; ++k) out[k] = InterpolateExtended(a[k], b[k], c[k], d[k], across[j], down[i]);
        }
    }
}

#if KS_FAST_PATHS
// ---------------------------------------------------------------------------------------------------
// The first fast path, for sizes that divide (the search's): weights of 0 and 1/2 only, each destination
// pixel the rounded mean of four source pixels, three bytes at once in vector registers.
// ---------------------------------------------------------------------------------------------------

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

// Four bytes from `p` (one pixel and a byte to spare), or eight (two neighbouring pixels and two to
// spare), in 16-bit lanes.
KS_AVX2 inline simd::V128 Pixel16(const BYTE* p, int bytes) {
    return simd::LowBytesTo16(bytes == 8 ? simd::Load64(p) : simd::Load32(p));
}

// The rounded mean (sum + 2) >> 2 of the 16-bit lanes, written as four bytes: the fourth is the next
// pixel's, written next.
KS_AVX2 inline void StoreMean(simd::V128 sum, BYTE* at) {
    using namespace simd;
    Store32(at, NarrowToBytes(ShiftRight16(Add16(sum, Every16(2)), 2), Zero128()));
}

// Weights of 0 and 1/2 only, both exact in extended precision, as are all the definition's steps with
// them: with both weights 1/2, top = (a + b)/2, bottom = (c + d)/2 and v = (a + b + c + d)/4, so
// trunc(v + 1/2) = (a + b + c + d + 2) >> 2. A weight of 0 gives the same when the second index is
// replaced by the first, since its byte is then not used: with x's weight 0 and y's 1/2, v = (a + c)/2
// and (a + a + c + c + 2) >> 2 = (a + c + 1) >> 1 is the result; likewise for the other two cases. So
// each destination pixel is the rounded mean of
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
    // A source exactly twice as wide, as the search's own picture is: destination pixel j takes source
    // pixels 2j and 2j + 1, so four destination pixels' pairs lie in 24 bytes side by side, two in each
    // half of a vector (twelve of its sixteen bytes). The pairs' bytes are set side by side by channel,
    // one multiply-add of bytes by ones sums each pair, the two rows' sums are added, and a rounding
    // multiply by 2^13 makes (s + 2) >> 2; each half stores its six bytes as eight, the two to spare
    // taken by the next pixel's, written next.
    const bool twice = s_step == 3 && d_step == 3 && static_cast<std::uint32_t>(source.bmWidth) == 2 * width;
    static constexpr std::int8_t kPairs[16] = {0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1};
    const simd::V256 pairs = simd::Join(simd::Load128(kPairs), simd::Load128(kPairs));
    const simd::V256 ones = simd::Every16x16(0x0101), quarter = simd::Every16x16(1 << 13);
    const std::size_t read_size = neighbours ? 8 : 4;
    const auto read_end = [&](std::uint32_t j) {
        return (neighbours ? columns[2 * j] : columns[2 * j + 1]) + read_size;
    };
    using namespace simd;
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
        std::uint32_t j = 0;
        for (; twice && j + 4 <= vector_end && 6 * std::size_t{j} + 28 <= readable; j += 4, out += 12) {
            const BYTE* a = row0 + 6 * std::size_t{j};
            const BYTE* b = row1 + 6 * std::size_t{j};
            const V256 top = MulAddPairs8(PickBytes(Join(Load128(a), Load128(a + 12)), pairs), ones);
            const V256 bottom = MulAddPairs8(PickBytes(Join(Load128(b), Load128(b + 12)), pairs), ones);
            const V256 mean = MulHighRounded16(Add16(top, bottom), quarter);
            const V256 bytes = NarrowToBytes(mean, mean);
            Store64(out, LowHalf(bytes));
            Store64(out + 6, HighHalf(bytes));
        }
        if (neighbours) {
            // Lanes 0-2 hold the first pixel of each row, lanes 3-5 the second: fold them.
#pragma GCC unroll 4
            for (; j < vector_end; ++j, out += 3) {
                const V128 both = Add16(Pixel16(row0 + columns[2 * j], 8), Pixel16(row1 + columns[2 * j], 8));
                StoreMean(Add16(both, ShiftBytesDown6(both)), out);
            }
        } else {
            for (; j < vector_end; ++j, out += 3) {
                const std::size_t x0 = columns[2 * j], x1 = columns[2 * j + 1];
                StoreMean(Add16(Add16(Pixel16(row0 + x0, 4), Pixel16(row0 + x1, 4)),
                                Add16(Pixel16(row1 + x0, 4), Pixel16(row1 + x1, 4))),
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

// ---------------------------------------------------------------------------------------------------
// The second fast path, for any other sizes: the definition's steps in floats, two pixels at a time.
//
// Floats round where extended precision does not, so a result is kept only where it cannot differ from
// the definition's:
// - where both fractions are multiples of 2^-8, every step is exact in floats as in extended precision
//   (each value a multiple of 2^-16 below 2^8, which a float's 24 bits hold), so both give the exact
//   value;
// - elsewhere, v + 1/2 in floats strays from its exact value (with the fractions as extended precision
//   holds them) by less than 14 · 2^-17: each fraction is rounded to a float by at most 2^-25, which a
//   difference of at most 255 makes less than 2^-17, each of the seven operations rounds a result below
//   2^8 by at most 2^-17, and the errors of the two ends add in their difference. In extended precision
//   it strays by far less, so where the float result lies further than 2^-13 from a whole number both
//   truncate it alike. (The part of the result past its whole number is formed exactly, Sterbenz.)
// The few bytes left, within 2^-13 of a tie, are the definition's own.
// ---------------------------------------------------------------------------------------------------

constexpr float kTieMargin = 0x1p-13f;

bool IsShort(long double fraction) {  // a multiple of 2^-8
    const long double scaled = fraction * 0x1p8L;
    return scaled == std::floor(scaled);
}

// A float of all bits set, a mask for the vector comparisons.
float AllBits() {
    const std::uint32_t bits = ~std::uint32_t{0};
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// What resampling one pair of sizes needs beside the pictures, kept from one call to the next (one per
// thread): the search resamples one size again and again, and each sample costs a division in extended
// precision.
struct AnyRatioSetup {
    std::uint32_t source_width = 0, source_height = 0, width = 0, height = 0;
    std::vector<Sample> across, down;
    // Four lanes a destination pixel, so that a pair's eight load together, the first pixel's in the low
    // half of a vector and the second's in the high.
    std::vector<float> fraction;         // across, in floats
    std::vector<float> short_fraction;   // across: all bits set where a multiple of 2^-8, else 0
    std::vector<std::uint32_t> pending;  // the pixels of a row left to the definition
};

AnyRatioSetup& AnyRatioSetupFor(std::uint32_t sw, std::uint32_t sh, std::uint32_t dw, std::uint32_t dh) {
    thread_local AnyRatioSetup kept;
    if (kept.source_width != sw || kept.source_height != sh || kept.width != dw || kept.height != dh) {
        kept.source_width = sw;
        kept.source_height = sh;
        kept.width = dw;
        kept.height = dh;
        kept.across = Samples(sw, dw);
        kept.down = Samples(sh, dh);
        kept.fraction.resize(4 * std::size_t{dw});
        kept.short_fraction.resize(4 * std::size_t{dw});
        for (std::size_t j = 0; j < dw; ++j) {
            const Sample& x = kept.across[j];
            for (std::size_t lane = 0; lane < 4; ++lane) {
                kept.fraction[4 * j + lane] = static_cast<float>(x.fraction);
                kept.short_fraction[4 * j + lane] = IsShort(x.fraction) ? AllBits() : 0.0f;
            }
        }
        kept.pending.resize(dw);
    }
    return kept;
}

// Two pixels' three bytes and the one after each, as eight floats.
KS_AVX2 inline simd::F256 PixelFloats(const BYTE* first, const BYTE* second) {
    using namespace simd;
    return ToFloats(BytesTo32(InterleaveLow32(Load32(first), Load32(second))));
}

// A row at a time: first every pair of destination pixels in floats, the three bytes of each in three
// lanes of its half of a vector, each source pixel read as four bytes (the fourth unused) but where that
// would read past the end of the image; then the bytes the floats could not settle, by the definition.
// The pixels holding those are listed on the way rather than branched on, which keeps the first loop
// free of branches it cannot predict.
//
// A byte is settled where every step is exact in floats as in extended precision, so that both give
// the exact value: a step is exact where its fraction is short (above) or its two ends are equal (the
// difference is then 0); else where the result lies further than the margin from a tie.
KS_AVX2 void ResampleAnyRatio(const BITMAP& destination, const BITMAP& source, AnyRatioSetup& setup) {
    using namespace simd;
    const std::vector<Sample>&across = setup.across, &down = setup.down;
    const auto width = static_cast<std::uint32_t>(across.size());
    const std::size_t s_step = PixelStep(source), d_step = PixelStep(destination);
    const auto source_rows = static_cast<std::uint32_t>(source.bmHeight);
    const auto stride = static_cast<std::size_t>(source.bmWidthBytes);
    const F256 half = EveryFloat(0.5f), low = EveryFloat(kTieMargin), high = EveryFloat(1 - kTieMargin);
    static constexpr std::int8_t kSix[16] = {0, 1, 2, 4, 5, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    const V128 six = Load128(kSix);
    constexpr unsigned kAllSettled = 7;
    std::uint32_t* const pending = setup.pending.data();  // 8 · pixel + its settled bytes, one bit each
    for (std::uint32_t i = 0; i < down.size(); ++i) {
        const Sample& y = down[i];
        const BYTE* row0 = RowAt(source, y.first);
        const BYTE* row1 = RowAt(source, y.second);
        const std::size_t readable = (source_rows - std::max(y.first, y.second)) * stride;
        const F256 fy = EveryFloat(static_cast<float>(y.fraction));
        const F256 y_short = EveryFloat(IsShort(y.fraction) ? AllBits() : 0.0f);
        BYTE* out = RowAt(destination, i);
        std::uint32_t* put = pending;
        std::uint32_t vector_end = width;  // the source indices only grow with j
        while (vector_end > 0 &&
               std::max(across[vector_end - 1].first, across[vector_end - 1].second) * s_step + 4 > readable) {
            --vector_end;
        }
        std::uint32_t j = 0;
        for (; j + 2 <= vector_end; j += 2, out += 2 * d_step) {
            const std::size_t x0 = across[j].first * s_step, x1 = across[j].second * s_step;
            const std::size_t x2 = across[j + 1].first * s_step, x3 = across[j + 1].second * s_step;
            const F256 fa = PixelFloats(row0 + x0, row0 + x2), fb = PixelFloats(row0 + x1, row0 + x3);
            const F256 fc = PixelFloats(row1 + x0, row1 + x2), fd = PixelFloats(row1 + x1, row1 + x3);
            const F256 fx = LoadFloats(&setup.fraction[4 * j]);
            const F256 top = Add(Mul(Subtract(fb, fa), fx), fa);
            const F256 bottom = Add(Mul(Subtract(fd, fc), fx), fc);
            const F256 t = Add(Add(top, Mul(Subtract(bottom, top), fy)), half);
            const F256 part = Subtract(t, Floor(t));
            const F256 x_exact = Or(LoadFloats(&setup.short_fraction[4 * j]), And(Equal(fa, fb), Equal(fc, fd)));
            const F256 exact = And(x_exact, Or(y_short, Equal(top, bottom)));
            const unsigned settled = Signs(Or(exact, And(Greater(part, low), Less(part, high))));
            const V256 whole = TruncateTo32(t);
            const V128 words = NarrowTo16(LowHalf(whole), HighHalf(whole));
            const V128 bytes = NarrowToBytes(words, words);
            if (d_step == 3 && j + 2 < width) {
                // Both pixels' three bytes side by side, and two to spare: the next pixel's, written next.
                Store64(out, PickBytes(bytes, six));
            } else {
                BYTE eight[8];
                Store64(eight, bytes);
                std::memcpy(out, eight, 3);
                std::memcpy(out + d_step, eight + 4, 3);
            }
            for (std::uint32_t k = 0; k < 2; ++k) {
                const unsigned its = settled >> (4 * k) & kAllSettled;
                *put = 8 * (j + k) + its;
                put += its != kAllSettled;
            }
        }
        for (; j < width; ++j) *put++ = 8 * j;
        out = RowAt(destination, i);
        for (const std::uint32_t* p = pending; p != put; ++p) {
            const std::uint32_t pixel = *p / 8, settled = *p % 8;
            const Sample& x = across[pixel];
            for (std::uint32_t k = 0; k < 3; ++k) {
                if ((settled >> k & 1) != 0) continue;
                const std::size_t x0 = x.first * s_step + k, x1 = x.second * s_step + k;
                out[pixel * d_step + k] = InterpolateExtended(row0[x0], row0[x1], row1[x0], row1[x1], x, y);
            }
        }
    }
}

#endif  // KS_FAST_PATHS

void Bilinear(const BITMAP& destination, const BITMAP& source, bool fast) {
    const auto dW = static_cast<std::uint32_t>(destination.bmWidth);
    const auto dH = static_cast<std::uint32_t>(destination.bmHeight);
    const auto sW = static_cast<std::uint32_t>(source.bmWidth);
    const auto sH = static_cast<std::uint32_t>(source.bmHeight);
    if (dW == 0 || dH == 0 || sW == 0 || sH == 0 || !IsTrueColour(source) || !IsTrueColour(destination)) return;

#if KS_FAST_PATHS
    if (fast && sW % dW == 0 && sH % dH == 0) {
        ResampleHalves(destination, source, WholeRatioPairs(sW, dW), WholeRatioPairs(sH, dH));
        return;
    }
    if (fast) {
        ResampleAnyRatio(destination, source, AnyRatioSetupFor(sW, sH, dW, dH));
        return;
    }
#else
    (void)fast;
#endif
    Resample(destination, source, Samples(sW, dW), Samples(sH, dH));
}

}  // namespace

void bilinear_interpolation(const BITMAP& destination, const BITMAP& source) {
    Bilinear(destination, source, UseFastPaths());
}

void BilinearPlain(const BITMAP& destination, const BITMAP& source) { Bilinear(destination, source, false); }
