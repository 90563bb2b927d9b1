#ifndef IMAGING_COMPARE_H
#define IMAGING_COMPARE_H

#include "win32.h"

// The most a pixel can score: 1 for the match of its first byte with one of the others, and 2 for each
// of its three bytes.
constexpr DWORD kMaxPixelScore = 7;

// Rates how alike the first image (the reference) and the second are, pixel by pixel over the first
// image's width and height, both stepped with their own pixel step and row stride. A pixel scores 1
// when byte 0 matches and byte 1 or byte 2 matches, plus, for each of bytes 2, 1, 0, 2 when equal and 1
// when off by one. `exact_match` becomes 1 when every compared pixel agrees in all three bytes, else 0.
// A first image of height 0 or less scores 0 with the flag at 1. Pixels outside a smaller second image,
// and every pixel of an image of another depth than 24 or 32 bits, count as differing: they add
// nothing and clear the flag.
DWORD GetScore(const BITMAP& first, const BITMAP& second, int* exact_match);

// The same, by the plain definition alone: what the fast path is tested against.
DWORD GetScorePlain(const BITMAP& first, const BITMAP& second, int* exact_match);

// Paints pure red (bytes 0, 0, 255) every pixel of the first image that differs from the second in any
// of its three colour bytes, or lies outside a smaller second image. The second image is only read.
void GetDiff(const BITMAP& first, const BITMAP& second);

#endif  // IMAGING_COMPARE_H
