// Which way Windows' halftone stretch goes for a pair of sizes. The rule is Windows' own, so it holds
// for GDI on Windows as for the stand-in elsewhere, which is where the stand-in's arithmetic and the
// report's account of a reference both take it from.
#ifndef BITMAP_IO_HALFTONE_PATH_H
#define BITMAP_IO_HALFTONE_PATH_H

#include "win32.h"

enum class HalftonePath {
    kCopy,        // equal size
    kReplicate,   // nearest pixel: both axes keep more than 2/3 of their length, the destination has at
                  // least as many pixels and the source at most 2304
    kShrinkBoth,  // both axes averaged down, then sharpened with a cross
    kShrinkOne,   // one axis averaged down and sharpened along itself, the other kept
    kMixed,       // an axis enlarges while the picture is filtered; the stand-in approximates this one
};

// The path of a stretch of a source of sW × sH pixels into a destination of dW × dH, all positive.
HalftonePath HalftonePathOf(LONG sW, LONG sH, LONG dW, LONG dH);

// "copy", "replication", "both axes shrunk", "one axis shrunk", "mixed (one axis shrunk, the other
// enlarged)".
const char* HalftonePathName(HalftonePath path);

#endif  // BITMAP_IO_HALFTONE_PATH_H
