#include "sharpen.h"

#include <cfloat>
#include <cstdint>

#include "copy_image.h"
#include "image_view.h"

static_assert(LDBL_MANT_DIG == 64, "long double must have a 64-bit significand (x87 extended precision)");

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
    const auto W = static_cast<std::uint32_t>(in.bmWidth);
    const auto H = static_cast<std::uint32_t>(in.bmHeight);
    if (W == 0 || H == 0) return result;

    // Widening a single-precision weight is exact, so doing it once here changes no product.
    long double k[kKernelSize];
    for (int n = 0; n < kKernelSize; ++n) k[n] = kernel[n];
    const std::size_t step = PixelStep(in);
    for (std::uint32_t y = 0; y < H; ++y) {
        const BYTE* above = RowAt(in, y == 0 ? 0 : y - 1);
        const BYTE* row = RowAt(in, y);
        const BYTE* below = RowAt(in, y + 1 == H ? y : y + 1);
        BYTE* target = RowAt(out, y);
        for (std::uint32_t x = 0; x < W; ++x) {
            const std::size_t l = (x == 0 ? 0 : x - 1) * step, c = x * step, r = (x + 1 == W ? x : x + 1) * step;
            for (std::size_t b = 0; b < 3; ++b) {
                long double sum = 0;
                sum += k[0] * above[l + b];
                sum += k[1] * above[c + b];
                sum += k[2] * above[r + b];
                sum += k[3] * row[l + b];
                sum += k[4] * row[c + b];
                sum += k[5] * row[r + b];
                sum += k[6] * below[l + b];
                sum += k[7] * below[c + b];
                sum += k[8] * below[r + b];
                target[c + b] = sum < 0 ? 0 : sum > 255 ? 255 : static_cast<BYTE>(sum);
            }
        }
    }
    return result;
}
