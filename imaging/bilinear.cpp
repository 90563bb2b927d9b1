#include "bilinear.h"

#include <cstdint>
#include <vector>

#include "extended_precision.h"
#include "image_view.h"

namespace {

// Where one destination column or row samples the source: the two source indices, the weight of the
// second, and that weight in 1/65536ths when it is a whole number of them.
struct Sample {
    std::uint32_t first;
    std::uint32_t second;
    long double fraction;
    std::int64_t sixteenths;  // fraction × 2^16, or −1 when that is not an integer
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
        s.sixteenths = scaled == static_cast<long double>(static_cast<std::int64_t>(scaled))
                           ? static_cast<std::int64_t>(scaled)
                           : -1;
    }
    return samples;
}

bool AllInSixteenths(const std::vector<Sample>& samples) {
    for (const Sample& s : samples) {
        if (s.sixteenths < 0) return false;
    }
    return true;
}

// The definition, in extended precision.
BYTE InterpolateExtended(int a, int b, int c, int d, const Sample& x, const Sample& y) {
    const long double top = static_cast<long double>(b - a) * x.fraction + a;
    const long double bottom = static_cast<long double>(d - c) * x.fraction + c;
    const long double v = top + (bottom - top) * y.fraction;
    return static_cast<BYTE>(static_cast<std::uint16_t>(static_cast<long>(v + 0.5L)));
}

// The same in integers, for weights that are whole numbers of 1/65536ths (X and Y of them). Then every
// step of the definition is exact in a 64-bit significand: (b − a)·fx needs at most 9 + 16 bits, top and
// bottom 26, (bottom − top)·fy 43, v and v + 0.5 no more; so the extended-precision v is exactly
// (top·2^16 + (bottom − top)·Y) / 2^32 with top = (b − a)·X + a·2^16, and, v being at least 0,
// trunc(v + 0.5) is that numerator plus 2^31, shifted down by 32. Integer ratios of the sizes, such as
// the search's pictures at whole multiples of 24, give halves and zeros only.
BYTE InterpolateInSixteenths(int a, int b, int c, int d, const Sample& x, const Sample& y) {
    const std::int64_t top = static_cast<std::int64_t>(b - a) * x.sixteenths + (std::int64_t{a} << kFractionBits);
    const std::int64_t bottom = static_cast<std::int64_t>(d - c) * x.sixteenths + (std::int64_t{c} << kFractionBits);
    const std::int64_t v = (top << kFractionBits) + (bottom - top) * y.sixteenths;
    return static_cast<BYTE>((v + (std::int64_t{1} << (2 * kFractionBits - 1))) >> (2 * kFractionBits));
}

template <typename Interpolate>
void Resample(const BITMAP& destination, const BITMAP& source, const std::vector<Sample>& across,
              const std::vector<Sample>& down, Interpolate interpolate) {
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

}  // namespace

void bilinear_interpolation(const BITMAP& destination, const BITMAP& source) {
    const auto dW = static_cast<std::uint32_t>(destination.bmWidth);
    const auto dH = static_cast<std::uint32_t>(destination.bmHeight);
    const auto sW = static_cast<std::uint32_t>(source.bmWidth);
    const auto sH = static_cast<std::uint32_t>(source.bmHeight);
    if (dW == 0 || dH == 0 || sW == 0 || sH == 0 || !IsTrueColour(source) || !IsTrueColour(destination)) return;

    const std::vector<Sample> across = Samples(sW, dW);
    const std::vector<Sample> down = Samples(sH, dH);
    if (AllInSixteenths(across) && AllInSixteenths(down)) {
        Resample(destination, source, across, down,
                 [](int a, int b, int c, int d, const Sample& x, const Sample& y) {
                     return InterpolateInSixteenths(a, b, c, d, x, y);
                 });
    } else {
        Resample(destination, source, across, down, [](int a, int b, int c, int d, const Sample& x, const Sample& y) {
            return InterpolateExtended(a, b, c, d, x, y);
        });
    }
}
