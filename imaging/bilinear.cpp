#include "bilinear.h"

#include <cfloat>
#include <cstdint>
#include <vector>

#include "image_view.h"

// The sampling positions are defined in extended precision: rounding each operation to a 64-bit
// significand decides some output bytes (a value that is a half only in exact arithmetic may come out
// just below it), so double precision would give different pictures.
static_assert(LDBL_MANT_DIG == 64, "long double must have a 64-bit significand (x87 extended precision)");

namespace {

// Where one destination column or row samples the source: the two source indices and the weight of
// the second.
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
        samples[j].first = first;
        samples[j].second = first + 1 == source ? first : first + 1;
        samples[j].fraction = position - static_cast<long double>(first);
    }
    return samples;
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
    const std::size_t s_step = PixelStep(source), d_step = PixelStep(destination);
    for (std::uint32_t i = 0; i < dH; ++i) {
        const BYTE* row0 = RowAt(source, down[i].first);
        const BYTE* row1 = RowAt(source, down[i].second);
        const long double fy = down[i].fraction;
        BYTE* out = RowAt(destination, i);
        for (std::uint32_t j = 0; j < dW; ++j, out += d_step) {
            const BYTE* a = row0 + across[j].first * s_step;   // (x0, y0)
            const BYTE* b = row0 + across[j].second * s_step;  // (x1, y0)
            const BYTE* c = row1 + across[j].first * s_step;   // (x0, y1)
            const BYTE* d = row1 + across[j].second * s_step;  // (x1, y1)
            const long double fx = across[j].fraction;
            for (int k = 0; k < 3; ++k) {
                const long double top = static_cast<long double>(b[k] - a[k]) * fx + a[k];
                const long double bottom = static_cast<long double>(d[k] - c[k]) * fx + c[k];
                const long double v = top + (bottom - top) * fy;
                out[k] = static_cast<BYTE>(static_cast<std::uint16_t>(static_cast<long>(v + 0.5L)));
            }
        }
    }
}
