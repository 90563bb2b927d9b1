#ifndef IMAGING_PIPELINE_H
#define IMAGING_PIPELINE_H

#include "sharpen.h"
#include "win32.h"

// The source picture, read from the working folder afresh on every call.
constexpr char kSourceFile[] = "ant.bmp";

// Which way JustDoIt scales.
constexpr int kReferencePath = 0;  // the platform's halftone stretch
constexpr int kCandidatePath = 1;  // any other value: bilinear resampling, then sharpen with the kernel

// The platform's halftone stretch of the whole of `source` into the whole of `target`, through two
// memory contexts that are released again with every selection undone. False when it fails.
bool HalftoneStretchInto(HBITMAP target, HBITMAP source);

// A new empty 24-bit bottom-up image of width × height pixels without a colour table, or NULL.
HBITMAP Create24BppBitmap(HDC context, int width, int height);

// Scales the source file to a new 24-bit image of width × height pixels, owned by the caller: by the
// halftone stretch on path 0 (the kernel is not read), else by bilinear_interpolation then sharpen with
// the kernel. Every context, selection and intermediate image is released before it returns. NULL when
// the source cannot be read or is not a 24 or 32-bit picture, the target cannot be made, or the
// stretch, filter or copy fails.
HBITMAP JustDoIt(int width, int height, int flag, const float kernel[kKernelSize]);

// JustDoIt on a source file of the caller's choosing.
HBITMAP ScaleSourceFile(LPCSTR source_path, int width, int height, int flag, const float kernel[kKernelSize]);

// The same on a source already in memory, which stays the caller's: a new image, or NULL.
HBITMAP ScaleImage(HBITMAP source, int width, int height, int flag, const float kernel[kKernelSize]);

#endif  // IMAGING_PIPELINE_H
