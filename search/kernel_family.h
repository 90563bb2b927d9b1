// The kernels the search draws from: symmetric, with one free weight. Corners p = 0, edges q drawn at
// random, centre r = 1 − 4q, so the weights sum to 1 up to single-precision rounding:
//     0  q  0
//     q  r  q
//     0  q  0
#ifndef SEARCH_KERNEL_FAMILY_H
#define SEARCH_KERNEL_FAMILY_H

#include "sharpen.h"
#include "win32.h"

constexpr int kDrawMax = 32767;  // draws are uniform on 0 … 32767, and q divides by this constant

// The best weights before any attempt: q = −0.124999 and r = 1.499997 in single precision.
constexpr DWORD kStartingEdgeBits = 0xBDFFFF7A;
constexpr DWORD kStartingCentreBits = 0x3FBFFFE7;

struct Weights {
    float q;  // edge
    float r;  // centre
};

// The weights of draw u: q = u / 32767 × 0.1 − 0.1236 − 0.05, evaluated left to right in extended
// precision with the double constants and rounded once to single precision; r = 1 − 4q from that q,
// rounded once.
Weights WeightsForDraw(int u);

// The weights of a given edge weight: r = 1 − 4q from the single-precision q, rounded once.
Weights WeightsForEdge(float q);

// The starting weights, from their bit patterns.
Weights StartingWeights();

// The nine weights 0, q, 0, q, r, q, 0, q, 0.
void BuildKernel(Weights w, float kernel[kKernelSize]);

#endif  // SEARCH_KERNEL_FAMILY_H
