// The one case of the halftone stretch that is an approximation: an axis that enlarges while the
// picture is still filtered (one axis shrinking and the other growing, such as 40 × 20 to 24 × 24, or a
// source of more than 2304 pixels that would otherwise be replicated). Windows reduces the shrinking
// axis as in the one-axis case and enlarges the other with a tent filter bent by a fixed-point power
// function, which is not publicly described exactly; here the enlarging axis takes the exact area
// average instead, and the documentation says so.
#include <algorithm>

#include "halftone_parts.h"

namespace {

// The exact area average along one axis, rounded half up. Destination cell j covers [j·S, (j+1)·S) and
// source cell k covers [k·D, (k+1)·D); a source cell weighs the length of their overlap, the weights of
// a cell sum to S, and 255·S + S/2 < 2^64.
void AverageAlong(const HalftonePicture& destination, const HalftonePicture& source, bool across) {
    const std::uint64_t s = across ? source.width : source.height;
    const std::uint64_t d = across ? destination.width : destination.height;
    for (std::int64_t i = 0; i < destination.height; ++i) {
        for (std::int64_t j = 0; j < destination.width; ++j) {
            const std::uint64_t cell = static_cast<std::uint64_t>(across ? j : i);
            const std::uint64_t lo = cell * s, hi = (cell + 1) * s;
            std::uint64_t sum[3] = {s / 2, s / 2, s / 2};
            for (std::uint64_t k = lo / d; k <= (hi - 1) / d; ++k) {
                const std::uint64_t w = std::min((k + 1) * d, hi) - std::max(k * d, lo);
                const BYTE* p = across ? PixelOf(source, static_cast<std::int64_t>(k), i)
                                       : PixelOf(source, j, static_cast<std::int64_t>(k));
                for (int c = 0; c < 3; ++c) sum[c] += w * p[c];
            }
            BYTE* out = PixelOf(destination, j, i);
            for (int c = 0; c < 3; ++c) out[c] = static_cast<BYTE>(sum[c] / s);
        }
    }
}

}  // namespace

// The shrinking axis, if any, reduced as in the one-axis case into bytes, then every growing axis
// area-averaged.
void FilterWithEnlargement(const HalftonePicture& destination, const HalftonePicture& source) {
    HalftonePicture from = source;
    OwnPicture reduced;
    reduced.Reset(std::min(source.width, destination.width), std::min(source.height, destination.height));
    if (source.width > destination.width || source.height > destination.height) {
        ShrinkOneAxis(reduced.picture, source);
        from = reduced.picture;
    }
    if (from.width != destination.width && from.height != destination.height) {
        OwnPicture wide;
        wide.Reset(destination.width, from.height);
        AverageAlong(wide.picture, from, true);
        AverageAlong(destination, wide.picture, false);
    } else {
        AverageAlong(destination, from, from.width != destination.width);
    }
}
