// Addressing pixels through an image view, the BITMAP record GetObjectA fills.
//
// Pixel (x, y) starts at bmBits + y × bmWidthBytes + x × step, with y counting rows in memory order
// (row 0 is the bottom row of a bottom-up image). The step is 4 bytes for 32-bit pixels and 3 for
// 24-bit ones; the first three bytes of a pixel are blue, green and red, and the fourth byte of a 32-bit
// pixel is never read or written by the image processing.
#ifndef IMAGING_IMAGE_VIEW_H
#define IMAGING_IMAGE_VIEW_H

#include <cstddef>
#include <cstdint>

#include "win32.h"

// The view of an image, as GetObjectA fills it; an empty one (no pixels, a size of 0) when the handle
// is not an image.
inline BITMAP ViewOf(HBITMAP image) {
    BITMAP view{};
    if (GetObjectA(image, sizeof view, &view) == 0) view = BITMAP{};
    return view;
}

inline std::size_t PixelStep(const BITMAP& view) { return view.bmBitsPixel == 32 ? 4 : 3; }

// The image processing handles the two depths whose pixels are plain blue, green, red bytes.
inline bool IsTrueColour(const BITMAP& view) { return view.bmBitsPixel == 24 || view.bmBitsPixel == 32; }

inline BYTE* RowAt(const BITMAP& view, std::uint32_t y) {
    return static_cast<BYTE*>(view.bmBits) +
           static_cast<std::size_t>(y) * static_cast<std::uint32_t>(view.bmWidthBytes);
}

inline BYTE* PixelAt(const BITMAP& view, std::uint32_t x, std::uint32_t y) {
    return RowAt(view, y) + x * PixelStep(view);
}

#endif  // IMAGING_IMAGE_VIEW_H
