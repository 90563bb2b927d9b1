// The halftone stretch; see halftone.h for the arithmetic and where it comes from.
//
// The plain definition comes first, written as the arithmetic reads. The fast paths follow it, each with
// the reason it gives the same bytes: of its heavy part, averaging every source row across (in general,
// with tall sources' rows summed down while still turned on their side; for sources up to about twice
// as wide as the destination, with tall ones summed down as their rows are made; and for those exactly
// twice as wide), and of the sums down and the cross after it. A shrink of one axis alone uses the same
// sums across (unrounded) or down.
#include "halftone.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "fast_paths.h"
#include "halftone_parts.h"
#include "halftone_path.h"
#include "simd.h"

namespace {

// ---------------------------------------------------------------------------------------------------
// Weights and the choice of path.
// ---------------------------------------------------------------------------------------------------

// The weights of a destination cell sum to 8192: 13 fractional bits. A weighted sum of bytes is at most
// 255 · 8192 < 2^21, the sharpening multiplies it by at most 12, so every sum fits 32 bits with room.
constexpr int kWeightBits = 13;
constexpr std::int64_t kWeightOne = std::int64_t{1} << kWeightBits;
constexpr std::int32_t kHalf = 1 << (kWeightBits - 1);
// The cross divides 12·V − four neighbours by 8 and by 8192; the one-axis sharpening 6·A − two
// neighbours by 4 and by 8192.
constexpr int kCrossShift = kWeightBits + 3;
constexpr int kAlongShift = kWeightBits + 2;

// How one shrinking axis maps S source cells onto D destination cells (S > D): each destination cell
// takes `count` source cells from `first` on, with weights that sum to 8192. A source cell is shorter
// than a destination cell, so it overlaps at most two of them.
struct AxisWeights {
    std::vector<std::uint32_t> first;
    std::vector<std::uint32_t> count;
    std::vector<std::uint32_t> offset;  // where each destination cell's weights start in `weights`
    std::vector<std::int32_t> weights;  // each at most 8192
};

AxisWeights ShrinkWeights(std::uint64_t source, std::uint64_t destination) {
    // The quantised boundaries of the source cells, G(k) = ⌊8192·k·D/S⌋, stepped without a division per
    // cell; a destination cell's own boundaries j·S quantise to exactly 8192·j. Since the quantising is
    // monotonic, the overlap [max(k·D, j·S), min((k+1)·D, (j+1)·S)) weighs
    // min(G(k+1), 8192·(j+1)) − max(G(k), 8192·j).
    std::vector<std::int64_t> g(source + 1);
    const std::uint64_t step = kWeightOne * destination, whole = step / source, part = step % source;
    for (std::uint64_t k = 0, q = 0, r = 0; k <= source; ++k, q += whole, r += part) {
        if (r >= source) ++q, r -= source;
        g[k] = static_cast<std::int64_t>(q);
    }
    AxisWeights a;
    a.first.resize(destination);
    a.count.resize(destination);
    a.offset.resize(destination);
    a.weights.reserve(source + destination);
    for (std::uint64_t j = 0, k = 0; j < destination; ++j) {
        const std::int64_t lo = static_cast<std::int64_t>(j) * kWeightOne, hi = lo + kWeightOne;
        while ((k + 1) * destination <= j * source) ++k;  // the first source cell reaching into cell j
        a.first[j] = static_cast<std::uint32_t>(k);
        a.offset[j] = static_cast<std::uint32_t>(a.weights.size());
        std::uint64_t n = k;
        for (; n < source && n * destination < (j + 1) * source; ++n) {
            a.weights.push_back(static_cast<std::int32_t>(std::min(g[n + 1], hi) - std::max(g[n], lo)));
        }
        a.count[j] = static_cast<std::uint32_t>(n - k);
    }
    return a;
}

// The source index each destination index copies when the picture is replicated: the last source scan
// of each run when shrinking, the nearest centre (ties to the earlier scan) when enlarging.
std::vector<std::uint32_t> ReplicationIndices(std::uint64_t source, std::uint64_t destination) {
    std::vector<std::uint32_t> index(destination);
    for (std::uint64_t j = 0; j < destination; ++j) {
        const std::uint64_t k = source > destination   ? (2 * (j + 1) * source - destination - 1) / (2 * destination)
                                : source < destination ? ((2 * j + 1) * source - 1) / (2 * destination)
                                                       : j;
        index[j] = static_cast<std::uint32_t>(k);
    }
    return index;
}

// ---------------------------------------------------------------------------------------------------
// The plain definition.
// ---------------------------------------------------------------------------------------------------

const BYTE* RowOf(const HalftonePicture& p, std::int64_t y) { return p.top + y * p.pitch; }

BYTE Saturated(std::int32_t v) { return static_cast<BYTE>(std::clamp<std::int32_t>(v, 0, 255)); }

// A picture of weighted sums, three per pixel, rows from the top, each row contiguous. Reset keeps the
// memory, so that one kept from call to call costs no allocation.
struct Sums {
    std::int64_t width = 0, height = 0;
    std::vector<std::int32_t> v;
    // For a writer that sets every sum: the size alone, the sums left as they were (zeroing the sample's
    // 6.9 KB of sums took 1.4 % of its attempt).
    void ResetToOverwrite(std::int64_t w, std::int64_t h) {
        width = w;
        height = h;
        v.resize(static_cast<std::size_t>(w * h * 3));
    }
    void Reset(std::int64_t w, std::int64_t h) {
        ResetToOverwrite(w, h);
        std::fill(v.begin(), v.end(), 0);
    }
    std::int32_t* Row(std::int64_t y) { return v.data() + y * width * 3; }
};

// Every row of `source` averaged across, unrounded: X(j) = Σ w(j, k)·S(k).
void SumsAcross(const HalftonePicture& source, const AxisWeights& across, Sums* out) {
    out->Reset(static_cast<std::int64_t>(across.first.size()), source.height);
    for (std::int64_t y = 0; y < source.height; ++y) {
        const BYTE* row = RowOf(source, y);
        std::int32_t* x = out->Row(y);
        for (std::size_t j = 0; j < across.first.size(); ++j) {
            const std::int32_t* w = &across.weights[across.offset[j]];
            const BYTE* p = row + across.first[j] * source.step;
            for (int c = 0; c < 3; ++c) {
                std::int32_t sum = 0;
                for (std::uint32_t t = 0; t < across.count[j]; ++t) sum += w[t] * p[t * source.step + c];
                x[3 * j + c] = sum;
            }
        }
    }
}

// The same rounded to bytes, (X + 4096) >> 13, into `rows` (one row per source row).
void RoundedRowsAcross(const HalftonePicture& source, const AxisWeights& across, const HalftonePicture& rows) {
    Sums x;
    SumsAcross(source, across, &x);
    for (std::int64_t y = 0; y < source.height; ++y) {
        BYTE* out = PixelOf(rows, 0, y);
        const std::int32_t* in = x.Row(y);
        for (std::int64_t b = 0; b < x.width * 3; ++b) out[b] = static_cast<BYTE>((in[b] + kHalf) >> kWeightBits);
    }
}

// Every column of `source` averaged down, unrounded: V(i) = Σ w(i, m)·S(m).
void SumsDown(const HalftonePicture& source, const AxisWeights& down, Sums* out) {
    out->Reset(source.width, static_cast<std::int64_t>(down.first.size()));
    const std::int64_t n = source.width * 3;
    for (std::int64_t i = 0; i < out->height; ++i) {
        std::int32_t* __restrict v = out->Row(i);
        for (std::uint32_t t = 0; t < down.count[i]; ++t) {
            // A weight fits 16 bits, and the products of 16-bit numbers are what processors multiply fastest.
            const auto w = static_cast<std::int16_t>(down.weights[down.offset[i] + t]);
            const BYTE* __restrict row = RowOf(source, down.first[i] + t);
            if (source.step == 3) {  // the rows between the passes, and most pictures: bytes side by side
                for (std::int64_t b = 0; b < n; ++b) v[b] += w * static_cast<std::int16_t>(row[b]);
            } else {
                for (std::int64_t b = 0; b < n; ++b) v[b] += w * row[b / 3 * 4 + b % 3];
            }
        }
    }
}

// Writes one row of sharpened bytes into the destination's row `y`.
void StoreRow(const HalftonePicture& destination, std::int64_t y, const BYTE* line) {
    BYTE* out = PixelOf(destination, 0, y);
    if (destination.step == 3) {
        std::memcpy(out, line, static_cast<std::size_t>(destination.width) * 3);
        return;
    }
    for (std::int64_t x = 0; x < destination.width; ++x) std::memcpy(out + x * destination.step, line + 3 * x, 3);
}

// The cross on the destination grid, edges repeated: (12·V − V left − V right − V up − V down) >> 16,
// saturated. Byte b of a row has its left and right neighbours at b ∓ 3.
__attribute__((always_inline)) inline void SharpenCross(const HalftonePicture& destination, Sums& v,
                                                        std::vector<BYTE>* line) {
    const std::int64_t n = v.width * 3;
    line->resize(static_cast<std::size_t>(n));
    BYTE* __restrict out = line->data();
    for (std::int64_t i = 0; i < v.height; ++i) {
        const std::int32_t* __restrict up = v.Row(std::max<std::int64_t>(i - 1, 0));
        const std::int32_t* __restrict row = v.Row(i);
        const std::int32_t* __restrict down = v.Row(std::min(i + 1, v.height - 1));
        const auto cross = [&](std::int64_t b, std::int64_t left, std::int64_t right) {
            return Saturated((12 * row[b] - row[left] - row[right] - up[b] - down[b]) >> kCrossShift);
        };
        for (std::int64_t b = 3; b < n - 3; ++b) out[b] = cross(b, b - 3, b + 3);
        for (std::int64_t b = 0; b < std::min<std::int64_t>(3, n); ++b) {
            out[b] = cross(b, b, b + 3 < n ? b + 3 : b);  // the left edge repeats itself
            out[n - 1 - b] = cross(n - 1 - b, n - 4 - b >= 0 ? n - 4 - b : n - 1 - b, n - 1 - b);  // and the right
        }
        StoreRow(destination, i, out);
    }
}

// The sharpening along one axis, edges repeated: (6·A − the two neighbours) >> 15, saturated. Across,
// byte b of a row has its neighbours at b ∓ 3; down, at b of the rows above and below.
__attribute__((always_inline)) inline void SharpenAlong(const HalftonePicture& destination, Sums& a, bool across,
                                                        std::vector<BYTE>* line) {
    const std::int64_t n = a.width * 3;
    line->resize(static_cast<std::size_t>(n));
    BYTE* __restrict out = line->data();
    for (std::int64_t i = 0; i < a.height; ++i) {
        const std::int32_t* __restrict row = a.Row(i);
        if (across) {
            const auto along = [&](std::int64_t b, std::int64_t left, std::int64_t right) {
                return Saturated((6 * row[b] - row[left] - row[right]) >> kAlongShift);
            };
            for (std::int64_t b = 3; b < n - 3; ++b) out[b] = along(b, b - 3, b + 3);
            for (std::int64_t b = 0; b < std::min<std::int64_t>(3, n); ++b) {
                out[b] = along(b, b, b + 3 < n ? b + 3 : b);  // the left edge repeats itself
                const std::int64_t e = n - 1 - b;             // and the right
                out[e] = along(e, e >= 3 ? e - 3 : e, e);
            }
        } else {
            const std::int32_t* __restrict up = a.Row(std::max<std::int64_t>(i - 1, 0));
            const std::int32_t* __restrict down = a.Row(std::min(i + 1, a.height - 1));
            for (std::int64_t b = 0; b < n; ++b) out[b] = Saturated((6 * row[b] - up[b] - down[b]) >> kAlongShift);
        }
        StoreRow(destination, i, out);
    }
}

void Replicate(const HalftonePicture& destination, const HalftonePicture& source) {
    const std::vector<std::uint32_t> columns = ReplicationIndices(source.width, destination.width);
    const std::vector<std::uint32_t> rows = ReplicationIndices(source.height, destination.height);
    for (std::int64_t i = 0; i < destination.height; ++i) {
        for (std::int64_t j = 0; j < destination.width; ++j) {
            std::memcpy(PixelOf(destination, j, i), PixelOf(source, columns[j], rows[i]), 3);
        }
    }
}

// One axis shrinks and the other keeps its length.

#if KS_FAST_PATHS
// ---------------------------------------------------------------------------------------------------
// The fast path: sixteen source rows at a time, each in a byte lane of its own.
//
// The sixteen rows are turned on their side, 16 × 16 bytes at a time, so that column b (byte b of each
// of the rows) becomes one 16-byte vector; averaging the rows across is then a sum of whole columns,
// sixteen rows at once, and the rounded results are turned back the same way. Every source pixel of a
// destination pixel weighs base = ⌊8192·D/S⌋ or a step more, but for the two its edges cut, so each
// destination byte is X = base · A + H + (the two cut columns times their weight less base), A the sum
// of all its columns and H of those a step heavier; or, where most are heavier, X = (base + 1) · A − L
// + (the cut columns times their weight less base + 1), L the sum of those of weight base. The columns
// of H or L are read a second time, so the fewer are taken. A and H (or L) are plain sums of bytes in
// 16-bit lanes; less 128 for each column they hold they fit signed 16 bits, so that one multiply-add of
// 16-bit pairs gives base · A + H, and another the cut columns' part, with what the 128s took added
// back in the rounding constant. Each product and sum is below 2^31, so X and the rounded bytes are the
// definition's exactly. Where a destination pixel has few columns, its rounded bytes are made more
// directly, its columns multiplied by their weights two by two (RoundedPixel, with its reason).
// ---------------------------------------------------------------------------------------------------

// The most columns a sum may take: 256 · (0 − 128) is the least a signed 16-bit lane holds.
constexpr std::uint32_t kMostPlainColumns = 256;
constexpr std::size_t kBlockRows = 16;

// Two 16-bit numbers side by side in 32 bits, the first in the low half, as multiply-adds of pairs take
// them.
std::int32_t Pair16(std::int32_t first, std::int32_t second) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(first) & 0xFFFF) | static_cast<std::uint32_t>(second)
                                                                                        << 16);
}

// How each destination byte (3·j + c of a row) is made from columns.
struct AcrossPlan {
    std::int32_t base = 0;
    std::size_t step = 3;           // the source's pixel step: a byte's columns are this far apart
    std::uint32_t zero_column = 0;  // a column of zeros, after the source's
    // Columns are named by their places in the turned block (16 bytes a column), ready to load from.
    std::vector<std::size_t> first;         // per destination byte: its first column
    std::vector<std::uint32_t> count;       // and how many it has
    std::vector<std::int32_t> sum_weights;  // per destination byte: what A and the rarer columns weigh, paired
    std::vector<std::uint32_t> rarer_at;    // per destination byte and one more: where its rarer ones start
    std::vector<std::size_t> rarer;         // the inner columns of the rarer weight, base + 1 or base
    std::vector<std::size_t> cut;           // per destination byte two: the columns of another weight or zeros
    std::vector<std::int32_t> cut_weights;  // per destination byte: their weights less A's, paired
    std::vector<std::int32_t> bias;         // per destination byte: −128 · the columns of A, and of H, paired
    std::vector<std::int32_t> constant;     // per destination byte: the 128s taken, times their weight, + 4096
    // With few columns a destination pixel, its rounded bytes are made from its columns two by two,
    // with their weights' parts (below); the unrounded sums of a one-axis shrink are always made as
    // above. Per destination pixel and one more, where its pairs start; for each pair, the places of its
    // two pixels' first bytes (the second the zero columns for an odd last one, times a weight of 0),
    // and the parts h and l of their weights, each as four bytes (h of the first, of the second, and
    // the same again).
    bool direct = false;
    std::vector<std::uint32_t> pairs_at;
    std::vector<std::size_t> pair_columns;
    std::vector<std::int32_t> pair_high, pair_low;
};

// Up to this many columns a destination pixel, multiplying its columns by their weights two by two is
// faster than summing them and taking the heavier and the cut ones apart (measured: by a tenth with 9
// columns, a twentieth with 13 or 14).
constexpr std::uint32_t kMostDirectColumns = 16;
// A weight taken directly is split as w = 32·h + l, so that both parts fit the signed bytes of a
// multiply-add of byte pairs (h ≤ 127, l ≤ 31).
constexpr int kDirectLowBits = 5;
constexpr std::int32_t kDirectLowMask = (1 << kDirectLowBits) - 1;

