#include "compare.h"

#include <cstdint>
#include <cstdlib>

#include "image_view.h"

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

DWORD ByteScore(int a, int b) {
    const int d = std::abs(a - b);
    return d <= 1 ? static_cast<DWORD>(2 - d) : 0;
}

}  // namespace

DWORD GetScore(const BITMAP& first, const BITMAP& second, int* exact_match) {
    *exact_match = 1;
    if (first.bmHeight <= 0) return 0;
    if (first.bmWidth <= 0) return 0;
    const Overlap o = OverlapOf(first, second);
    if (o.width != static_cast<std::uint32_t>(first.bmWidth) || o.height != static_cast<std::uint32_t>(first.bmHeight)) {
        *exact_match = 0;  // some pixels of the first image have nothing to match
    }
    const std::size_t a_step = PixelStep(first), b_step = PixelStep(second);
    DWORD score = 0;
    for (std::uint32_t y = 0; y < o.height; ++y) {
        const BYTE* a = RowAt(first, y);
        const BYTE* b = RowAt(second, y);
        for (std::uint32_t x = 0; x < o.width; ++x, a += a_step, b += b_step) {
            if (a[0] != b[0] || a[1] != b[1] || a[2] != b[2]) *exact_match = 0;
            if (a[0] == b[0] && (a[1] == b[1] || a[2] == b[2])) score += 1;
            score += ByteScore(a[2], b[2]);
            score += ByteScore(a[1], b[1]);
            score += ByteScore(a[0], b[0]);
        }
    }
    return score;
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
