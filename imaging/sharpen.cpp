#include "sharpen.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "copy_image.h"
#include "extended_precision.h"
#include "image_view.h"


namespace {

// The most significant bits a double holds exactly.
constexpr int kDoubleBits = 53;

// Whether the kernel can be applied in double precision with results identical to the
// extended-precision definition. Every single-precision weight is an integer times a power of two, so
// every product weight × byte, and every partial sum of them in any order, is a multiple of 2^−shift,
// with shift the smallest power that makes all nine weights integers; and none exceeds Σ|weight| × 255
// in size. When that bound times 2^shift is below 2^53, every product and partial sum fits a double's
// significand exactly, as it fits the 64-bit one: both compute the exact sum, so clamping and
// truncation agree byte for byte, whatever order the terms are added in. The search's kernels qualify
// (shift 26 or 27, sums below 2^37); others, such as one with a denormal weight, take the
// extended-precision path.
bool ExactInDouble(const float kernel[kKernelSize]) {
    int shift = 0;
    long double magnitude = 0;
    for (int n = 0; n < kKernelSize; ++n) {
        if (!std::isfinite(kernel[n])) return false;
        if (kernel[n] == 0) continue;
        int exponent;
        std::frexp(kernel[n], &exponent);  // kernel[n] = m × 2^exponent with m × 2^24 an integer
        shift = std::max(shift, 24 - exponent);
        magnitude += std::fabs(static_cast<long double>(kernel[n]));
    }
    return shift < kDoubleBits && std::ldexp(magnitude * 255, shift) < std::ldexp(1.0L, kDoubleBits);
}

// The nine neighbours of one pixel's byte, in kernel order.
struct Neighbours {
    const BYTE* rows[3];     // above, same, below
    std::size_t columns[3];  // left, same, right (byte offsets)
    int at(int n, std::size_t b) const { return rows[n / 3][columns[n % 3] + b]; }
};

// Below 0 gives 0, above 255 gives 255, anything else is truncated toward zero.
template <typename Real>
BYTE ToByte(Real sum) {
    return sum < 0 ? 0 : sum > 255 ? 255 : static_cast<BYTE>(sum);
}

// The definition: the sum from 0 in kernel order, clamped and truncated.
template <typename Real>
BYTE Filter(const Real k[kKernelSize], const Neighbours& p, std::size_t b) {
    Real sum = 0;
    for (int n = 0; n < kKernelSize; ++n) sum += k[n] * p.at(n, b);
    return ToByte(sum);
}

// The inside of a 24-bit row, where no neighbour is clamped and the bytes of consecutive pixels are
// contiguous, from rows already widened to doubles: a plain loop over bytes that the compiler
// vectorises. Exact kernels only, so the terms may be added in any order; a kernel without corners (all
// of the search's) skips their four terms, each of which would add exactly 0.
void FilterRowInside(const double k[kKernelSize], const double* __restrict above, const double* __restrict row,
                     const double* __restrict below, BYTE* __restrict target, std::size_t first, std::size_t last) {
    // Clamping first and then truncating gives what ToByte gives, in a form that vectorises.
    const auto to_byte = [](double sum) { return static_cast<BYTE>(static_cast<int>(std::min(std::max(sum, 0.0), 255.0))); };
    if (k[0] == 0 && k[2] == 0 && k[6] == 0 && k[8] == 0) {
        for (std::size_t i = first; i < last; ++i) {
            target[i] = to_byte(k[1] * above[i] + k[3] * row[i - 3] + k[4] * row[i] + k[5] * row[i + 3] + k[7] * below[i]);
        }
        return;
    }
    for (std::size_t i = first; i < last; ++i) {
        target[i] = to_byte(k[0] * above[i - 3] + k[1] * above[i] + k[2] * above[i + 3] + k[3] * row[i - 3] +
                            k[4] * row[i] + k[5] * row[i + 3] + k[6] * below[i - 3] + k[7] * below[i] +
                            k[8] * below[i + 3]);
    }
}

// Filters every byte of `in` into `out`. `Real` is the arithmetic of the sums; `exact` says the kernel
// passed ExactInDouble, so that the order of the terms does not matter.
template <typename Real>
void FilterImage(const BITMAP& in, const BITMAP& out, const Real k[kKernelSize], bool exact) {
    const auto W = static_cast<std::uint32_t>(in.bmWidth);
    const auto H = static_cast<std::uint32_t>(in.bmHeight);
    const std::size_t step = PixelStep(in);
    // 24-bit images with an exact kernel: each row is widened to doubles once, and the inside of every
    // output row is one vectorised loop; the border pixels take the general way below.
    const bool rows_at_once = exact && step == 3 && W >= 3;
    const std::size_t row_bytes = 3 * std::size_t{W};
    std::vector<double> wide;
    if (rows_at_once) {
        wide.resize(row_bytes * H);
        for (std::uint32_t y = 0; y < H; ++y) {
            const BYTE* r = RowAt(in, y);
            for (std::size_t i = 0; i < row_bytes; ++i) wide[y * row_bytes + i] = r[i];
        }
    }
    for (std::uint32_t y = 0; y < H; ++y) {
        const std::uint32_t ym = y == 0 ? 0 : y - 1, yp = y + 1 == H ? y : y + 1;
        Neighbours p;
        p.rows[0] = RowAt(in, ym);
        p.rows[1] = RowAt(in, y);
        p.rows[2] = RowAt(in, yp);
        BYTE* target = RowAt(out, y);
        if constexpr (sizeof(Real) == sizeof(double)) {
            if (rows_at_once) {
                FilterRowInside(k, &wide[ym * row_bytes], &wide[y * row_bytes], &wide[yp * row_bytes], target, 3,
                                row_bytes - 3);
            }
        }
        for (std::uint32_t x = 0; x < W; x = rows_at_once && x == 0 ? W - 1 : x + 1) {
            p.columns[0] = (x == 0 ? 0 : x - 1) * step;
            p.columns[1] = x * step;
            p.columns[2] = (x + 1 == W ? x : x + 1) * step;
            for (std::size_t b = 0; b < 3; ++b) target[p.columns[1] + b] = Filter(k, p, b);
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

    // Widening a single-precision weight is exact, so doing it once here changes no product.
    if (ExactInDouble(kernel)) {
        double wide[kKernelSize];
        for (int n = 0; n < kKernelSize; ++n) wide[n] = kernel[n];
        FilterImage(in, out, wide, true);
    } else {
        long double wide[kKernelSize];
        for (int n = 0; n < kKernelSize; ++n) wide[n] = kernel[n];
        FilterImage(in, out, wide, false);
    }
    return result;
}