// Whether a destination pixel's weights can be taken directly in 16-bit lanes: each h fits a signed
// byte, no pair's products saturate a signed lane (255 · (h + h') ≤ 32767; l + l' ≤ 62 always does),
// and L = Σ l·S ≤ 255 · Σ l stays within an unsigned one. H = Σ h·S ≤ X / 32 ≤ 255 · 256 always does.
bool DirectWeights(const std::int32_t* w, std::uint32_t count) {
    constexpr std::int32_t kMostPart = 127, kMostPairPart = 32767 / 255, kMostLowParts = 65535 / 255;
    std::int32_t lows = 0;
    for (std::uint32_t n = 0; n < count; ++n) {
        const std::int32_t next = n + 1 < count ? w[n + 1] : 0;
        if ((w[n] >> kDirectLowBits) > kMostPart) return false;
        if (n % 2 == 0 && (w[n] >> kDirectLowBits) + (next >> kDirectLowBits) > kMostPairPart) return false;
        lows += w[n] & kDirectLowMask;
    }
    return lows <= kMostLowParts;
}

// Four bytes: a, b, a, b.
std::int32_t BytePairs(std::int32_t a, std::int32_t b) { return Pair16(a | b << 8, a | b << 8); }

// False when some destination pixel has too many source pixels for 16-bit sums: the plain way is taken
// then.
bool PlanAcross(const AxisWeights& across, std::uint64_t source, std::uint64_t destination, std::size_t step,
                AcrossPlan* plan) {
    plan->base = static_cast<std::int32_t>(kWeightOne * destination / source);
    plan->step = step;
    plan->zero_column = static_cast<std::uint32_t>(source * step);
    const std::size_t zero = kBlockRows * plan->zero_column;
    plan->direct = true;
    for (std::size_t j = 0; j < across.first.size(); ++j) {
        const std::int32_t* w = &across.weights[across.offset[j]];
        plan->direct = plan->direct && across.count[j] <= kMostDirectColumns && DirectWeights(w, across.count[j]);
    }
    for (std::size_t j = 0; j < across.first.size(); ++j) {
        if (across.count[j] > kMostPlainColumns) return false;
        const std::int32_t* w = &across.weights[across.offset[j]];
        plan->pairs_at.push_back(static_cast<std::uint32_t>(plan->pair_high.size()));
        for (std::uint32_t n = 0; plan->direct && n < across.count[j]; n += 2) {
            const bool pair = n + 1 < across.count[j];
            const std::int32_t second = pair ? w[n + 1] : 0;
            plan->pair_columns.insert(plan->pair_columns.end(),
                                      {kBlockRows * (across.first[j] + n) * step,
                                       pair ? kBlockRows * (across.first[j] + n + 1) * step : zero});
            plan->pair_high.push_back(BytePairs(w[n] >> kDirectLowBits, second >> kDirectLowBits));
            plan->pair_low.push_back(BytePairs(w[n] & kDirectLowMask, second & kDirectLowMask));
        }
        for (std::size_t c = 0; c < 3; ++c) {
            const auto column = [&](std::uint32_t n) { return kBlockRows * ((across.first[j] + n) * step + c); };
            plan->first.push_back(column(0));
            plan->count.push_back(across.count[j]);
            const std::int32_t* end = w + across.count[j];
            const auto heavier = static_cast<std::int32_t>(std::count(w, end, plan->base + 1));
            const bool mostly_heavier = heavier > std::count(w, end, plan->base);
            const std::int32_t a_weight = plan->base + (mostly_heavier ? 1 : 0), sign = mostly_heavier ? -1 : 1;
            plan->sum_weights.push_back(Pair16(a_weight, sign));
            plan->rarer_at.push_back(static_cast<std::uint32_t>(plan->rarer.size()));
            std::size_t cut[2] = {zero, zero};
            std::int32_t cut_weight[2] = {0, 0}, cuts = 0;
            for (std::uint32_t n = 0; n < across.count[j]; ++n) {
                if (w[n] == a_weight + sign) {
                    plan->rarer.push_back(column(n));
                } else if (w[n] != a_weight) {  // only the first and the last can be cut
                    cut[cuts] = column(n);
                    cut_weight[cuts++] = w[n] - a_weight;
                }
            }
            const auto rarer = static_cast<std::int32_t>(plan->rarer.size() - plan->rarer_at.back());
            const auto all = static_cast<std::int32_t>(across.count[j]);
            plan->cut.insert(plan->cut.end(), {cut[0], cut[1]});
            plan->cut_weights.push_back(Pair16(cut_weight[0], cut_weight[1]));
            plan->bias.push_back(Pair16(-128 * all, -128 * rarer));
            plan->constant.push_back(128 * (a_weight * all + sign * rarer) + kHalf);
        }
    }
    plan->rarer_at.push_back(static_cast<std::uint32_t>(plan->rarer.size()));
    plan->pairs_at.push_back(static_cast<std::uint32_t>(plan->pair_high.size()));
    return true;
}

// Turns sixteen rows of two 16-byte tiles ([tile A row r | tile B row r] in v[r]) on their side:
// afterwards v[t] is [tile A column t | tile B column t]. Four rounds of interleaving, each doubling the
// width of what is interleaved.
KS_AVX2_INLINE void Transpose(simd::V256 v[16]) {
    using namespace simd;
    V256 t[16];
    for (int r = 0; r < 8; ++r) {
        t[r] = InterleaveLow8(v[2 * r], v[2 * r + 1]);
        t[8 + r] = InterleaveHigh8(v[2 * r], v[2 * r + 1]);
    }
    for (int h = 0; h < 2; ++h) {
        for (int r = 0; r < 4; ++r) {
            v[8 * h + r] = InterleaveLow16(t[8 * h + 2 * r], t[8 * h + 2 * r + 1]);
            v[8 * h + 4 + r] = InterleaveHigh16(t[8 * h + 2 * r], t[8 * h + 2 * r + 1]);
        }
    }
    for (int g = 0; g < 4; ++g) {
        for (int r = 0; r < 2; ++r) {
            t[4 * g + r] = InterleaveLow32(v[4 * g + 2 * r], v[4 * g + 2 * r + 1]);
            t[4 * g + 2 + r] = InterleaveHigh32(v[4 * g + 2 * r], v[4 * g + 2 * r + 1]);
        }
    }
    for (int p = 0; p < 8; ++p) {
        v[2 * p] = InterleaveLow64(t[2 * p], t[2 * p + 1]);
        v[2 * p + 1] = InterleaveHigh64(t[2 * p], t[2 * p + 1]);
    }
}

// The column at `place` of the sixteen rows, widened to 16 bits.
KS_AVX2_INLINE simd::V256 Column16(const BYTE* columns, std::size_t place) {
    return simd::BytesTo16(simd::Load128(columns + place));
}

// The plan's arrays as plain pointers, taken once a call: read through the plan's vectors, each would be
// read again after every store of result bytes, which may alias anything.
struct PlanArrays {
    std::size_t apart;  // between a byte's columns in the turned block
    bool direct;
    const std::uint32_t *count, *rarer_at, *pairs_at;
    const std::size_t *first, *rarer, *cut, *pair_columns;
    const std::int32_t *sum_weights, *cut_weights, *bias, *constant, *pair_high, *pair_low;
};

PlanArrays ArraysOf(const AcrossPlan& plan) {
    return {.apart = plan.step * kBlockRows,
            .direct = plan.direct,
            .count = plan.count.data(),
            .rarer_at = plan.rarer_at.data(),
            .pairs_at = plan.pairs_at.data(),
            .first = plan.first.data(),
            .rarer = plan.rarer.data(),
            .cut = plan.cut.data(),
            .pair_columns = plan.pair_columns.data(),
            .sum_weights = plan.sum_weights.data(),
            .cut_weights = plan.cut_weights.data(),
            .bias = plan.bias.data(),
            .constant = plan.constant.data(),
            .pair_high = plan.pair_high.data(),
            .pair_low = plan.pair_low.data()};
}

// A and P (the columns or rows summed apart) times `weights` (paired: base and 1, or base + 1 and −1)
// + the two others times theirs + constant, in 32-bit lanes: lanes 0-3 of each half in `low`, 4-7 in
// `high`. A and P are plain sums in 16-bit lanes; `bias` takes 128 for each byte they hold, so that they
// fit signed lanes for the multiply-add of pairs, and `constant` adds it back.
KS_AVX2_INLINE void Combined(simd::V256 all, simd::V256 apart, simd::V256 bias, simd::V256 weights, simd::V256 first,
                             simd::V256 last, simd::V256 their_weights, simd::V256 constant, simd::V256* low,
                             simd::V256* high) {
    using namespace simd;
    *low = Add32(Add32(MulAddPairs16(Add16(InterleaveLow16(all, apart), bias), weights),
                       MulAddPairs16(InterleaveLow16(first, last), their_weights)),
                 constant);
    *high = Add32(Add32(MulAddPairs16(Add16(InterleaveHigh16(all, apart), bias), weights),
                        MulAddPairs16(InterleaveHigh16(first, last), their_weights)),
                  constant);
}

// Destination byte o for the sixteen rows from the sums of all its columns and of its rarer ones:
// X + 4096 with X as planned, in 32-bit lanes, rows 0-3 and 8-11 in `low`, 4-7 and 12-15 in `high`.
KS_AVX2_INLINE void SumsOfColumns(const PlanArrays& plan, std::size_t o, const BYTE* columns, simd::V256 all,
                                  simd::V256 rarer, simd::V256* low, simd::V256* high) {
    using namespace simd;
    Combined(all, rarer, Every32x8(plan.bias[o]), Every32x8(plan.sum_weights[o]), Column16(columns, plan.cut[2 * o]),
             Column16(columns, plan.cut[2 * o + 1]), Every32x8(plan.cut_weights[o]), Every32x8(plan.constant[o]), low,
             high);
}

// One destination byte for the sixteen rows, X + 4096 with X as planned, in 32-bit lanes: rows 0-3 and 8-11
// in `low`, 4-7 and 12-15 in `high`.
KS_AVX2_INLINE void ColumnSums(const PlanArrays& plan, std::size_t o, const BYTE* columns, simd::V256* low_out,
                               simd::V256* high_out) {
    using namespace simd;
    // All its columns, in four sums so that the additions need not wait for each other.
    V256 sums[4] = {Zero256(), Zero256(), Zero256(), Zero256()};
    const BYTE* column = columns + plan.first[o];
    const std::size_t apart = plan.apart;
    const std::uint32_t n = plan.count[o];
    std::uint32_t t = 0;
    for (; t + 4 <= n; t += 4, column += 4 * apart) {
        for (int u = 0; u < 4; ++u) sums[u] = Add16(sums[u], BytesTo16(Load128(column + u * apart)));
    }
    for (; t < n; ++t, column += apart) sums[0] = Add16(sums[0], BytesTo16(Load128(column)));
    const V256 all = Add16(Add16(sums[0], sums[1]), Add16(sums[2], sums[3]));
    V256 rarer = Zero256();
    for (const std::size_t *k = plan.rarer + plan.rarer_at[o], *end = plan.rarer + plan.rarer_at[o + 1]; k != end;
         ++k) {
        rarer = Add16(rarer, Column16(columns, *k));
    }
    SumsOfColumns(plan, o, columns, all, rarer, low_out, high_out);
}

// (X + 4096) >> 13 of sums as ColumnSums leaves them: the sixteen rows' bytes, in order.
KS_AVX2_INLINE simd::V128 RoundedBytes(simd::V256 low, simd::V256 high) {
    using namespace simd;
    // At most 255 each: the narrowings only narrow, and put the rows back in order.
    const V256 words = NarrowToUnsigned16(ShiftRight32(low, kWeightBits), ShiftRight32(high, kWeightBits));
    return NarrowToBytes(LowHalf(words), HighHalf(words));
}

// One destination byte for the sixteen rows: (X + 4096) >> 13.
KS_AVX2_INLINE simd::V128 RoundedColumn(const PlanArrays& plan, std::size_t o, const BYTE* columns) {
    simd::V256 low, high;
    ColumnSums(plan, o, columns, &low, &high);
    return RoundedBytes(low, high);
}

// One destination pixel's three bytes for the sixteen rows, (X + 4096) >> 13, into `results` (16 bytes
// a destination byte). The column of a channel and the next one's lie side by side, 32 bytes, so that
// one load takes two channels of a column; interleaved with the same of the pair's second column, each
// 16-bit lane holds a row's two bytes of one channel, for one multiply-add of byte pairs by the parts
// of the two weights: H = Σ h·S and L = Σ l·S, rows 0-7 from the low bytes and 8-15 from the high.
// The third channel's loads take the column after it as well, whose sums are left unused. As X + 4096
// = 32·(H + 128) + L, the rounded byte is (H + (L >> 5) + 128) >> 8, in unsigned 16-bit lanes.
KS_AVX2_INLINE void RoundedPixel(const PlanArrays& plan, std::size_t j, const BYTE* columns, BYTE* results) {
    using namespace simd;
    // Per channels 0 and 1, then 2, and per rows 0-7, then 8-15.
    V256 high[4] = {Zero256(), Zero256(), Zero256(), Zero256()}, low[4] = {Zero256(), Zero256(), Zero256(), Zero256()};
    for (std::uint32_t p = plan.pairs_at[j]; p != plan.pairs_at[j + 1]; ++p) {
        const BYTE* first = columns + plan.pair_columns[2 * p];
        const BYTE* second = columns + plan.pair_columns[2 * p + 1];
        const V256 h = Every32x8(plan.pair_high[p]), l = Every32x8(plan.pair_low[p]);
        const V256 two[2] = {Load256(first), Load256(second)}, third[2] = {Load256(first + 32), Load256(second + 32)};
        const V256 pairs[4] = {InterleaveLow8(two[0], two[1]), InterleaveHigh8(two[0], two[1]),
                               InterleaveLow8(third[0], third[1]), InterleaveHigh8(third[0], third[1])};
        for (int q = 0; q < 4; ++q) {
            high[q] = Add16(high[q], MulAddPairs8(pairs[q], h));
            low[q] = Add16(low[q], MulAddPairs8(pairs[q], l));
        }
    }
    V256 rounded[4];
    for (int q = 0; q < 4; ++q) {
        const V256 t = Add16(high[q], ShiftRight16(low[q], kDirectLowBits));
        rounded[q] = ShiftRight16(Add16(t, Every16x16(kHalf >> kDirectLowBits)), kWeightBits - kDirectLowBits);
    }
    // At most 255 each: the narrowings only narrow, and put each channel's rows back in order.
    Store256(results + 3 * kBlockRows * j, NarrowToBytes(rounded[0], rounded[1]));
    Store128(results + 3 * kBlockRows * j + 2 * kBlockRows, LowHalf(NarrowToBytes(rounded[2], rounded[3])));
}

// The sixteen source rows from `y0` on, turned on their side into `columns` (16 bytes a column, each
// byte of the rows a column). A last block of fewer rows repeats its last row.
KS_AVX2_INLINE void TurnBlock(const HalftonePicture& source, std::int64_t y0, BYTE* columns) {
    const std::size_t row_bytes = static_cast<std::size_t>(source.width) * source.step;
    const BYTE* row[kBlockRows];
    for (std::size_t r = 0; r < kBlockRows; ++r) {
        row[r] = RowOf(source, std::min<std::int64_t>(y0 + static_cast<std::int64_t>(r), source.height - 1));
    }
    alignas(32) BYTE tail[kBlockRows][32];
    for (std::size_t q = 0; q < (row_bytes + 31) / 32; ++q) {
        simd::V256 v[kBlockRows];
        // A last chunk that would read past the end of the rows overlaps the one before instead, writing
        // some columns a second time with the same bytes; rows too short for that are copied out.
        std::size_t at = 32 * q;
        if (at + 32 > row_bytes && row_bytes >= 32) at = row_bytes - 32;
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            const BYTE* from = row[r] + at;
            if (row_bytes < 32) {
                std::memset(tail[r], 0, sizeof tail[r]);
                std::memcpy(tail[r], from, row_bytes);
                from = tail[r];
            }
            v[r] = simd::Load256(from);
        }
        Transpose(v);
        for (std::size_t t = 0; t < 16; ++t) {
            simd::Store128(&columns[kBlockRows * (at + t)], simd::LowHalf(v[t]));
            simd::Store128(&columns[kBlockRows * (at + 16 + t)], simd::HighHalf(v[t]));
        }
    }
}

