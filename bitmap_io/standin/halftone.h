// The stand-in's halftone stretch: what Windows' StretchBlt computes in HALFTONE mode, byte for byte.
//
// The arithmetic comes from a public reconstruction of the shrink routines of the Windows graphics
// kernel, checked against pictures rendered by Windows (every measured colour byte of its reduction
// cases matched). Per colour byte, rows counted from the top of the picture, integer throughout:
//
//   equal size            the pixels are copied;
//   replication           nearest pixel, when both axes keep more than 2/3 of their length, the
//                         destination has at least as many pixels and the source at most 2304;
//   both axes shrink      each source row is averaged across with 13-bit weights and rounded to a byte,
//                         the rows are averaged down and kept with 13 fractional bits, then sharpened
//                         with the cross [0 -1/8 0; -1/8 3/2 -1/8; 0 -1/8 0], floored and saturated;
//   one axis shrinks      that axis is averaged with 13-bit weights and sharpened along itself with
//                         [-1/4 3/2 -1/4], floored and saturated; the other is taken as it is.
//
// The weights of one axis quantise cumulative boundaries: with S source and D destination cells on a
// common scale of S·D units, source cell k covering [k·D, (k+1)·D) and destination cell j covering
// [j·S, (j+1)·S), the part [l, r) of k inside j weighs ⌊8192·r/S⌋ − ⌊8192·l/S⌋, so every destination
// cell's weights sum to exactly 8192 and a constant picture stays constant.
//
// One case is an approximation: an axis that enlarges while the picture is still filtered (one axis
// shrinking and the other growing, such as 40 × 20 to 24 × 24, or a source of more than 2304 pixels
// that would otherwise be replicated). Windows reduces the shrinking axis as above and enlarges the
// other with a bent tent filter that is not publicly described exactly; here the enlarging axis takes
// the exact area average instead. A 24 × 24 target meets it only for such mixed sources.
#ifndef BITMAP_IO_HALFTONE_H
#define BITMAP_IO_HALFTONE_H

#include <cstddef>

#include "win32.h"

// A picture as the stretch sees it: `width` × `height` pixels of `step` bytes (3 or 4: blue, green,
// red and, for 4, a byte the stretch neither reads nor writes), row y of the picture (0 at the top)
// starting at top + y·pitch. A bottom-up image has its top row last in memory and a negative pitch.
struct HalftonePicture {
    LONG width = 0;
    LONG height = 0;
    std::size_t step = 3;
    BYTE* top = nullptr;
    std::ptrdiff_t pitch = 0;
};

// Stretches the whole source into the whole destination, overwriting every pixel of it; both must have
// at least one pixel. Takes the fast paths where they apply.
void HalftoneStretch(const HalftonePicture& destination, const HalftonePicture& source);

// The same, by the plain definition alone: what the fast paths are tested against.
void HalftoneStretchPlain(const HalftonePicture& destination, const HalftonePicture& source);

#endif  // BITMAP_IO_HALFTONE_H
