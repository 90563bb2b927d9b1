#ifndef IMAGING_GRID_H
#define IMAGING_GRID_H

#include "win32.h"

// Paints a test pattern into `image` through `context`: a white field crossed by one-pixel black lines
// on every even column and every even row (device coordinates, origin top left), so that only pixels
// with an odd column and an odd row stay white. A width or height of 0 or less draws no lines in that
// direction. The context holds its earlier image again afterwards, and the black pen.
void MyDrawBitmap(HDC context, HBITMAP image, int width, int height);

#endif  // IMAGING_GRID_H
