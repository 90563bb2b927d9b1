#ifndef IMAGING_SHARPEN_H
#define IMAGING_SHARPEN_H

#include "win32.h"

// The nine weights of a 3 × 3 kernel in row-major order around the pixel, rows in memory order:
//   K[0] K[1] K[2]    row y − 1
//   K[3] K[4] K[5]    row y
//   K[6] K[7] K[8]    row y + 1
constexpr int kKernelSize = 9;

// Applies the kernel to a 24 or 32-bit image and returns the result as a new image of the same size and
// depth, owned by the caller; the input is only read. Neighbours beyond the border are the border pixel
// itself. Each colour byte is the kernel sum formed from 0 in the order K[0] … K[8] in extended
// precision, clamped to 0 … 255 and truncated toward zero; the fourth byte of a 32-bit pixel keeps the
// input's value. NULL when the image cannot be read or copied, or has another depth.
HBITMAP sharpen(HBITMAP image, const float kernel[kKernelSize]);

// The same, by the plain definition alone: what the fast paths are tested against.
HBITMAP SharpenPlain(HBITMAP image, const float kernel[kKernelSize]);

#endif  // IMAGING_SHARPEN_H