// The rounded destination bytes of the block turned into `columns`, sixteen bytes each (one a row),
// into `results`.
KS_AVX2_INLINE void RoundBlock(const PlanArrays& arrays, const BYTE* columns, std::size_t outputs, BYTE* results) {
    if (arrays.direct) {
        for (std::size_t j = 0; j < outputs / 3; ++j) RoundedPixel(arrays, j, columns, results);
    } else {
        for (std::size_t o = 0; o < outputs; ++o)
            simd::Store128(&results[kBlockRows * o], RoundedColumn(arrays, o, columns));
    }
}

// Columns of zeros after the source's, read in place of a column where its weight is 0: one for a sum's,
// four for a pair's two loads of two.
constexpr std::size_t kZeroColumns = 4;

// Memory for the columns of one block, the zero columns after them zeroed (chunks leave it zero or alone).
// Plain pointers are used into it: stores of bytes may alias anything, and would make each use reload a
// vector's.
BYTE* ColumnMemory(const HalftonePicture& source, const AcrossPlan& plan, std::vector<BYTE>* memory) {
    const std::size_t row_bytes = static_cast<std::size_t>(source.width) * source.step;
    memory->resize(kBlockRows * (32 * ((row_bytes + 31) / 32) + kZeroColumns));
    std::memset(memory->data() + kBlockRows * plan.zero_column, 0, kBlockRows * kZeroColumns);
    return memory->data();
}

// ---------------------------------------------------------------------------------------------------
// The same rounding of a block where the processor has AVX-512's registers: a source pixel's columns lie
// side by side, 16 bytes each, so that a register of 64 bytes takes its three channels at once where
// AVX2's takes one or two: about half the operations for the same sums and products, so the same bytes.
// (The turning itself is not faster so: tried with four tiles a register, it took as long, bound by
// more than its interleavings.)
// ---------------------------------------------------------------------------------------------------

// RoundedPixel's work with a pair's two source pixels in one register each: their first four columns,
// the fourth (the next pixel's first, or a 32-bit pixel's fourth byte, or a zero column) multiplied to no
// use. Each quarter of the sums holds one channel's rows 0-7 (`high[0]`, `low[0]`) or 8-15, and of the
// narrowed bytes one channel's sixteen rows, so the pixel's 48 bytes of results are stored at once with
// the fourth quarter's sixteen after them, which the next pixel overwrites or the results' room takes.
KS_AVX2_WIDE_INLINE void RoundedPixelWide(const PlanArrays& plan, std::size_t j, const BYTE* columns, BYTE* results) {
    using namespace simd;
    V512 high[2] = {Zero512(), Zero512()}, low[2] = {Zero512(), Zero512()};
    for (std::uint32_t p = plan.pairs_at[j]; p != plan.pairs_at[j + 1]; ++p) {
        const V512 first = Load512(columns + plan.pair_columns[2 * p]);
        const V512 second = Load512(columns + plan.pair_columns[2 * p + 1]);
        const V512 h = Every32x16(plan.pair_high[p]), l = Every32x16(plan.pair_low[p]);
        const V512 pairs[2] = {InterleaveLow8(first, second), InterleaveHigh8(first, second)};
        for (int q = 0; q < 2; ++q) {
            high[q] = Add16(high[q], MulAddPairs8(pairs[q], h));
            low[q] = Add16(low[q], MulAddPairs8(pairs[q], l));
        }
    }
    V512 rounded[2];
    for (int q = 0; q < 2; ++q) {
        const V512 t = Add16(high[q], ShiftRight16(low[q], kDirectLowBits));
        rounded[q] = ShiftRight16(Add16(t, Every16x32(kHalf >> kDirectLowBits)), kWeightBits - kDirectLowBits);
    }
    Store512(results + 3 * kBlockRows * j, NarrowToBytes(rounded[0], rounded[1]));
}

// RoundedColumn's work for a destination pixel's three bytes at once: each source pixel's first two
// columns widened into one register (a channel a half) and its third into a half of its own, for the
// sums of all its columns and of the rarer ones; the rest as each byte's.
KS_AVX2_WIDE_INLINE void RoundedColumnsWide(const PlanArrays& plan, std::size_t j, const BYTE* columns, BYTE* results) {
    using namespace simd;
    const std::size_t o = 3 * j, apart = plan.apart;
    const std::uint32_t n = plan.count[o];
    // Two sums of each, so that the additions need not wait for each other.
    V512 two[2] = {Zero512(), Zero512()};
    V256 third[2] = {Zero256(), Zero256()};
    const BYTE* column = columns + plan.first[o];
    std::uint32_t t = 0;
    for (; t + 2 <= n; t += 2, column += 2 * apart) {
        for (int u = 0; u < 2; ++u) {
            two[u] = Add16(two[u], BytesTo16(Load256(column + u * apart)));
            third[u] = Add16(third[u], Column16(column + u * apart, 2 * kBlockRows));
        }
    }
    if (t < n) {
        two[0] = Add16(two[0], BytesTo16(Load256(column)));
        third[0] = Add16(third[0], Column16(column, 2 * kBlockRows));
    }
    V512 rarer_two = Zero512();
    V256 rarer_third = Zero256();
    for (const std::size_t *k = plan.rarer + plan.rarer_at[o], *end = plan.rarer + plan.rarer_at[o + 1]; k != end;
         ++k) {
        rarer_two = Add16(rarer_two, BytesTo16(Load256(columns + *k)));
        rarer_third = Add16(rarer_third, Column16(columns + *k, 2 * kBlockRows));
    }
    const V512 all_two = Add16(two[0], two[1]);
    const V256 all[3] = {LowHalf(all_two), HighHalf(all_two), Add16(third[0], third[1])};
    const V256 rarer[3] = {LowHalf(rarer_two), HighHalf(rarer_two), rarer_third};
    for (std::size_t c = 0; c < 3; ++c) {
        V256 low, high;
        SumsOfColumns(plan, o + c, columns, all[c], rarer[c], &low, &high);
        Store128(results + kBlockRows * (o + c), RoundedBytes(low, high));
    }
}

// RoundBlock's work, a destination pixel at a time.
KS_AVX2_WIDE void RoundBlockWide(const PlanArrays& plan, const BYTE* columns, std::size_t outputs, BYTE* results) {
    if (plan.direct) {
        for (std::size_t j = 0; j < outputs / 3; ++j) RoundedPixelWide(plan, j, columns, results);
    } else {
        for (std::size_t j = 0; j < outputs / 3; ++j) RoundedColumnsWide(plan, j, columns, results);
    }
}

// The sixteen source rows from `y0` on turned into `columns`, and their rounded destination bytes into
// `results`: in AVX-512's registers where `wide`, else in AVX2's.
KS_AVX2_INLINE void TurnAndRound(const HalftonePicture& source, std::int64_t y0, const PlanArrays& plan,
                                 std::size_t outputs, BYTE* columns, BYTE* results, bool wide) {
    TurnBlock(source, y0, columns);
    if (wide) {
        RoundBlockWide(plan, columns, outputs, results);
    } else {
        RoundBlock(plan, columns, outputs, results);
    }
}

// The rows rounded across, sixteen source rows at a time turned on their side. Compiled twice (below):
// the turning holds sixteen rows of vectors and their interleavings at once, more than AVX2's sixteen
// registers, and AVX-512's thirty-two keep them out of memory (the stretch 7 to 15 % faster).
KS_AVX2_INLINE void RoundedRowsAcrossTurned(const HalftonePicture& source, const AcrossPlan& plan,
                                            const HalftonePicture& rows, std::vector<BYTE>* column_memory,
                                            std::vector<BYTE>* result_memory, bool wide) {
    const std::size_t outputs = static_cast<std::size_t>(rows.width) * 3;
    // Every column is written before it is read, and every result before it is turned back.
    BYTE* const columns = ColumnMemory(source, plan, column_memory);
    result_memory->resize(kBlockRows * (outputs + 32));
    BYTE* const results = result_memory->data();
    const PlanArrays arrays = ArraysOf(plan);
    for (std::int64_t y0 = 0; y0 < source.height; y0 += kBlockRows) {
        // The results of a last block's repeated rows are not kept.
        TurnAndRound(source, y0, arrays, outputs, columns, results, wide);
        // Back on their feet, 32 destination bytes of each row at a time.
        for (std::size_t q = 0; q < outputs; q += 32) {
            const std::size_t o0 = outputs >= 32 ? std::min(q, outputs - 32) : 0;
            simd::V256 v[kBlockRows];
            for (std::size_t r = 0; r < kBlockRows; ++r) {
                v[r] = simd::Join(simd::Load128(&results[kBlockRows * (o0 + r)]),
                                  simd::Load128(&results[kBlockRows * (o0 + 16 + r)]));
            }
            Transpose(v);
            // A last group that would reach past the rows overlaps the one before instead, as the chunks
            // turned on their side do; rows too short for that are copied out.
            BYTE line[32];
            for (std::size_t r = 0; r < kBlockRows && y0 + static_cast<std::int64_t>(r) < source.height; ++r) {
                BYTE* out = PixelOf(rows, 0, y0 + static_cast<std::int64_t>(r));
                if (outputs >= 32) {
                    simd::Store256(out + o0, v[r]);
                } else {
                    simd::Store256(line, v[r]);
                    std::memcpy(out, line, outputs);
                }
            }
        }
    }
}

KS_AVX2 void RoundedRowsAcrossFast(const HalftonePicture& source, const AcrossPlan& plan, const HalftonePicture& rows,
                                   std::vector<BYTE>* column_memory, std::vector<BYTE>* result_memory) {
    RoundedRowsAcrossTurned(source, plan, rows, column_memory, result_memory, false);
}

// The same, where the processor has AVX-512's registers.
KS_AVX2_WIDE void RoundedRowsAcrossWide(const HalftonePicture& source, const AcrossPlan& plan,
                                        const HalftonePicture& rows, std::vector<BYTE>* column_memory,
                                        std::vector<BYTE>* result_memory) {
    RoundedRowsAcrossTurned(source, plan, rows, column_memory, result_memory, true);
}

// ---------------------------------------------------------------------------------------------------
// Tall sources whose rows are turned: a block's rounded rows are summed down while still on their side,
// instead of being turned back, stored and read again. A destination byte's sixteen rows of a block are
// one 16-byte column of the results; widened to 16 bits, one multiply-add of pairs by those rows'
// weights for a destination row (0 for rows outside its cell) leaves eight partial sums, which add up
// over the blocks of the cell and then across the lanes. Every weight is below 8192 and every product
// and sum an integer below 2^31, so V is the definition's exactly, in whatever order it is added.
// ---------------------------------------------------------------------------------------------------

// A block meets at most this many destination rows (the cells being long enough), so that as many sets
// of partial sums, taken by turns, hold every row still being summed.
constexpr std::size_t kMostMetRows = 2;
// Partial sums are added up across their lanes eight destination bytes at a time.
constexpr std::size_t kLanes32 = 8;

struct TurnedDown {
    bool fused = false;
    // Per block, the destination rows its rows fall in, in order, each with the sixteen rows' weights.
    std::vector<std::uint32_t> met_at;  // per block and one more: where its destination rows start
    std::vector<std::uint32_t> row;     // per meeting: the destination row
    std::vector<std::int16_t> weights;  // per meeting: sixteen weights, 0 for rows outside its cell
};

// Fused where no block of sixteen rows meets more than two destination rows.
TurnedDown PlanTurnedDown(const AxisWeights& down, std::int64_t source_height) {
    TurnedDown t;
    std::size_t i = 0;  // the first destination row the block may meet
    for (std::int64_t y0 = 0; y0 < source_height; y0 += kBlockRows) {
        t.met_at.push_back(static_cast<std::uint32_t>(t.row.size()));
        while (down.first[i] + down.count[i] <= y0) ++i;
        for (std::size_t k = i; k < down.first.size() && down.first[k] < y0 + kBlockRows; ++k) {
            if (k - i == kMostMetRows) return TurnedDown{};
            t.row.push_back(static_cast<std::uint32_t>(k));
            for (std::int64_t y = y0; y < y0 + static_cast<std::int64_t>(kBlockRows); ++y) {
                const std::int64_t n = y - down.first[k];
                const bool inside = n >= 0 && n < down.count[k];
                t.weights.push_back(static_cast<std::int16_t>(inside ? down.weights[down.offset[k] + n] : 0));
            }
        }
    }
    t.met_at.push_back(static_cast<std::uint32_t>(t.row.size()));
    t.fused = true;
    return t;
}

// The lanes of the eight partial sums at `partial` (eight lanes each) added up, into `sums`' first `n`,
// and the partial sums cleared.
KS_AVX2_INLINE void AddUpLanes(std::int32_t* partial, std::size_t n, std::int32_t* sums) {
    using namespace simd;
    V256 a[kLanes32];
    for (std::size_t k = 0; k < kLanes32; ++k) {
        a[k] = Load256(partial + kLanes32 * k);
        Store256(partial + kLanes32 * k, Zero256());
    }
    // Each half: the sums of lanes 0-3 of a[0] to a[3], then of a[4] to a[7].
    const V256 first = PairSums32(PairSums32(a[0], a[1]), PairSums32(a[2], a[3]));
    const V256 second = PairSums32(PairSums32(a[4], a[5]), PairSums32(a[6], a[7]));
    const V256 all = Add32(Join(LowHalf(first), LowHalf(second)), Join(HighHalf(first), HighHalf(second)));
    if (n == kLanes32) {
        Store256(sums, all);
    } else {
        alignas(32) std::int32_t out[kLanes32];
        Store256(out, all);
        std::memcpy(sums, out, n * sizeof out[0]);
    }
}

// Both axes shrink: the rows rounded across and summed down, sixteen source rows at a time turned on
// their side. Compiled twice, as the rounded rows alone are.
KS_AVX2_INLINE void SumsDownTurned(const HalftonePicture& source, const AcrossPlan& plan, const AxisWeights& down,
                                   const TurnedDown& met, std::int64_t width, Sums* out,
                                   std::vector<BYTE>* column_memory, std::vector<BYTE>* result_memory,
                                   std::vector<std::int32_t>* partial_memory, bool wide) {
    using namespace simd;
    const std::size_t outputs = static_cast<std::size_t>(width) * 3;
    const std::size_t padded = (outputs + kLanes32 - 1) / kLanes32 * kLanes32;  // the last eight's room
    out->Reset(width, static_cast<std::int64_t>(down.first.size()));
    BYTE* const columns = ColumnMemory(source, plan, column_memory);
    result_memory->resize(kBlockRows * (padded + 32));  // the bytes past the outputs' are summed, not kept
    BYTE* const results = result_memory->data();
    partial_memory->assign(kMostMetRows * padded * kLanes32, 0);
    const PlanArrays arrays = ArraysOf(plan);
    for (std::int64_t y0 = 0, block = 0; y0 < source.height; y0 += kBlockRows, ++block) {
        TurnAndRound(source, y0, arrays, outputs, columns, results, wide);  // a last block's repeated rows weigh 0
        for (std::uint32_t m = met.met_at[block]; m != met.met_at[block + 1]; ++m) {
            const std::uint32_t i = met.row[m];
            const V256 weights = Load256(&met.weights[kBlockRows * m]);
            std::int32_t* const partial = partial_memory->data() + i % kMostMetRows * padded * kLanes32;
            for (std::size_t o = 0; o < padded; ++o) {
                std::int32_t* p = partial + kLanes32 * o;
                Store256(p, Add32(Load256(p), MulAddPairs16(BytesTo16(Load128(&results[kBlockRows * o])), weights)));
            }
            if (down.first[i] + down.count[i] <= y0 + static_cast<std::int64_t>(kBlockRows)) {  // its last block
                for (std::size_t o = 0; o < outputs; o += kLanes32) {
                    AddUpLanes(partial + kLanes32 * o, std::min(kLanes32, outputs - o), out->Row(i) + o);
                }
            }
        }
    }
}

KS_AVX2 void SumsDownTurnedFast(const HalftonePicture& source, const AcrossPlan& plan, const AxisWeights& down,
                                const TurnedDown& met, std::int64_t width, Sums* out, std::vector<BYTE>* column_memory,
                                std::vector<BYTE>* result_memory, std::vector<std::int32_t>* partial_memory) {
    SumsDownTurned(source, plan, down, met, width, out, column_memory, result_memory, partial_memory, false);
}

