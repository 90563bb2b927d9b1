// Between the parts of the stand-in platform layer only; the program never calls these.
#ifndef BITMAP_IO_WIN32_INTERNAL_H
#define BITMAP_IO_WIN32_INTERNAL_H

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "win32.h"

struct StandInFree {
    void operator()(BYTE* p) const { std::free(p); }
};
// Memory from malloc, released with free.
using StandInBlock = std::unique_ptr<BYTE, StandInFree>;

// Where a new image's pixels come from: fresh zeroed memory, as CreateDIBSection gives; fresh memory
// the caller writes entirely (`zeroed` false); or a block the caller has already filled, taken over
// with the rows starting `offset` bytes into it (the loader reads a whole file into one block and
// keeps its pixel rows where they are).
struct StandInPixels {
    bool zeroed = true;
    StandInBlock block;
    std::size_t offset = 0;
};

// CreateDIBSection with the pixels from `pixels`. Same checks and result otherwise; a block given is
// released when the image cannot be made.
HBITMAP StandInCreateDIB(const BITMAPINFO* pbmi, VOID** ppvBits, StandInPixels pixels);

#endif  // BITMAP_IO_WIN32_INTERNAL_H
