#ifndef IMAGING_BILINEAR_H
#define IMAGING_BILINEAR_H

#include "win32.h"

// Fills every pixel of `destination` from `source` by bilinear interpolation between the four nearest
// source pixels. Both views are 24 or 32 bits per pixel and may differ in size and depth; rows are taken
// in memory order. Destination pixel (j, i) samples the source at (j·sW/dW + 0.5, i·sH/dH + 0.5),
// clamped to the last column and row, in extended precision, rounding the result half up. The fourth
// byte of a 32-bit destination pixel is left alone. An empty destination, an empty source or a source
// of another depth leaves the destination untouched.
void bilinear_interpolation(const BITMAP& destination, const BITMAP& source);

// The same, by the plain definition alone: what the fast path is tested against.
void BilinearPlain(const BITMAP& destination, const BITMAP& source);

#endif  // IMAGING_BILINEAR_H