// The same, where the processor has AVX-512's registers.
KS_AVX2_WIDE void SumsDownTurnedWide(const HalftonePicture& source, const AcrossPlan& plan, const AxisWeights& down,
                                     const TurnedDown& met, std::int64_t width, Sums* out,
                                     std::vector<BYTE>* column_memory, std::vector<BYTE>* result_memory,
                                     std::vector<std::int32_t>* partial_memory) {
    SumsDownTurned(source, plan, down, met, width, out, column_memory, result_memory, partial_memory, true);
}

// Where the bytes of four 32-bit pixels are in sixteen, their fourth bytes left out.
constexpr std::int8_t kDropFourth[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1};

// Sixteen bytes of a row, or twelve with the fourth byte of each 32-bit pixel dropped.
KS_AVX2 inline simd::V128 ChannelBytes(const BYTE* p, bool packed, simd::V128 drop_fourth) {
    return packed ? simd::Load128(p) : simd::PickBytes(simd::Load128(p), drop_fourth);
}

// ---------------------------------------------------------------------------------------------------
// Sources less than about twice as wide as the destination: each destination byte takes two to four
// columns, and eight destination bytes side by side (six where the source is wider, two whole 24-bit
// pixels) take theirs from sixteen bytes of the row. So the rows are taken as they lie, not turned: one
// byte shuffle a pair of columns puts each destination byte's two beside each other in a 16-bit lane,
// and one multiply-add of unsigned bytes by signed byte weights adds their products, twelve or sixteen
// destination bytes at once. A weight (below 8192 where the source is the wider) does not fit a signed
// byte, but its parts w = 64·h + l do: h ≤ 127, l ≤ 63. With H = Σ h·S and L = Σ l·S,
// X + 4096 = 64·(H + 64) + L, so that the rounded byte (X + 4096) >> 13 is (T + 64) >> 7 with
// T = H + (L >> 6), H being whole. A destination byte's weights sum to 8192, so H ≤ 255 · 128 fits a
// signed 16-bit lane, as each pair's part of it does, and so does T ≤ X / 64 ≤ 255 · 128, which a
// rounding multiply by 2^8 shifts; L ≤ 255 · 63 · 4 fits an unsigned lane with up to four columns, and
// each pair's part, 255 · 126, a signed one: no sum saturates, and the bytes are the definition's
// exactly. The fourth bytes of 32-bit pixels widen the windows: where they would not fit, the rows are
// first copied to 24 bits by byte shuffles.
// ---------------------------------------------------------------------------------------------------

// A half of a vector makes eight destination bytes, or six, from sixteen source bytes.
constexpr std::size_t kLaneOutputs = 8, kNarrowLaneOutputs = 6;
constexpr std::size_t kLaneWindow = 16;
constexpr std::uint32_t kMostGatheredColumns = 4;
constexpr int kLowWeightBits = 6;

// A weight's parts h and l, w = 64·h + l, as signed bytes.
std::int8_t HighPart(std::int32_t w) { return static_cast<std::int8_t>(w >> kLowWeightBits); }
std::int8_t LowPart(std::int32_t w) { return static_cast<std::int8_t>(w & ((1 << kLowWeightBits) - 1)); }

struct GatherPlan {
    std::size_t pairs = 0;               // pairs of columns per destination byte; 0 where rows are not gathered
    std::size_t lane = 0;                // destination bytes a half of a vector makes
    bool packed = false;                 // 32-bit rows are copied to 24 bits first, and planned as such
    std::vector<std::uint32_t> at;       // per group (two halves): its first destination byte (the last
                                         // group overlaps the one before)
    std::vector<std::uint32_t> window;   // per half of a group: where its sixteen source bytes start
    std::vector<std::int8_t> order;      // per group and pair, 32 bytes: where each column is in the window
    std::vector<std::int8_t> high, low;  // and the parts h and l of its weight
};

// The place in a row of destination byte o's n-th column.
std::size_t ColumnByte(const AxisWeights& across, std::size_t step, std::size_t o, std::uint32_t n) {
    return (across.first[o / 3] + n) * step + o % 3;
}

// Where a window of `size` bytes starts that holds the columns of destination bytes o0 to o0 + lane − 1:
// at their first, or as much earlier as keeps it inside the row. False where they reach over more.
bool WindowStart(const AxisWeights& across, std::size_t step, std::size_t row_bytes, std::size_t o0, std::size_t lane,
                 std::size_t size, std::size_t* start) {
    std::size_t lowest = ColumnByte(across, step, o0, 0), highest = 0;
    for (std::size_t o = o0; o < o0 + lane; ++o) {
        lowest = std::min(lowest, ColumnByte(across, step, o, 0));
        highest = std::max(highest, ColumnByte(across, step, o, across.count[o / 3] - 1));
    }
    *start = std::min(lowest, row_bytes - size);
    return highest - *start < size;
}

// False where some destination byte has more columns, a weight does not split as above, `lane`
// destination bytes side by side reach over more than sixteen source bytes, or the rows are too short.
bool PlanGatherLanes(const AxisWeights& across, std::size_t step, std::size_t row_bytes, std::size_t lane,
                     GatherPlan* gather) {
    const std::size_t outputs = across.first.size() * 3;
    const std::uint32_t most = *std::max_element(across.count.begin(), across.count.end());
    const bool light =
        std::all_of(across.weights.begin(), across.weights.end(), [](std::int32_t w) { return w < kWeightOne; });
    if (outputs < 2 * lane || row_bytes < kLaneWindow || most > kMostGatheredColumns || !light) return false;
    GatherPlan g;
    g.pairs = (most + 1) / 2;
    g.lane = lane;
    const std::size_t groups = (outputs + 2 * lane - 1) / (2 * lane);
    g.order.assign(groups * g.pairs * 32, -1);  // a negative place picks a zero
    g.high.assign(groups * g.pairs * 32, 0);
    g.low.assign(groups * g.pairs * 32, 0);
    for (std::size_t k = 0; k < groups; ++k) {
        g.at.push_back(static_cast<std::uint32_t>(std::min(2 * lane * k, outputs - 2 * lane)));
        for (std::size_t half = 0; half < 2; ++half) {
            const std::size_t o0 = g.at.back() + lane * half;
            std::size_t start = 0;
            if (!WindowStart(across, step, row_bytes, o0, lane, kLaneWindow, &start)) return false;
            g.window.push_back(static_cast<std::uint32_t>(start));
            for (std::size_t o = o0; o < o0 + lane; ++o) {
                const std::int32_t* w = &across.weights[across.offset[o / 3]];
                for (std::uint32_t n = 0; n < across.count[o / 3]; ++n) {
                    const std::size_t place = 32 * (k * g.pairs + n / 2) + 16 * half + 2 * (o - o0) + n % 2;
                    g.order[place] = static_cast<std::int8_t>(ColumnByte(across, step, o, n) - start);
                    g.high[place] = HighPart(w[n]);
                    g.low[place] = LowPart(w[n]);
                }
            }
        }
    }
    *gather = std::move(g);
    return true;
}

// Eight destination bytes a half where their columns fit one window, else six.
bool PlanGather(const AxisWeights& across, std::size_t step, std::size_t row_bytes, GatherPlan* gather) {
    return PlanGatherLanes(across, step, row_bytes, kLaneOutputs, gather) ||
           PlanGatherLanes(across, step, row_bytes, kNarrowLaneOutputs, gather);
}

// Row `y` of 32-bit pixels copied to 24 bits: eight pixels a step, four in each half of a vector, each
// half stored as sixteen bytes (twelve and four to spare, which the next store overwrites or the row's
// room takes); the pixels left over four at a time, a last group overlapping the one before.
KS_AVX2 inline void PackRow(const HalftonePicture& source, std::int64_t y, BYTE* out) {
    using namespace simd;
    const auto width = static_cast<std::size_t>(source.width);
    const BYTE* in = RowOf(source, y);
    const V128 drop_fourth = Load128(kDropFourth);
    const V256 drop_fourths = Join(drop_fourth, drop_fourth);
    std::size_t x = 0;
    for (; x + 8 <= width; x += 8) {
        const V256 both = PickBytes(Load256(in + 4 * x), drop_fourths);
        Store128(out + 3 * x, LowHalf(both));
        Store128(out + 3 * x + 12, HighHalf(both));
    }
    for (; x < width; x += 4) {
        const std::size_t at = std::min(x, width - 4);
        Store128(out + 3 * at, ChannelBytes(in + 4 * at, false, drop_fourth));
    }
}

// The room a copied row takes: its bytes, and the four its last sixteen-byte store reaches past them.
std::size_t PackedRoom(const HalftonePicture& source) { return 3 * static_cast<std::size_t>(source.width) + 4; }

// One group's weights, as vectors.
struct GroupWeights {
    std::uint32_t window[2];
    simd::V256 order[2], high[2], low[2];
};

KS_AVX2 inline GroupWeights WeightsOfGroup(const GatherPlan& plan, std::size_t k) {
    GroupWeights g{{plan.window[2 * k], plan.window[2 * k + 1]}, {}, {}, {}};
    for (std::size_t p = 0; p < plan.pairs; ++p) {
        const std::size_t at = 32 * (k * plan.pairs + p);
        g.order[p] = simd::Load256(&plan.order[at]);
        g.high[p] = simd::Load256(&plan.high[at]);
        g.low[p] = simd::Load256(&plan.low[at]);
    }
    return g;
}

// A group's destination bytes of the row at `in`, rounded, in 16-bit lanes (where a half makes six,
// its last two lanes are 0).
KS_AVX2 inline simd::V256 RoundedGroup(const BYTE* in, const GroupWeights& g, std::size_t pairs) {
    using namespace simd;
    const V256 bytes = Join(Load128(in + g.window[0]), Load128(in + g.window[1]));
    V256 columns = PickBytes(bytes, g.order[0]);
    V256 high = MulAddPairs8(columns, g.high[0]);
    V256 low = MulAddPairs8(columns, g.low[0]);
    if (pairs == 2) {
        columns = PickBytes(bytes, g.order[1]);
        high = Add16(high, MulAddPairs8(columns, g.high[1]));
        low = Add16(low, MulAddPairs8(columns, g.low[1]));
    }
    constexpr int kShift = kWeightBits - kLowWeightBits;  // (T + 64) >> 7 as a rounding multiply
    return MulHighRounded16(Add16(high, ShiftRight16(low, kLowWeightBits)), Every16x16(1 << (15 - kShift)));
}

