// Between the parts of the stand-in platform layer only; the program never calls these.
#ifndef BITMAP_IO_WIN32_INTERNAL_H
#define BITMAP_IO_WIN32_INTERNAL_H

#include "win32.h"

// CreateDIBSection without zeroing the pixels, for a caller that writes every byte of them at once
// (the loader reads the file's rows straight into the image). Same checks and result otherwise.
HBITMAP StandInCreateDIBUninitialised(const BITMAPINFO* pbmi, VOID** ppvBits);

#endif  // BITMAP_IO_WIN32_INTERNAL_H
