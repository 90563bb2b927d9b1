// The one case of the halftone stretch that is an approximation: an axis that enlarges while the
// picture is still filtered (one axis shrinking and the other growing, such as 40 × 20 to 24 × 24, or a
// source of more than 2304 pixels that would otherwise be replicated). Windows reduces the shrinking
// axis as in the one-axis case and enlarges the other with a tent filter bent by a fixed-point power
// function, which is not publicly described exactly; here the enlarging axis takes the exact area
// average instead, and the documentation says so.
#include <algorithm>
#include <vector>

#include "halftone_parts.h"

namespace {

// The exact area average along one growing axis, rounded half up. Destination cell j covers
// [j·S, (j+1)·S) and source cell k covers [k·D, (k+1)·D); a source cell weighs the length of their overlap,
// the weights of a cell sum to S, and since S < D a destination cell overlaps at most two source cells.
// Those and their weights depend on the cell alone, so they are found once per cell, not per pixel.
// The quotient of the sum (at most 255·S + S/2, exact in a double) by S is taken as its product with
// 1/S in double precision, at a fraction of the cost of a division: 1/S, the product and the sum below
// each round once, so that the result strays from the exact quotient (below 256) by less than 2^-43; a
// quotient that is not whole lies at least 1/S > 2^-31 below the next integer; so with 2^-40 added the
// result lies above the exact quotient and below the next integer, and truncating it gives the integer
// quotient exactly.
void AverageAlong(const HalftonePicture& destination, const HalftonePicture& source, bool across) {
    const std::uint64_t s = across ? source.width : source.height;
    const std::uint64_t d = across ? destination.width : destination.height;
    struct Overlap {
        std::int64_t first;  // the first source cell; the second follows it
        std::uint64_t weights[2];
    };
    std::vector<Overlap> cells(d);
    for (std::uint64_t cell = 0; cell < d; ++cell) {
        const std::uint64_t lo = cell * s, hi = (cell + 1) * s, k = lo / d;
        const std::uint64_t w = std::min((k + 1) * d, hi) - lo;
        cells[cell] = Overlap{static_cast<std::int64_t>(k), {w, s - w}};
    }
    const double reciprocal = 1.0 / static_cast<double>(s);
    constexpr double kNudge = 0x1p-40;
    for (std::int64_t i = 0; i < destination.height; ++i) {
        for (std::int64_t j = 0; j < destination.width; ++j) {
            const Overlap& o = cells[static_cast<std::size_t>(across ? j : i)];
            // A cell within one source cell gives the second no weight, and takes the first again for it.
            const std::int64_t second = o.weights[1] == 0 ? o.first : o.first + 1;
            const BYTE* p = across ? PixelOf(source, o.first, i) : PixelOf(source, j, o.first);
            const BYTE* q = across ? PixelOf(source, second, i) : PixelOf(source, j, second);
            BYTE* out = PixelOf(destination, j, i);
            for (int c = 0; c < 3; ++c) {
                const std::uint64_t sum = s / 2 + o.weights[0] * p[c] + o.weights[1] * q[c];
                out[c] = static_cast<BYTE>(static_cast<double>(sum) * reciprocal + kNudge);
            }
        }
    }
}

}  // namespace

// The shrinking axis, if any, reduced as in the one-axis case into bytes, then every growing axis
// area-averaged.
void FilterWithEnlargement(const HalftonePicture& destination, const HalftonePicture& source, bool fast) {
    HalftonePicture from = source;
    OwnPicture reduced;
    reduced.Reset(std::min(source.width, destination.width), std::min(source.height, destination.height));
    if (source.width > destination.width || source.height > destination.height) {
        ShrinkOneAxis(reduced.picture, source, fast);
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
