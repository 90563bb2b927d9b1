// The resampler, the filter and the search's weights are defined in extended precision: every
// operation rounds to a 64-bit significand, and that rounding decides some output bytes (a double
// computation differs by one at some ties). So this program needs a long double with a 64-bit
// significand: x87 extended precision, as GCC, Clang and MinGW give on x86 and x86-64. Compilers whose
// long double is a plain double, such as Microsoft's, cannot build it.
#ifndef IMAGING_EXTENDED_PRECISION_H
#define IMAGING_EXTENDED_PRECISION_H

#include <cfloat>

static_assert(LDBL_MANT_DIG == 64,
              "long double must have a 64-bit significand (x87 extended precision): the pictures are defined "
              "in it, and a long double that is a plain double would change output bytes");

#endif  // IMAGING_EXTENDED_PRECISION_H