KS_AVX2 void RoundedRowsGathered(const HalftonePicture& source, const GatherPlan& plan, const HalftonePicture& rows,
                                 std::vector<BYTE>* row_memory) {
    using namespace simd;
    // Copied rows are made a row ahead, in two rooms by turns: windows read straight after the stores
    // that wrote them, across two of them, would wait for the stores to reach the cache.
    const std::size_t room = PackedRoom(source);
    row_memory->resize(plan.packed ? 2 * room : 0);
    BYTE* const packed_rows = row_memory->data();
    if (plan.packed && source.height > 0) PackRow(source, 0, packed_rows);
    // Six destination bytes a half: the twelve made, out of the sixteen narrowed.
    static constexpr std::int8_t kTwelve[16] = {0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1};
    const V128 twelve = Load128(kTwelve);
    const bool narrow = plan.lane == kNarrowLaneOutputs;
    const std::size_t pairs = plan.pairs;
    std::vector<GroupWeights> weights(plan.at.size());
    for (std::size_t k = 0; k < weights.size(); ++k) weights[k] = WeightsOfGroup(plan, k);
    const std::uint32_t* at = plan.at.data();
    for (std::int64_t y = 0; y < source.height; ++y) {
        const BYTE* in = RowOf(source, y);
        if (plan.packed) {
            if (y + 1 < source.height) PackRow(source, y + 1, packed_rows + (y + 1) % 2 * room);
            in = packed_rows + y % 2 * room;
        }
        BYTE* out = PixelOf(rows, 0, y);
        for (std::size_t k = 0; k < weights.size(); ++k) {
            const V256 rounded = RoundedGroup(in, weights[k], pairs);
            const V128 made = NarrowToBytes(LowHalf(rounded), HighHalf(rounded));
            if (narrow) {  // twelve bytes, stored as eight and four so as not to reach past the row
                const V128 kept = PickBytes(made, twelve);
                Store64(out + at[k], kept);
                Store32(out + at[k] + 8, InterleaveHigh64(kept, kept));
            } else {
                Store128(out + at[k], made);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Tall sources whose rows are gathered: the rounded rows are summed down as they are made, in the
// 16-bit lanes they are made in, instead of being stored as bytes and read again. Every row inside a
// destination row's cell weighs base = ⌊8192·D/S⌋ or a step more; only its first and last rows may be
// cut. So V = base · A + H + (first's weight − base) · first + (last's − base) · last, A the sum of all
// its rows and H of the inner rows a step heavier: the same combination as the columns' sums above,
// with up to 256 rows (A ≤ 255 · 256 in an unsigned lane, less 128 a row in a signed one), so V is the
// definition's exactly.
// ---------------------------------------------------------------------------------------------------

constexpr std::uint32_t kFewestSummedRows = 3;  // a first, a last and inner rows between them

struct DownSums {
    bool fused = false;
    std::int32_t base = 0;
    // Per destination row, its inner rows counted from its first, those a step heavier first: so that
    // each loop adds to one sum, and no row is masked.
    std::vector<std::uint32_t> inner;
    std::vector<std::uint32_t> inner_at;    // per destination row and one more: where its inner rows start
    std::vector<std::uint32_t> lighter_at;  // per destination row: where its rows of weight base start
    std::vector<std::int32_t> edges;        // per destination row: its first and last rows' weights less base
    std::vector<std::int32_t> bias;         // per destination row: −128 · its rows, and · its heavier, paired
    std::vector<std::int32_t> constant;     // per destination row: the 128s taken, times their weights
};

// Fused where every destination row has from three to 256 source rows (the columns' sums' limit).
DownSums PlanDownSums(const AxisWeights& down, std::uint64_t source, std::uint64_t destination) {
    DownSums d;
    d.base = static_cast<std::int32_t>(kWeightOne * destination / source);
    for (std::size_t i = 0; i < down.first.size(); ++i) {
        const std::uint32_t n = down.count[i];
        if (n < kFewestSummedRows || n > kMostPlainColumns) return DownSums{};
        const std::int32_t* w = &down.weights[down.offset[i]];
        d.inner_at.push_back(static_cast<std::uint32_t>(d.inner.size()));
        for (std::uint32_t t = 1; t + 1 < n; ++t) {
            if (w[t] != d.base && w[t] != d.base + 1) return DownSums{};
            if (w[t] == d.base + 1) d.inner.push_back(t);
        }
        const auto heavier = static_cast<std::int32_t>(d.inner.size() - d.inner_at.back());
        d.lighter_at.push_back(static_cast<std::uint32_t>(d.inner.size()));
        for (std::uint32_t t = 1; t + 1 < n; ++t) {
            if (w[t] == d.base) d.inner.push_back(t);
        }
        const auto rows = static_cast<std::int32_t>(n);
        d.edges.push_back(Pair16(w[0] - d.base, w[n - 1] - d.base));
        d.bias.push_back(Pair16(-128 * rows, -128 * heavier));
        d.constant.push_back(128 * (d.base * rows + heavier));
    }
    d.inner_at.push_back(static_cast<std::uint32_t>(d.inner.size()));
    d.fused = true;
    return d;
}

// The picture from row `first` on.
HalftonePicture RowsFrom(const HalftonePicture& source, std::int64_t first) {
    HalftonePicture rows = source;
    rows.top = source.top + first * source.pitch;
    return rows;
}

// The sum of a group's rounded bytes over the rows listed from `row` to `end`, two rows a step in two
// sums, so that neither waits for the other's additions.
KS_AVX2 inline simd::V256 SumOfRoundedGroups(const HalftonePicture& rows, const GroupWeights& g, std::size_t pairs,
                                             const std::uint32_t* row, const std::uint32_t* end) {
    using namespace simd;
    V256 sums[2] = {Zero256(), Zero256()};
    for (; end - row >= 2; row += 2) {
        sums[0] = Add16(sums[0], RoundedGroup(RowOf(rows, row[0]), g, pairs));
        sums[1] = Add16(sums[1], RoundedGroup(RowOf(rows, row[1]), g, pairs));
    }
    if (row != end) sums[0] = Add16(sums[0], RoundedGroup(RowOf(rows, *row), g, pairs));
    return Add16(sums[0], sums[1]);
}

// A group's rounded bytes over a destination row's rows: its first and last rows', and the sums of its
// inner rows a step heavier and of all its rows.
struct GroupSums {
    simd::V256 top, bottom, heavier, all;
};

KS_AVX2 inline GroupSums SumsOfGroup(const HalftonePicture& rows, std::int64_t last, const GroupWeights& g,
                                     std::size_t pairs, const std::uint32_t* heavier, const std::uint32_t* lighter,
                                     const std::uint32_t* end) {
    using namespace simd;
    GroupSums s;
    s.top = RoundedGroup(RowOf(rows, 0), g, pairs);
    s.bottom = RoundedGroup(RowOf(rows, last), g, pairs);
    s.heavier = SumOfRoundedGroups(rows, g, pairs, heavier, lighter);
    s.all = Add16(Add16(Add16(s.top, s.bottom), s.heavier), SumOfRoundedGroups(rows, g, pairs, lighter, end));
    return s;
}

// The rounded bytes (T + 64) >> 7, T = H + (L >> 6), from the sums of the products by the weights' parts
// h and l, in 64-byte registers, as RoundedGroup makes them in AVX2's.
KS_AVX2_WIDE_INLINE simd::V512 RoundedFromParts(simd::V512 high, simd::V512 low) {
    using namespace simd;
    constexpr int kShift = kWeightBits - kLowWeightBits;
    return MulHighRounded16(Add16(high, ShiftRight16(low, kLowWeightBits)), Every16x32(1 << (15 - kShift)));
}

// RoundedGroup's work for two rows at once, one in each half of a 64-byte register: `twice` holds the
// group's vectors (its orders, then its parts h, then l) in both halves.
KS_AVX2_WIDE_INLINE simd::V512 RoundedGroupOfTwo(const BYTE* a, const BYTE* b, const GroupWeights& g,
                                                 const simd::V512* twice, std::size_t pairs) {
    using namespace simd;
    const V512 bytes = Join(Join(Load128(a + g.window[0]), Load128(a + g.window[1])),
                            Join(Load128(b + g.window[0]), Load128(b + g.window[1])));
    V512 columns = PickBytes(bytes, twice[0]);
    V512 high = MulAddPairs8(columns, twice[2]);
    V512 low = MulAddPairs8(columns, twice[4]);
    if (pairs == 2) {
        columns = PickBytes(bytes, twice[1]);
        high = Add16(high, MulAddPairs8(columns, twice[3]));
        low = Add16(low, MulAddPairs8(columns, twice[5]));
    }
    return RoundedFromParts(high, low);
}

// SumOfRoundedGroups' work four rows a step, two in each of two sums; a last row alone in AVX2's lanes.
KS_AVX2_WIDE_INLINE simd::V256 SumOfRoundedGroupsWide(const HalftonePicture& rows, const GroupWeights& g,
                                                      const simd::V512* twice, std::size_t pairs,
                                                      const std::uint32_t* row, const std::uint32_t* end) {
    using namespace simd;
    V512 sums[2] = {Zero512(), Zero512()};
    for (; end - row >= 4; row += 4) {
        sums[0] = Add16(sums[0], RoundedGroupOfTwo(RowOf(rows, row[0]), RowOf(rows, row[1]), g, twice, pairs));
        sums[1] = Add16(sums[1], RoundedGroupOfTwo(RowOf(rows, row[2]), RowOf(rows, row[3]), g, twice, pairs));
    }
    if (end - row >= 2) {
        sums[0] = Add16(sums[0], RoundedGroupOfTwo(RowOf(rows, row[0]), RowOf(rows, row[1]), g, twice, pairs));
        row += 2;
    }
    const V512 both = Add16(sums[0], sums[1]);
    const V256 sum = Add16(LowHalf(both), HighHalf(both));
    return row != end ? Add16(sum, RoundedGroup(RowOf(rows, *row), g, pairs)) : sum;
}

// SumsOfGroup's work two rows at a time, where the processor has AVX-512's registers (the gathered
// stretch 18 to 29 % faster): the first and last rows are one such pair.
KS_AVX2_WIDE GroupSums SumsOfGroupWide(const HalftonePicture& rows, std::int64_t last, const GroupWeights& g,
                                       std::size_t pairs, const std::uint32_t* heavier, const std::uint32_t* lighter,
                                       const std::uint32_t* end) {
    using namespace simd;
    const V512 twice[6] = {Join(g.order[0], g.order[0]), Join(g.order[1], g.order[1]), Join(g.high[0], g.high[0]),
                           Join(g.high[1], g.high[1]),   Join(g.low[0], g.low[0]),     Join(g.low[1], g.low[1])};
    const V512 edges = RoundedGroupOfTwo(RowOf(rows, 0), RowOf(rows, last), g, twice, pairs);
    GroupSums s;
    s.top = LowHalf(edges);
    s.bottom = HighHalf(edges);
    s.heavier = SumOfRoundedGroupsWide(rows, g, twice, pairs, heavier, lighter);
    s.all =
        Add16(Add16(Add16(s.top, s.bottom), s.heavier), SumOfRoundedGroupsWide(rows, g, twice, pairs, lighter, end));
    return s;
}

// The groups' sums in AVX-512's registers where `wide`, else in AVX2's.
KS_AVX2 void SumsDownGathered(const HalftonePicture& source, const GatherPlan& plan, const AxisWeights& down,
                              const DownSums& d, std::int64_t width, Sums* out, std::vector<BYTE>* row_memory,
                              bool wide) {
    using namespace simd;
    out->Reset(width, static_cast<std::int64_t>(down.first.size()));
    // 32-bit rows are copied to 24 bits a destination row's rows (at most 256) at a time, before its
    // groups read them.
    const std::size_t room = PackedRoom(source);
    row_memory->resize(plan.packed ? kMostPlainColumns * room : 0);
    const std::uint32_t* inner = d.inner.data();
    for (std::size_t i = 0; i < down.first.size(); ++i) {
        const std::int64_t first = down.first[i], last = first + down.count[i] - 1;
        std::int32_t* sums = out->Row(static_cast<std::int64_t>(i));
        HalftonePicture rows = RowsFrom(source, first);  // the destination row's rows
        if (plan.packed) {
            rows.top = row_memory->data();
            rows.pitch = static_cast<std::ptrdiff_t>(room);
            for (std::int64_t y = first; y <= last; ++y) PackRow(source, y, rows.top + (y - first) * rows.pitch);
        }
        for (std::size_t k = 0; k < plan.at.size(); ++k) {
            const GroupWeights g = WeightsOfGroup(plan, k);
            const std::uint32_t *heavier = inner + d.inner_at[i], *lighter = inner + d.lighter_at[i],
                                *end = inner + d.inner_at[i + 1];
            const GroupSums sum = wide ? SumsOfGroupWide(rows, last - first, g, plan.pairs, heavier, lighter, end)
                                       : SumsOfGroup(rows, last - first, g, plan.pairs, heavier, lighter, end);
            V256 low, high;
            Combined(sum.all, sum.heavier, Every32x8(d.bias[i]), Every32x8(Pair16(d.base, 1)), sum.top, sum.bottom,
                     Every32x8(d.edges[i]), Every32x8(d.constant[i]), &low, &high);
            const std::size_t at = plan.at[k], second = at + plan.lane;
            Store128(sums + at, LowHalf(low));
            Store128(sums + second, HighHalf(low));
            if (plan.lane == kLaneOutputs) {
                Store128(sums + at + 4, LowHalf(high));
                Store128(sums + second + 4, HighHalf(high));
            } else {
                Store64(sums + at + 4, LowHalf(high));
                Store64(sums + second + 4, HighHalf(high));
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Tall sources up to about fifteen times as wide as the destination, where the processor has the byte
// permutes and the dot products of bytes: a destination byte's columns lie within a few dozen bytes of
// the row, so up to 32 destination bytes side by side take theirs from one window of 128 bytes (64 where
// the rows are shorter), one permute a set of columns. Where each destination byte has at most four
// columns and every weight splits as above (the gathered rows'), the permute puts a pair of a destination
// byte's columns in its 16-bit lane and two multiply-adds of bytes by the weights' parts h and l add their
// products, 32 destination bytes a window ("byte windows"). Else it puts four of its columns in its
// 32-bit lane and two dot products by the weights' two planes (128 · high + low) add their products, 16
// destination bytes a window: X exactly, whatever the weights and however many the columns (X < 2^21,
// the low plane's sums below 16 · 127 · 255). The rounded rows are summed down as they are made, as the
// gathered ones are, with the same plan of rows. Neither the rows are turned nor 32-bit pixels copied to
// 24 bits first.
// ---------------------------------------------------------------------------------------------------

// The dot products of bytes (AddDots) multiply unsigned bytes by signed ones: a weight of 128 or more
// is split as 128 · high + low, two planes of weights each below 128.
constexpr int kDotLowBits = 7;  // a weight's low part, below 128: a signed byte

// One plane of weights where every weight is below 128, else two.
std::size_t DotPlanes(const std::vector<std::int32_t>& weights) {
    return std::all_of(weights.begin(), weights.end(), [](std::int32_t w) { return w < (1 << kDotLowBits); }) ? 1 : 2;
}

// A weight's part in plane 0 (low) or 1 (high); light weights are their own low parts.
std::int8_t DotPart(std::int32_t weight, std::size_t plane) {
    return static_cast<std::int8_t>(plane == 0 ? weight & ((1 << kDotLowBits) - 1) : weight >> kDotLowBits);
}

// The sums of the two planes' products put together: low + 128 · high.
KS_BYTE_DOTS_INLINE simd::V512 FromPlanes(simd::V512 low, simd::V512 high) {
    return simd::Add32(low, simd::ShiftLeft32(high, kDotLowBits));
}

constexpr std::size_t kWindowBytes = 128;
// Destination bytes a window makes at most: a 16-bit lane each in a 64-byte register in byte windows,
// else a 32-bit lane each.
constexpr std::size_t kMostByteWindowOutputs = 32, kMostWindowOutputs = 16;
// The sets of columns a destination byte are a constant of each compiled loop, which the compiler
// unrolls: twice as fast as a loop over a count held in a register. Sixteen columns is a source up to
// about 15 times as wide, six destination bytes a window or more; 300 to 24 (thirteen columns) was
// measured a quarter faster than turning the rows, and wider sources are left to the turning.
constexpr std::uint32_t kMostWindowColumns = 16;
constexpr std::size_t kWindowSetColumns[2] = {4, 2};  // columns a set: in other windows, in byte windows

struct WindowPlan {
    std::size_t sets = 0;              // sets of columns per destination byte; 0 where rows are not windowed
    bool bytes = false;                // byte windows: 16-bit lanes, pairs of columns and the parts h and l
    std::size_t lane = 0;              // destination bytes a window makes
    std::vector<std::uint32_t> at;     // per window: its first destination byte (the last overlaps the one before)
    std::size_t size = 0;              // a window's bytes: 128, or 64 where the rows are shorter
    std::vector<std::uint32_t> start;  // per window: where its bytes start in the row
    // Per window and set, 64 bytes: where each column is in the window, and its weight's high and low
    // parts (h and l in byte windows, else the two planes), 0 where a destination byte has no such column.
    std::vector<std::int8_t> order;
    std::vector<std::int8_t> high, low;
    // In byte windows, the destination bytes past the last whole window, where there are at most eight
    // (the 24-pixel rows' 72 are two windows and eight): taken four rows at a time, 32 bytes of each
    // from `tail_start` side by side, rather than in a window of their own for each row. Per set, 64
    // bytes as above, lane 8r + m for row r's destination byte tail_at + m.
    std::size_t tail = 0;  // such destination bytes; 0 where there are none
    std::size_t tail_at = 0, tail_start = 0;
    std::vector<std::int8_t> tail_order, tail_high, tail_low;
};

constexpr std::size_t kMostTailOutputs = 8, kTailRows = 4, kTailBytes = 32;

// Destination bytes o0 to o1 − 1's columns placed in a window's sets of 64 bytes (`order`, `high` and `low`
// at its first set), destination byte o in lane `first_lane` + o − o0: where each column is in the window
// (its place in the row plus `offset`) and its weight's two parts.
void PlaceColumns(const AxisWeights& across, std::size_t step, bool bytes, std::size_t o0, std::size_t o1,
                  std::size_t first_lane, std::ptrdiff_t offset, std::int8_t* order, std::int8_t* high,
                  std::int8_t* low) {
    const std::size_t set = kWindowSetColumns[bytes];
    for (std::size_t o = o0; o < o1; ++o) {
        const std::int32_t* weight = &across.weights[across.offset[o / 3]];
        for (std::uint32_t n = 0; n < across.count[o / 3]; ++n) {
            const std::size_t place = 64 * (n / set) + set * (first_lane + o - o0) + n % set;
            order[place] =
                static_cast<std::int8_t>(static_cast<std::ptrdiff_t>(ColumnByte(across, step, o, n)) + offset);
            high[place] = bytes ? HighPart(weight[n]) : DotPart(weight[n], 1);
            low[place] = bytes ? LowPart(weight[n]) : DotPart(weight[n], 0);
        }
    }
}

// False where `lane` destination bytes side by side reach over more than 128 source bytes, or there are
// fewer destination bytes.
bool PlanWindowLanes(const AxisWeights& across, std::size_t step, std::size_t row_bytes, bool bytes, std::size_t lane,
                     WindowPlan* plan) {
    const std::size_t outputs = across.first.size() * 3;
    if (outputs < lane) return false;
    WindowPlan w;
    // Rows shorter than 128 bytes take windows of 64 (windows of 128 read by masked loads, no further
    // than the row, cost a fifth of the stretch more); shorter than 64, they are gathered.
    w.size = row_bytes >= kWindowBytes ? kWindowBytes : kWindowBytes / 2;
    if (row_bytes < w.size) return false;
    const std::size_t set = kWindowSetColumns[bytes];
    w.sets = (*std::max_element(across.count.begin(), across.count.end()) + set - 1) / set;
    w.bytes = bytes;
    w.lane = lane;
    // Byte windows' last few destination bytes may be a tail (above), where their columns fit.
    std::size_t tail_start = 0;
    const std::size_t rest = outputs % lane, whole = outputs / lane;
    if (bytes && rest != 0 && rest <= kMostTailOutputs &&
        WindowStart(across, step, row_bytes, whole * lane, rest, kTailBytes, &tail_start)) {
        w.tail = rest;
        w.tail_at = whole * lane;
        w.tail_start = tail_start;
        w.tail_order.assign(w.sets * 64, 0);
        w.tail_high.assign(w.sets * 64, 0);
        w.tail_low.assign(w.sets * 64, 0);
        for (std::size_t r = 0; r < kTailRows; ++r) {  // row r's 32 bytes from kTailBytes · r on
            PlaceColumns(across, step, true, w.tail_at, outputs, kMostTailOutputs * r,
                         static_cast<std::ptrdiff_t>(kTailBytes * r) - static_cast<std::ptrdiff_t>(tail_start),
                         w.tail_order.data(), w.tail_high.data(), w.tail_low.data());
        }
    }
    const std::size_t windows = w.tail != 0 ? whole : (outputs + lane - 1) / lane;
    w.order.assign(windows * w.sets * 64, 0);
    w.high.assign(windows * w.sets * 64, 0);
    w.low.assign(windows * w.sets * 64, 0);
    for (std::size_t k = 0; k < windows; ++k) {
        const std::size_t o0 = std::min(lane * k, outputs - lane);
        std::size_t start = 0;
        if (!WindowStart(across, step, row_bytes, o0, lane, w.size, &start)) return false;
        w.at.push_back(static_cast<std::uint32_t>(o0));
        w.start.push_back(static_cast<std::uint32_t>(start));
        const std::size_t at = 64 * k * w.sets;
        PlaceColumns(across, step, bytes, o0, o0 + lane, 0, -static_cast<std::ptrdiff_t>(start), &w.order[at],
                     &w.high[at], &w.low[at]);
    }
    *plan = std::move(w);
    return true;
}

// Byte windows where the columns and weights allow and more than 16 destination bytes fit a window,
// else the most destination bytes a window whose columns fit.
bool PlanWindows(const AxisWeights& across, std::size_t step, std::size_t row_bytes, WindowPlan* plan) {
    const std::uint32_t most = *std::max_element(across.count.begin(), across.count.end());
    const bool light =
        std::all_of(across.weights.begin(), across.weights.end(), [](std::int32_t w) { return w < kWeightOne; });
    if (most > kMostWindowColumns) return false;
    for (std::size_t lane = kMostByteWindowOutputs; light && most <= kMostGatheredColumns && lane > kMostWindowOutputs;
         --lane) {
        if (PlanWindowLanes(across, step, row_bytes, true, lane, plan)) return true;
    }
    // Two columns a destination byte always fit byte windows: whole weights start at two.
    for (std::size_t lane = kMostWindowOutputs; most > 2 && lane > 0; --lane) {
        if (PlanWindowLanes(across, step, row_bytes, false, lane, plan)) return true;
    }
    return false;
}

// One window's part of the plan, as the loops over its rows take it.
struct Window {
    std::size_t start;
    std::size_t second;  // where its second 64 bytes start from its first: 64, or 0 in a window of 64
    const std::int8_t *order, *high, *low;
};

template <std::size_t kSets>
KS_BYTE_DOTS_INLINE Window WindowOf(const WindowPlan& plan, std::size_t k) {
    const std::size_t at = 64 * kSets * k;
    return Window{plan.start[k], plan.size - 64, &plan.order[at], &plan.high[at], &plan.low[at]};
}

// A window's destination bytes in 16-bit lanes: 32 in byte windows, else 16.
template <bool kBytes>
struct WindowLanesOf {
    using Type = simd::V256;
};
template <>
struct WindowLanesOf<true> {
    using Type = simd::V512;
};
template <bool kBytes>
using WindowLanes = typename WindowLanesOf<kBytes>::Type;

// The lanes of a half of them (all of them where they are 16).
KS_BYTE_DOTS_INLINE simd::V256 HalfOf(simd::V512 v, std::size_t half) {
    return half == 0 ? simd::LowHalf(v) : simd::HighHalf(v);
}
KS_BYTE_DOTS_INLINE simd::V256 HalfOf(simd::V256 v, std::size_t) { return v; }

// A window's destination bytes of row `in`, rounded.
template <std::size_t kSets, bool kBytes>
KS_BYTE_DOTS_INLINE WindowLanes<kBytes> RoundedWindow(const BYTE* in, const Window& w) {
    using namespace simd;
    const V512 first = Load512(in + w.start), second = Load512(in + w.start + w.second);
    if constexpr (kBytes) {
        V512 high = Zero512(), low = Zero512();
        for (std::size_t p = 0; p < kSets; ++p) {
            // A window of 64 bytes takes the permute of one register, which runs the faster (25 × 4000's
            // stretch a fifth faster than with the permute of two).
            const V512 order = Load512(w.order + 64 * p);
            const V512 columns = w.second == 0 ? PickBytes64(first, order) : PickBytes128(first, order, second);
            high = Add16(high, MulAddPairs8(columns, Load512(w.high + 64 * p)));
            low = Add16(low, MulAddPairs8(columns, Load512(w.low + 64 * p)));
        }
        return RoundedFromParts(high, low);
    } else {
        V512 high = Zero512(), low = Every32x16(kHalf);
        for (std::size_t p = 0; p < kSets; ++p) {
            const V512 columns = PickBytes128(first, Load512(w.order + 64 * p), second);
            high = AddDots(high, columns, Load512(w.high + 64 * p));
            low = AddDots(low, columns, Load512(w.low + 64 * p));
        }
        return TruncateTo16(ShiftRight32(FromPlanes(low, high), kWeightBits));
    }
}

// The sum of a window's rounded bytes over the rows listed from `row` to `end`, two rows a step in two
// sums, so that neither waits for the other's additions.
template <std::size_t kSets, bool kBytes>
KS_BYTE_DOTS_INLINE WindowLanes<kBytes> SumOfRoundedWindows(const HalftonePicture& rows, const Window& w,
                                                            const std::uint32_t* row, const std::uint32_t* end) {
    using namespace simd;
    WindowLanes<kBytes> sums[2] = {};
    for (; end - row >= 2; row += 2) {
        sums[0] = Add16(sums[0], RoundedWindow<kSets, kBytes>(RowOf(rows, row[0]), w));
        sums[1] = Add16(sums[1], RoundedWindow<kSets, kBytes>(RowOf(rows, row[1]), w));
    }
    if (row != end) sums[0] = Add16(sums[0], RoundedWindow<kSets, kBytes>(RowOf(rows, *row), w));
    return Add16(sums[0], sums[1]);
}

// The tail's destination bytes (the plan's `tail`) of four rows, rounded: row r's in lanes 8r to 8r + 7.
template <std::size_t kSets>
KS_BYTE_DOTS_INLINE simd::V512 RoundedTails(const BYTE* const (&in)[kTailRows], const WindowPlan& plan) {
    using namespace simd;
    const std::size_t at = plan.tail_start;
    const V512 first = Join(Load256(in[0] + at), Load256(in[1] + at));
    const V512 second = Join(Load256(in[2] + at), Load256(in[3] + at));
    V512 high = Zero512(), low = Zero512();
    for (std::size_t p = 0; p < kSets; ++p) {
        const V512 columns = PickBytes128(first, Load512(&plan.tail_order[64 * p]), second);
        high = Add16(high, MulAddPairs8(columns, Load512(&plan.tail_high[64 * p])));
        low = Add16(low, MulAddPairs8(columns, Load512(&plan.tail_low[64 * p])));
    }
    return RoundedFromParts(high, low);
}

// The sum of the tail's rounded bytes over the rows listed from `row` to `end`: four rows a step, a last
// step of fewer repeating its first row in the lanes it then drops.
template <std::size_t kSets>
KS_BYTE_DOTS_INLINE simd::V128 SumOfRoundedTails(const HalftonePicture& rows, const WindowPlan& plan,
                                                 const std::uint32_t* row, const std::uint32_t* end) {
    using namespace simd;
    V512 sum = Zero512();
    for (; row != end;) {
        const auto count = static_cast<std::uint32_t>(std::min<std::ptrdiff_t>(end - row, kTailRows));
        const BYTE* in[kTailRows];
        for (std::uint32_t r = 0; r < kTailRows; ++r) in[r] = RowOf(rows, row[r < count ? r : 0]);
        sum = Add16(sum, KeepFirst16(RoundedTails<kSets>(in, plan), kMostTailOutputs * count));
        row += count;
    }
    const V256 half = Add16(LowHalf(sum), HighHalf(sum));
    return Add16(LowHalf(half), HighHalf(half));
}

// The tail's sums for destination row i, whose rows are `rows`, at `sums`.
template <std::size_t kSets>
KS_BYTE_DOTS_INLINE void SumsDownOfTail(const HalftonePicture& rows, std::int64_t last, const WindowPlan& plan,
                                        const DownSums& d, std::size_t i, std::int32_t* sums) {
    using namespace simd;
    const std::uint32_t* inner = d.inner.data();
    const BYTE* edges[kTailRows] = {RowOf(rows, 0), RowOf(rows, last), RowOf(rows, 0), RowOf(rows, last)};
    const V256 both = LowHalf(RoundedTails<kSets>(edges, plan));
    const V128 top = LowHalf(both), bottom = HighHalf(both);
    const V128 heavier = SumOfRoundedTails<kSets>(rows, plan, inner + d.inner_at[i], inner + d.lighter_at[i]);
    const V128 all = Add16(Add16(Add16(top, bottom), heavier),
                           SumOfRoundedTails<kSets>(rows, plan, inner + d.lighter_at[i], inner + d.inner_at[i + 1]));
    V256 low, high;  // destination bytes 0-3 in the first half of `low`, 4-7 in that of `high`
    Combined(Join(all, Zero128()), Join(heavier, Zero128()), Every32x8(d.bias[i]), Every32x8(Pair16(d.base, 1)),
             Join(top, Zero128()), Join(bottom, Zero128()), Every32x8(d.edges[i]), Every32x8(d.constant[i]), &low,
             &high);
    std::int32_t made[kMostTailOutputs];
    Store128(made, LowHalf(low));
    Store128(made + 4, LowHalf(high));
    std::memcpy(sums + plan.tail_at, made, plan.tail * sizeof made[0]);
}

template <std::size_t kSets, bool kBytes>
KS_BYTE_DOTS void SumsDownWindowedOf(const HalftonePicture& source, const WindowPlan& plan, const AxisWeights& down,
                                     const DownSums& d, std::int64_t width, Sums* out) {
    using namespace simd;
    out->Reset(width, static_cast<std::int64_t>(down.first.size()));
    const std::uint32_t* inner = d.inner.data();
    for (std::size_t i = 0; i < down.first.size(); ++i) {
        const std::int64_t first = down.first[i], last = first + down.count[i] - 1;
        std::int32_t* sums = out->Row(static_cast<std::int64_t>(i));
        HalftonePicture rows = RowsFrom(source, first);  // the destination row's rows
        for (std::size_t k = 0; k < plan.at.size(); ++k) {
            const Window w = WindowOf<kSets>(plan, k);
            using Lanes = WindowLanes<kBytes>;
            const Lanes top = RoundedWindow<kSets, kBytes>(RowOf(rows, 0), w);
            const Lanes bottom = RoundedWindow<kSets, kBytes>(RowOf(rows, last - first), w);
            const Lanes heavier =
                SumOfRoundedWindows<kSets, kBytes>(rows, w, inner + d.inner_at[i], inner + d.lighter_at[i]);
            const Lanes all =
                Add16(Add16(Add16(top, bottom), heavier),
                      SumOfRoundedWindows<kSets, kBytes>(rows, w, inner + d.lighter_at[i], inner + d.inner_at[i + 1]));
            // Each half's destination bytes 0-3 and 8-11 in `low`, 4-7 and 12-15 in `high`; those past
            // the window's not kept.
            std::int32_t made[kMostByteWindowOutputs];
            for (std::size_t half = 0; half < (kBytes ? 2 : 1); ++half) {
                V256 low, high;
                Combined(HalfOf(all, half), HalfOf(heavier, half), Every32x8(d.bias[i]), Every32x8(Pair16(d.base, 1)),
                         HalfOf(top, half), HalfOf(bottom, half), Every32x8(d.edges[i]), Every32x8(d.constant[i]), &low,
                         &high);
                std::int32_t* const to = made + 16 * half;
                Store128(to, LowHalf(low));
                Store128(to + 4, LowHalf(high));
                Store128(to + 8, HighHalf(low));
                Store128(to + 12, HighHalf(high));
            }
            std::memcpy(sums + plan.at[k], made, plan.lane * sizeof made[0]);
        }
        if constexpr (kBytes) {
            if (plan.tail != 0) SumsDownOfTail<kSets>(rows, last - first, plan, d, i, sums);
        }
    }
}

void SumsDownWindowed(const HalftonePicture& source, const WindowPlan& plan, const AxisWeights& down, const DownSums& d,
                      std::int64_t width, Sums* out) {
    static_assert(kMostGatheredColumns == 4 && kMostWindowColumns == 16);
    if (plan.bytes) {
        switch (plan.sets) {
        case 1: SumsDownWindowedOf<1, true>(source, plan, down, d, width, out); break;
        case 2: SumsDownWindowedOf<2, true>(source, plan, down, d, width, out); break;
        }
        return;
    }
    switch (plan.sets) {
    case 1: SumsDownWindowedOf<1, false>(source, plan, down, d, width, out); break;
    case 2: SumsDownWindowedOf<2, false>(source, plan, down, d, width, out); break;
    case 3: SumsDownWindowedOf<3, false>(source, plan, down, d, width, out); break;
    case 4: SumsDownWindowedOf<4, false>(source, plan, down, d, width, out); break;
    }
}

// ---------------------------------------------------------------------------------------------------
// Sources many times wider than the destination, where the processor has the dot products of bytes: a
// destination pixel's columns are taken sixteen at a time from one load of its row, its three channels
// picked apart into three quarters of a register, and their products by the columns' weights added four
// to a 32-bit lane; the quarters' sums are the pixel's X. Weights below 128 are one signed byte each;
// larger ones (sources less than 65 times as wide, so at most 66 columns a pixel) split as
// 128 · high + low, two dot products a load, whose sums stay below 2^22. The sums are exact (X < 2^21),
// for any weights. Four rows are taken at once, with the same weights, so that four chains of additions
// run side by side rather than each waiting for the one before, and their sums are reduced and stored
// together.
// ---------------------------------------------------------------------------------------------------

constexpr std::size_t kDotColumns = 16;  // columns a load: 48 bytes of a 24-bit row, 64 of a 32-bit one
constexpr std::size_t kDotRows = 4;
// Below this many columns a destination pixel (of 24-bit rows; of 32-bit ones) the windows or the turning
// take the rows. Measured against the turning, the stretch alone: 24-bit sources of 17 to 23 columns a
// pixel 7 to 18 % slower dotted where their rows are summed down as they are turned (500 × 1000,
// 450 × 300, 380 × 2000), 13 to 14 columns 50 to 60 % slower (300 × 30), 27 columns 16 % faster
// (640 × 480); 32-bit ones of 16 to 23 columns 3 to 38 % faster (their turning turns every pixel's
// fourth byte too), but 13 to 14 columns 50 % slower.
constexpr std::uint32_t kFewestDotColumns = 24, kFewestDotColumns32 = 16;

struct DotPlan {
    std::size_t planes = 0;            // 1 or 2 (see above); 0 where the rows are not taken this way
    std::size_t stride = 0;            // bytes from one load of a pixel's columns to the next
    std::vector<std::uint32_t> start;  // per destination pixel: where its first column's bytes start
    std::vector<std::uint32_t> loads;  // per destination pixel: its loads
    // Per destination pixel: its loads that lie wholly within the row (the others are read as far as the
    // row goes, and no further).
    std::vector<std::uint32_t> whole;
    std::vector<std::uint32_t> at;  // per destination pixel: its first load's weights, counted in loads
    // Per load and plane, 64 bytes: the weights of its sixteen columns (0 past the pixel's) in each of
    // the first three quarters, the fourth 0.
    std::vector<std::int8_t> weights;
    std::int8_t order[64] = {};  // where a load's blue, green and red bytes go: quarters 0, 1 and 2
};

// False where a destination pixel has fewer than kFewestDotColumns columns (kFewestDotColumns32).
bool PlanDots(const AxisWeights& across, std::size_t step, std::size_t width, DotPlan* plan) {
    const std::uint32_t fewest = step == 4 ? kFewestDotColumns32 : kFewestDotColumns;
    if (*std::min_element(across.count.begin(), across.count.end()) < fewest) return false;
    DotPlan d;
    d.planes = DotPlanes(across.weights);
    d.stride = kDotColumns * step;
    const std::size_t row_bytes = width * step;
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t q = 0; q < kDotColumns; ++q) d.order[16 * c + q] = static_cast<std::int8_t>(step * q + c);
    }
    std::size_t loads = 0;
    for (std::size_t j = 0; j < across.first.size(); ++j) {
        const std::size_t start = across.first[j] * step, n = (across.count[j] + kDotColumns - 1) / kDotColumns;
        std::size_t whole = 0;
        while (whole < n && start + whole * d.stride + 64 <= row_bytes) ++whole;
        d.start.push_back(static_cast<std::uint32_t>(start));
        d.loads.push_back(static_cast<std::uint32_t>(n));
        d.whole.push_back(static_cast<std::uint32_t>(whole));
        d.at.push_back(static_cast<std::uint32_t>(loads));
        loads += n;
    }
    d.weights.assign(loads * d.planes * 64, 0);
    for (std::size_t j = 0; j < across.first.size(); ++j) {
        const std::int32_t* w = &across.weights[across.offset[j]];
        for (std::uint32_t t = 0; t < across.count[j]; ++t) {
            std::int8_t* load = &d.weights[64 * d.planes * (d.at[j] + t / kDotColumns)];
            for (std::size_t p = 0; p < d.planes; ++p) {
                for (std::size_t c = 0; c < 3; ++c) load[64 * p + 16 * c + t % kDotColumns] = DotPart(w[t], p);
            }
        }
    }
    *plan = std::move(d);
    return true;
}

// One load of each of the four rows (read no further than the row where not `whole`), its products by
// the weights added.
template <std::size_t kPlanes, bool kWhole>
KS_BYTE_DOTS_INLINE void AddDotsOfLoad(const BYTE* const* rows, std::size_t at, std::size_t row_bytes, simd::V512 order,
                                       const std::int8_t* weights, simd::V512 (&sums)[kDotRows][kPlanes]) {
    using namespace simd;
    V512 bytes[kDotRows];
    for (std::size_t r = 0; r < kDotRows; ++r) {
        // The fourth quarter's weights are 0.
        bytes[r] = PickBytes64(kWhole ? Load512(rows[r] + at) : LoadFirst512(rows[r] + at, row_bytes - at), order);
    }
    for (std::size_t p = 0; p < kPlanes; ++p) {
        const V512 w = Load512(weights + 64 * p);
        for (std::size_t r = 0; r < kDotRows; ++r) sums[r][p] = AddDots(sums[r][p], bytes[r], w);
    }
}

// The four rows' X of destination pixel j side by side: lane r of quarter c is row r's channel c.
template <std::size_t kPlanes>
KS_BYTE_DOTS_INLINE simd::V512 DotsOfPixel(const BYTE* const* rows, std::size_t row_bytes, const DotPlan& plan,
                                           std::size_t j) {
    using namespace simd;
    const V512 order = Load512(plan.order);
    V512 sums[kDotRows][kPlanes];
    for (std::size_t r = 0; r < kDotRows; ++r) {
        for (std::size_t p = 0; p < kPlanes; ++p) sums[r][p] = Zero512();
    }
    const std::int8_t* weights = &plan.weights[64 * kPlanes * plan.at[j]];
    const std::size_t whole = plan.whole[j], loads = plan.loads[j], stride = plan.stride;
    std::size_t at = plan.start[j], k = 0;
    for (; k < whole; ++k, at += stride, weights += 64 * kPlanes) {
        AddDotsOfLoad<kPlanes, true>(rows, at, row_bytes, order, weights, sums);
    }
    for (; k < loads; ++k, at += stride, weights += 64 * kPlanes) {
        AddDotsOfLoad<kPlanes, false>(rows, at, row_bytes, order, weights, sums);
    }
    V512 x[kDotRows];
    for (std::size_t r = 0; r < kDotRows; ++r) {
        x[r] = kPlanes == 1 ? sums[r][0] : FromPlanes(sums[r][0], sums[r][kPlanes - 1]);
    }
    // Each quarter's four lanes summed, the four rows side by side.
    const V512 ab = Add32(InterleaveLow32(x[0], x[1]), InterleaveHigh32(x[0], x[1]));
    const V512 cd = Add32(InterleaveLow32(x[2], x[3]), InterleaveHigh32(x[2], x[3]));
    return Add32(InterleaveLow64(ab, cd), InterleaveHigh64(ab, cd));
}

// The X of destination pixel j in `count` rows (DotsOfPixel), rounded to bytes at `rounded` or as they are
// at `sums`, a row `stride` numbers from the one before.
KS_BYTE_DOTS_INLINE void StoreDots(simd::V512 x, std::size_t count, BYTE* rounded, std::int32_t* sums,
                                   std::size_t stride) {
    using namespace simd;
    // Row r's three channels into lanes 4r to 4r + 2: bytes, or 32-bit lanes.
    alignas(64) static constexpr std::int8_t kBytesByRow[64] = {0, 16, 32, 0, 4, 20, 36, 0, 8, 24, 40, 0, 12, 28, 44};
    alignas(64) static constexpr std::int32_t kLanesByRow[16] = {0, 4, 8, 0, 1, 5, 9, 0, 2, 6, 10, 0, 3, 7, 11};
    if (rounded != nullptr) {
        const V128 bytes =
            LowHalf(LowHalf(PickBytes64(ShiftRight32(Add32(x, Every32x16(kHalf)), kWeightBits), Load512(kBytesByRow))));
        StoreThreeBytesOfLane<0>(rounded, bytes);
        if (count > 1) StoreThreeBytesOfLane<1>(rounded + stride, bytes);
        if (count > 2) StoreThreeBytesOfLane<2>(rounded + 2 * stride, bytes);
        if (count > 3) StoreThreeBytesOfLane<3>(rounded + 3 * stride, bytes);
    } else {
        const V512 lanes = PickLanes32(x, Load512(kLanesByRow));
        StoreThreeLanesOfQuarter<0>(sums, lanes);
        if (count > 1) StoreThreeLanesOfQuarter<1>(sums + stride, lanes);
        if (count > 2) StoreThreeLanesOfQuarter<2>(sums + 2 * stride, lanes);
        if (count > 3) StoreThreeLanesOfQuarter<3>(sums + 3 * stride, lanes);
    }
}
static_assert(kDotRows == 4, "StoreDots stores four rows");

// Every row of `source` averaged across: rounded to bytes into `rounded`, or unrounded into `sums`, each
// a row of three numbers a destination pixel per source row.
template <std::size_t kPlanes>
KS_BYTE_DOTS void RowsDottedOf(const HalftonePicture& source, const DotPlan& plan, BYTE* rounded, std::int32_t* sums) {
    const std::size_t row_bytes = static_cast<std::size_t>(source.width) * source.step, pixels = plan.start.size();
    const std::size_t stride = 3 * pixels;
    for (std::int64_t y = 0; y < source.height; y += kDotRows) {
        const std::size_t count = std::min<std::size_t>(kDotRows, static_cast<std::size_t>(source.height - y));
        const BYTE* in[kDotRows];  // the rows past the picture's last one the last again
        for (std::size_t r = 0; r < kDotRows; ++r)
            in[r] = RowOf(source, y + static_cast<std::int64_t>(std::min(r, count - 1)));
        const std::size_t first = static_cast<std::size_t>(y) * stride;
        for (std::size_t j = 0; j < pixels; ++j) {
            StoreDots(DotsOfPixel<kPlanes>(in, row_bytes, plan, j), count,
                      rounded != nullptr ? rounded + first + 3 * j : nullptr,
                      sums != nullptr ? sums + first + 3 * j : nullptr, stride);
        }
    }
}

void RowsDotted(const HalftonePicture& source, const DotPlan& plan, BYTE* rounded, std::int32_t* sums) {
    if (plan.planes == 1) {
        RowsDottedOf<1>(source, plan, rounded, sums);
    } else {
        RowsDottedOf<2>(source, plan, rounded, sums);
    }
}

// The rows averaged across and not rounded (X, for a shrink of that axis alone), from the same columns
// and sums: what the rounding adds is taken off again. Compiled twice, as the rounded rows are.
KS_AVX2_INLINE void SumsAcrossTurned(const HalftonePicture& source, const AcrossPlan& plan,
                                     std::vector<BYTE>* column_memory, Sums* out) {
    const auto outputs = static_cast<std::size_t>(plan.count.size());
    out->Reset(static_cast<std::int64_t>(outputs / 3), source.height);
    BYTE* const columns = ColumnMemory(source, plan, column_memory);
    const simd::V256 half = simd::Every32x8(kHalf);
    const PlanArrays arrays = ArraysOf(plan);
    for (std::int64_t y0 = 0; y0 < source.height; y0 += kBlockRows) {
        TurnBlock(source, y0, columns);
        const std::int64_t rows = std::min<std::int64_t>(kBlockRows, source.height - y0);
        for (std::size_t o = 0; o < outputs; ++o) {
            simd::V256 low, high;
            ColumnSums(arrays, o, columns, &low, &high);
            alignas(32) std::int32_t x[kBlockRows];  // rows 0-3, 8-11, then 4-7, 12-15
            simd::Store256(x, simd::Subtract32(low, half));
            simd::Store256(x + 8, simd::Subtract32(high, half));
            for (std::int64_t r = 0; r < rows; ++r) out->Row(y0 + r)[o] = x[r % 4 + (r / 4 % 2) * 8 + r / 8 * 4];
        }
    }
}

KS_AVX2 void SumsAcrossFast(const HalftonePicture& source, const AcrossPlan& plan, std::vector<BYTE>* column_memory,
                            Sums* out) {
    SumsAcrossTurned(source, plan, column_memory, out);
}

// The same, where the processor has AVX-512's registers.
KS_AVX2_WIDE void SumsAcrossWide(const HalftonePicture& source, const AcrossPlan& plan,
                                 std::vector<BYTE>* column_memory, Sums* out) {
    SumsAcrossTurned(source, plan, column_memory, out);
}

// Sources exactly twice as wide as the destination, as the search's own picture is: every destination
// pixel takes two source pixels of weight 4096, so X = 4096 · (a + b) and (X + 4096) >> 13 is the
// rounded mean (a + b + 1) >> 1 of two bytes, which vectors take sixteen at a time. Each step means
// every byte of sixteen with the byte a pixel on, and keeps the first pixel of each pair: three pairs of
// 24-bit pixels, or two of 32-bit ones. Near the end of a row a step's sixteen bytes would reach past
// the row's, so the last steps go through a buffer, the very last reading the sixteen bytes that end the
// row (a byte later for 24-bit pixels, four for 32-bit ones, than its pairs begin). Rows shorter than
// that go one byte at a time.
KS_AVX2 void RoundedRowsHalved(const HalftonePicture& source, const HalftonePicture& rows) {
    using namespace simd;
    const std::size_t step = source.step, row_bytes = static_cast<std::size_t>(source.width) * step;
    const std::size_t out_bytes = static_cast<std::size_t>(rows.width) * 3;
    const std::size_t pairs = step == 3 ? 3 : 2, in_advance = 2 * step * pairs, out_advance = 3 * pairs;
    static constexpr std::int8_t kKeep24[16] = {0, 1, 2, 6, 7, 8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1};
    static constexpr std::int8_t kKeep32[16] = {0, 1, 2, 8, 9, 10, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    static constexpr std::int8_t kLastKeep24[16] = {1, 2, 3, 7, 8, 9, 13, 14, 15, -1, -1, -1, -1, -1, -1, -1};
    static constexpr std::int8_t kLastKeep32[16] = {4, 5, 6, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    const V128 keep = Load128(step == 3 ? kKeep24 : kKeep32);
    const V128 last_keep = Load128(step == 3 ? kLastKeep24 : kLastKeep32);
    const bool windows = row_bytes >= step + 16;
    const std::size_t last_window = windows ? row_bytes - step - 16 : 0;
    for (std::int64_t y = 0; y < source.height; ++y) {
        const BYTE* in = RowOf(source, y);
        BYTE* out = PixelOf(rows, 0, y);
        std::size_t i = 0, o = 0;
        for (; i + step + 16 <= row_bytes && o + 16 <= out_bytes; i += in_advance, o += out_advance) {
            Store128(out + o, PickBytes(Mean8(Load128(in + i), Load128(in + i + step)), keep));
        }
        for (; windows && o < out_bytes; i += in_advance, o += out_advance) {
            const bool last = o + out_advance >= out_bytes;
            const std::size_t at = last ? last_window : i;
            alignas(16) BYTE made[16];
            Store128(made, PickBytes(Mean8(Load128(in + at), Load128(in + at + step)), last ? last_keep : keep));
            BYTE* to = out + (last ? out_bytes - out_advance : o);
            if (step == 3) {  // sizes the compiler knows, so that the copies are plain moves, not calls
                std::memcpy(to, made, 9);
            } else {
                std::memcpy(to, made, 6);
            }
        }
        for (; o < out_bytes; o += 3, i += 2 * step) {
            for (std::size_t c = 0; c < 3; ++c) out[o + c] = static_cast<BYTE>((in[i + c] + in[i + step + c] + 1) >> 1);
        }
    }
}

// The rows averaged down (V above, 32-bit sums), sixteen bytes of every row at a time: two rows' bytes
// interleaved and widened to 16 bits, so that one multiply-add of pairs takes both rows' products and
// adds them. Products and sums stay below 2^31 as in the definition. Sixteen bytes of 32-bit pixels are
// four pixels, whose fourth bytes are dropped first: twelve sums a step. A last group that would reach
// past the rows overlaps the one before instead; rows too short for one group go the plain way.
KS_AVX2 void SumsDownFast(const HalftonePicture& source, const AxisWeights& down, Sums* out) {
    using namespace simd;
    const auto n = static_cast<std::size_t>(source.width) * 3;
    const bool packed = source.step == 3;
    const std::size_t group = packed ? 16 : 12;  // sums a step
    if (n < 16) {
        SumsDown(source, down, out);
        return;
    }
    const V128 drop_fourth = Load128(kDropFourth);
    out->ResetToOverwrite(source.width, static_cast<std::int64_t>(down.first.size()));
    for (std::int64_t i = 0; i < out->height; ++i) {
        const std::int32_t* w = &down.weights[down.offset[i]];
        const std::uint32_t count = down.count[i];
        const BYTE* first = RowOf(source, down.first[i]);
        std::int32_t* sums = out->Row(i);
        for (std::size_t b = 0; b < n; b += group) {
            const std::size_t at = std::min(b, n - group);
            V256 low = Zero256(), high = Zero256();
            const BYTE* row = first + (packed ? at : at / 3 * 4);
            for (std::uint32_t t = 0; t < count; t += 2, row += 2 * source.pitch) {
                const bool pair = t + 1 < count;  // an odd last row is paired with zeros
                const V128 a = ChannelBytes(row, packed, drop_fourth);
                const V128 c = pair ? ChannelBytes(row + source.pitch, packed, drop_fourth) : Zero128();
                const V256 both = Every32x8(Pair16(w[t], pair ? w[t + 1] : 0));
                low = Add32(low, MulAddPairs16(BytesTo16(InterleaveLow8(a, c)), both));
                high = Add32(high, MulAddPairs16(BytesTo16(InterleaveHigh8(a, c)), both));
            }
            Store256(sums + at, low);
            if (packed) {
                Store256(sums + at + 8, high);
            } else {
                Store128(sums + at + 8, LowHalf(high));
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// The sums down of narrow rows, where the processor has the dot products of bytes: four rows' bytes
// interleaved so that each 32-bit lane holds a byte of the same column from each, and one dot product by
// the four rows' weights adds their products. Four rows' 64 bytes take four loads, eight interleaves and
// four dot products a plane, where the multiply-adds of pairs above take about six times as many (two
// rows' 16 bytes at a time, widened first). The weights split as the rows' dots split theirs: one plane
// where all are below 128, the sums X < 2^21; else 128 · high + low, from sources less than 65 times as
// tall as the destination, so at most 66 rows a destination row and the low parts' sums below 2^22. The
// sums are exact.
// ---------------------------------------------------------------------------------------------------

struct DownDots {
    std::size_t planes = 0;             // 1 or 2; 0 where the sums down are not taken this way
    std::vector<std::uint32_t> at;      // per destination row: its first four rows' place in `weights`
    std::vector<std::int32_t> weights;  // per four rows and plane: their weights' parts, a byte each
};

DownDots PlanDownDots(const AxisWeights& down) {
    DownDots d;
    d.planes = DotPlanes(down.weights);
    for (std::size_t i = 0; i < down.first.size(); ++i) {
        const std::int32_t* w = &down.weights[down.offset[i]];
        d.at.push_back(static_cast<std::uint32_t>(d.weights.size()));
        for (std::uint32_t t = 0; t < down.count[i]; t += kDotRows) {
            for (std::size_t p = 0; p < d.planes; ++p) {
                std::uint32_t four = 0;  // rows past the destination row's last weigh 0
                for (std::uint32_t r = 0; r < kDotRows && t + r < down.count[i]; ++r)
                    four |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(DotPart(w[t + r], p))) << (8 * r);
                d.weights.push_back(static_cast<std::int32_t>(four));
            }
        }
    }
    return d;
}

// The sums of bytes `at` to `at` + 63 (no further than `row_bytes` where not kWhole) of the first `count`
// of `rows`, weighed by `weights`: byte 16q + 4k + m's in lane 4q + m of x[k].
template <std::size_t kPlanes, bool kWhole>
KS_BYTE_DOTS_INLINE void DottedDown(const HalftonePicture& rows, std::uint32_t count, const std::int32_t* weights,
                                    std::size_t at, std::size_t row_bytes, simd::V512 (&x)[4]) {
    using namespace simd;
    V512 sums[kPlanes][4];
    for (std::size_t p = 0; p < kPlanes; ++p) {
        for (std::size_t q = 0; q < 4; ++q) sums[p][q] = Zero512();
    }
    for (std::uint32_t t = 0; t < count; t += kDotRows, weights += kPlanes) {
        V512 r[kDotRows];  // the rows past the last the last again
        for (std::uint32_t k = 0; k < kDotRows; ++k) {
            const BYTE* row = RowOf(rows, std::min(t + k, count - 1)) + at;
            r[k] = kWhole ? Load512(row) : LoadFirst512(row, row_bytes - at);
        }
        // Lane 4q + m of four[k]: byte 16q + 4k + m of each row, one after another.
        const V512 low01 = InterleaveLow8(r[0], r[1]), high01 = InterleaveHigh8(r[0], r[1]);
        const V512 low23 = InterleaveLow8(r[2], r[3]), high23 = InterleaveHigh8(r[2], r[3]);
        const V512 four[4] = {InterleaveLow16(low01, low23), InterleaveHigh16(low01, low23),
                              InterleaveLow16(high01, high23), InterleaveHigh16(high01, high23)};
        for (std::size_t p = 0; p < kPlanes; ++p) {
            const V512 w = Every32x16(weights[p]);
            for (std::size_t q = 0; q < 4; ++q) sums[p][q] = AddDots(sums[p][q], four[q], w);
        }
    }
    for (std::size_t q = 0; q < 4; ++q) {
        x[q] = kPlanes == 1 ? sums[0][q] : FromPlanes(sums[0][q], sums[kPlanes - 1][q]);
    }
}

template <std::size_t kPlanes>
KS_BYTE_DOTS void SumsDownDottedOf(const HalftonePicture& source, const AxisWeights& down, const DownDots& plan,
                                   Sums* out) {
    using namespace simd;
    // The three channels of 32-bit pixels' sums in order, the fourth bytes' dropped.
    alignas(64) static constexpr std::int32_t kChannels[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14};
    const V512 channels = Load512(kChannels);
    const bool packed = source.step == 3;
    const std::size_t row_bytes = static_cast<std::size_t>(source.width) * source.step;
    out->ResetToOverwrite(source.width, static_cast<std::int64_t>(down.first.size()));
    for (std::size_t i = 0; i < down.first.size(); ++i) {
        const HalftonePicture rows = RowsFrom(source, down.first[i]);
        const std::int32_t* weights = &plan.weights[plan.at[i]];
        std::int32_t* sums = out->Row(static_cast<std::int64_t>(i));
        // Rows of 64 bytes or more in steps of 64, a last that would pass the row's end overlapping the
        // one before (32-bit rows' steps stay whole pixels); shorter ones read as far as they go.
        for (std::size_t b = 0; b < row_bytes; b += 64) {
            const std::size_t at = row_bytes >= 64 ? std::min(b, row_bytes - 64) : 0;
            V512 x[4];
            if (row_bytes >= 64) {
                DottedDown<kPlanes, true>(rows, down.count[i], weights, at, row_bytes, x);
            } else {
                DottedDown<kPlanes, false>(rows, down.count[i], weights, at, row_bytes, x);
            }
            TransposeQuarters(x);  // x[k]: bytes 16k to 16k + 15
            for (std::size_t k = 0; k < 4 && at + 16 * k < row_bytes; ++k) {
                const std::size_t from = at + 16 * k, left = row_bytes - from;
                if (packed) {
                    StoreFirst32(sums + from, x[k], left);
                } else {
                    StoreFirst32(sums + from / 4 * 3, PickLanes32(x[k], channels), left / 4 * 3);
                }
            }
        }
    }
}

// The sums down of rows by dot products where planned, else by the multiply-adds of pairs.
void SumsDownOfRows(const HalftonePicture& source, const AxisWeights& down, const DownDots& plan, Sums* out) {
    switch (plan.planes) {
    case 1: SumsDownDottedOf<1>(source, down, plan, out); break;
    case 2: SumsDownDottedOf<2>(source, down, plan, out); break;
    default: SumsDownFast(source, down, out);
    }
}

// The cross, eight sums of a row a step: 12·V − the four neighbours is (3·V << 2) − (left + right) −
// (up + down), which stays below 2^31 as in the definition, shifted arithmetically, and saturated to bytes
// by the two narrowings. The first step of a row takes its left neighbours from its own lanes (0 1 2 0 1 2
// 3 4: the three bytes of the first pixel repeat themselves) and the last its right ones (3 4 5 6 7 5 6 7);
// a step before the last that would reach into the last pixel overlaps the one before it instead, so that
// every other step reads its neighbours where they lie. Rows of fewer than this many pixels go the plain
// way: a step that overlaps the one before it needs three sums of the row before its own.
constexpr std::int64_t kLeastCrossPixels = 7;
constexpr std::int32_t kFirstLeft[8] = {0, 1, 2, 0, 1, 2, 3, 4};
constexpr std::int32_t kLastRight[8] = {3, 4, 5, 6, 7, 5, 6, 7};
constexpr std::int32_t kLowBytesInOrder[8] = {0, 4, 0, 0, 0, 0, 0, 0};  // lanes 0 and 4 of the narrowed bytes

// Eight bytes of a row, at `at`, from their sums (`centre`), their left and right neighbours and the rows
// above and below.
KS_AVX2_INLINE void CrossStep(simd::V256 centre, simd::V256 left, simd::V256 right, const std::int32_t* up,
                              const std::int32_t* down, std::size_t at, simd::V256 in_order, BYTE* out) {
    using namespace simd;
    const V256 three = Add32(centre, Add32(centre, centre));
    const V256 sum =
        Subtract32(Subtract32(ShiftLeft32(three, 2), Add32(left, right)), Add32(Load256(up + at), Load256(down + at)));
    const V256 words = NarrowTo16(ShiftRightSigned32(sum, kCrossShift), Zero256());
    Store64(out + at, LowHalf(PickLanes32(NarrowToBytes(words, words), in_order)));
}

KS_AVX2 void SharpenCrossFast(const HalftonePicture& destination, Sums& v, std::vector<BYTE>* line) {
    using namespace simd;
    if (v.width < kLeastCrossPixels) {
        SharpenCross(destination, v, line);
        return;
    }
    const auto n = static_cast<std::size_t>(v.width) * 3;
    // The steps write only the row's own bytes, so rows of 24-bit pixels are written in place; others
    // go through a line.
    const bool in_place = destination.step == 3;
    if (!in_place) line->resize(n);
    const V256 first_left = Load256(kFirstLeft), last_right = Load256(kLastRight);
    const V256 in_order = Load256(kLowBytesInOrder);
    for (std::int64_t i = 0; i < v.height; ++i) {
        const std::int32_t* up = v.Row(std::max<std::int64_t>(i - 1, 0));
        const std::int32_t* row = v.Row(i);
        const std::int32_t* down = v.Row(std::min(i + 1, v.height - 1));
        BYTE* const out = in_place ? PixelOf(destination, 0, i) : line->data();
        const V256 first = Load256(row);
        CrossStep(first, PickLanes32(first, first_left), Load256(row + 3), up, down, 0, in_order, out);
        for (std::size_t b = 8; b + 8 < n; b += 8) {
            const std::size_t at = std::min(b, n - 16);
            CrossStep(Load256(row + at), Load256(row + at - 3), Load256(row + at + 3), up, down, at, in_order, out);
        }
        const V256 last = Load256(row + n - 8);
        CrossStep(last, Load256(row + n - 11), PickLanes32(last, last_right), up, down, n - 8, in_order, out);
        if (!in_place) StoreRow(destination, i, out);
    }
}

// The sharpening along one axis as it is, compiled for the wider vectors.
KS_AVX2 void SharpenAlongFast(const HalftonePicture& destination, Sums& a, bool across, std::vector<BYTE>* line) {
    SharpenAlong(destination, a, across, line);
}

#endif  // KS_FAST_PATHS

// ---------------------------------------------------------------------------------------------------

// What a shrink of both axes needs beside its pictures, kept from one call to the next: the weights and
// the fast path's plan depend only on the sizes, and the search stretches one size again and again.
// The stand-in serves one thread, like the platform's own objects it keeps.
struct ShrinkSetup {
    std::int64_t source_width = 0, source_height = 0, width = 0, height = 0;
    std::size_t step = 0;
    AxisWeights across, down;
#if KS_FAST_PATHS
    bool plannable = false;  // the fast path can take these sizes
    bool halved = false;     // the source is exactly twice as wide: its rows need no plan
    AcrossPlan plan;
    GatherPlan gather;
    WindowPlan windows;
    DotPlan dots;
    DownSums down_sums;
    TurnedDown turned_down;
    DownDots down_dots;
#endif
    // Working memory.
    OwnPicture rows;
    Sums sums;
    std::vector<BYTE> line, columns, results, packed_row;
    std::vector<std::int32_t> partial;
};

// The setup kept for `kept`'s sizes, made again when they change.
ShrinkSetup& SetupFor(ShrinkSetup& kept, const HalftonePicture& destination, const HalftonePicture& source) {
    if (kept.source_width != source.width || kept.source_height != source.height || kept.width != destination.width ||
        kept.height != destination.height || kept.step != source.step) {
        kept.source_width = source.width;
        kept.source_height = source.height;
        kept.width = destination.width;
        kept.height = destination.height;
        kept.step = source.step;
        kept.across = ShrinkWeights(source.width, destination.width);
        kept.down = ShrinkWeights(source.height, destination.height);
#if KS_FAST_PATHS
        kept.plan = AcrossPlan{};
        kept.plannable = PlanAcross(kept.across, source.width, destination.width, source.step, &kept.plan);
        kept.halved = source.width == 2 * destination.width;
        kept.gather = GatherPlan{};
        const auto width = static_cast<std::size_t>(source.width);
        const bool shrinks_down = source.height > destination.height;
        const DownSums down_sums =
            shrinks_down ? PlanDownSums(kept.down, source.height, destination.height) : DownSums{};
        // Windows where the rows can be summed down as they are made (they have no other use), else rows
        // gathered from sixteen bytes.
        kept.windows = WindowPlan{};
        const bool windowed = down_sums.fused && UseByteDots() &&
                              PlanWindows(kept.across, source.step, width * source.step, &kept.windows);
        const bool gathered = !windowed && PlanGather(kept.across, source.step, width * source.step, &kept.gather);
        if (!gathered && !windowed && source.step == 4) {
            kept.gather.packed = PlanGather(kept.across, 3, width * 3, &kept.gather);
        }
        kept.down_sums = gathered || windowed || kept.gather.packed ? down_sums : DownSums{};
        // Rows whose destination pixels each have many columns (kFewestDotColumns): dot products, else turned.
        kept.dots = DotPlan{};
        const bool dotted = UseByteDots() && PlanDots(kept.across, source.step, width, &kept.dots);
        const bool turned = kept.plannable && kept.gather.pairs == 0 && !kept.halved && !dotted;
        kept.turned_down = turned && shrinks_down ? PlanTurnedDown(kept.down, source.height) : TurnedDown{};
        // The dots take four rows at a time: destination rows of fewer leave them partly empty (the
        // sample's two rows each measured 10 % slower; 24 × 96, four rows each, 4 % faster, and 24 × 192
        // 13 to 19 %).
        const bool down_dotted = UseByteDots() && shrinks_down &&
                                 *std::min_element(kept.down.count.begin(), kept.down.count.end()) >= kDotRows;
        kept.down_dots = down_dotted ? PlanDownDots(kept.down) : DownDots{};
#endif
    }
    return kept;
}

// Both axes shrink: rows averaged across and rounded to bytes, then averaged down and kept with their
// fractional bits, then sharpened with the cross.
void ShrinkBoth(const HalftonePicture& destination, const HalftonePicture& source, bool fast) {
    static ShrinkSetup kept;
    ShrinkSetup& s = SetupFor(kept, destination, source);
#if KS_FAST_PATHS
    if (fast && s.gather.pairs != 0 && s.down_sums.fused) {  // no rounded rows kept between the passes
        SumsDownGathered(source, s.gather, s.down, s.down_sums, destination.width, &s.sums, &s.packed_row,
                         UseWideRegisters());
        SharpenCrossFast(destination, s.sums, &s.line);
        return;
    }
    if (fast && s.windows.sets != 0 && s.down_sums.fused) {  // nor here
        SumsDownWindowed(source, s.windows, s.down, s.down_sums, destination.width, &s.sums);
        SharpenCrossFast(destination, s.sums, &s.line);
        return;
    }
    if (fast && s.turned_down.fused) {  // nor here
        if (UseWideRegisters()) {
            SumsDownTurnedWide(source, s.plan, s.down, s.turned_down, destination.width, &s.sums, &s.columns,
                               &s.results, &s.partial);
        } else {
            SumsDownTurnedFast(source, s.plan, s.down, s.turned_down, destination.width, &s.sums, &s.columns,
                               &s.results, &s.partial);
        }
        SharpenCrossFast(destination, s.sums, &s.line);
        return;
    }
#endif
    s.rows.Reset(destination.width, source.height);
#if KS_FAST_PATHS
    if (fast && (s.halved || s.plannable || s.dots.planes != 0)) {
        if (s.halved) {
            RoundedRowsHalved(source, s.rows.picture);
        } else if (s.gather.pairs != 0) {
            RoundedRowsGathered(source, s.gather, s.rows.picture, &s.packed_row);
        } else if (s.dots.planes != 0) {
            RowsDotted(source, s.dots, s.rows.picture.top, nullptr);
        } else if (UseWideRegisters()) {
            RoundedRowsAcrossWide(source, s.plan, s.rows.picture, &s.columns, &s.results);
        } else {
            RoundedRowsAcrossFast(source, s.plan, s.rows.picture, &s.columns, &s.results);
        }
        SumsDownOfRows(s.rows.picture, s.down, s.down_dots, &s.sums);
        SharpenCrossFast(destination, s.sums, &s.line);
        return;
    }
#else
    (void)fast;
#endif
    // The plain way: the definition's three passes.
    RoundedRowsAcross(source, s.across, s.rows.picture);
    SumsDown(s.rows.picture, s.down, &s.sums);
    SharpenCross(destination, s.sums, &s.line);
}

void Stretch(const HalftonePicture& destination, const HalftonePicture& source, bool fast) {
    switch (HalftonePathOf(source.width, source.height, destination.width, destination.height)) {
    case HalftonePath::kCopy:  // replication with every index its own
    case HalftonePath::kReplicate: Replicate(destination, source); break;
    case HalftonePath::kShrinkBoth: ShrinkBoth(destination, source, fast); break;
    case HalftonePath::kShrinkOne: ShrinkOneAxis(destination, source, fast); break;
    case HalftonePath::kMixed: FilterWithEnlargement(destination, source, fast); break;
    }
}

}  // namespace

// Declared in halftone_parts.h, for the approximated case.
void ShrinkOneAxis(const HalftonePicture& destination, const HalftonePicture& source, bool fast) {
    // Kept apart from the shrink of both axes', so that a run stretching pictures of both kinds keeps
    // the setup of each.
    static ShrinkSetup kept;
    ShrinkSetup& s = SetupFor(kept, destination, source);
    const bool across = source.width > destination.width;
#if KS_FAST_PATHS
    if (fast && (s.plannable || s.dots.planes != 0 || !across)) {
        if (across && s.dots.planes != 0) {
            s.sums.Reset(destination.width, source.height);
            RowsDotted(source, s.dots, nullptr, s.sums.v.data());
        } else if (across) {
            if (UseWideRegisters()) {
                SumsAcrossWide(source, s.plan, &s.columns, &s.sums);
            } else {
                SumsAcrossFast(source, s.plan, &s.columns, &s.sums);
            }
        } else {
            SumsDownOfRows(source, s.down, s.down_dots, &s.sums);
        }
        SharpenAlongFast(destination, s.sums, across, &s.line);
        return;
    }
#else
    (void)fast;
#endif
    if (across) {
        SumsAcross(source, s.across, &s.sums);
    } else {
        SumsDown(source, s.down, &s.sums);
    }
    SharpenAlong(destination, s.sums, across, &s.line);
}

void HalftoneStretchPlain(const HalftonePicture& destination, const HalftonePicture& source) {
    Stretch(destination, source, false);
}

void HalftoneStretch(const HalftonePicture& destination, const HalftonePicture& source) {
#if KS_FAST_PATHS
    Stretch(destination, source, UseFastPaths());
#else
    Stretch(destination, source, false);
#endif
}
