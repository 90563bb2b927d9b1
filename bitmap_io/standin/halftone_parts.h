// Between the two units of the stand-in's halftone stretch only: what the exact reductions
// (halftone.cpp) and the approximated mixed case (halftone_mixed.cpp) share.
#ifndef BITMAP_IO_STANDIN_HALFTONE_PARTS_H
#define BITMAP_IO_STANDIN_HALFTONE_PARTS_H

#include <cstdint>
#include <vector>

#include "halftone.h"

inline BYTE* PixelOf(const HalftonePicture& p, std::int64_t x, std::int64_t y) {
    return p.top + y * p.pitch + x * static_cast<std::ptrdiff_t>(p.step);
}

// A byte picture of its own, step 3, rows contiguous: the rows rounded between the two passes, and the
// approximated case's intermediate.
struct OwnPicture {
    std::vector<BYTE> bytes;
    HalftonePicture picture;
    void Reset(std::int64_t w, std::int64_t h) {
        bytes.resize(static_cast<std::size_t>(w * h * 3));
        picture.width = static_cast<LONG>(w);
        picture.height = static_cast<LONG>(h);
        picture.step = 3;
        picture.top = bytes.data();
        picture.pitch = static_cast<std::ptrdiff_t>(w * 3);
    }
};

// One axis averaged down with 13-bit weights and sharpened along itself; the other axis, of equal
// length, taken as it is. `fast` lets the fast paths take the averaging.
void ShrinkOneAxis(const HalftonePicture& destination, const HalftonePicture& source, bool fast);

// The approximated case: an axis that grows while the picture is filtered.
void FilterWithEnlargement(const HalftonePicture& destination, const HalftonePicture& source, bool fast);

#endif  // BITMAP_IO_STANDIN_HALFTONE_PARTS_H
