// The stand-in for the GDI calls the program makes: DIB sections, memory contexts, row transfer, the
// halftone stretch and the few drawing calls of the grid pattern.
//
// Every object lives in one table keyed by its handle. Handle values count up and are never reused, so
// a handle that was released, or one of the wrong kind, is simply not found and the call fails the way
// the real one does (NULL, 0 or FALSE) instead of touching freed memory. The program is single-threaded
// and so is this table.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <emmintrin.h>
#include <memory>
#include <utility>
#include <vector>

#include "bmp_format.h"
#include "win32.h"
#include "win32_internal.h"

namespace {

constexpr int kDefaultStretchMode = 1;  // BLACKONWHITE, what a new context starts with
constexpr int kLastStretchMode = HALFTONE;

struct Surface {
    LONG width = 0;
    LONG rows = 0;
    bool top_down = false;
    unsigned bpp = 0;
    DWORD compression = BI_RGB;
    DWORD masks[4] = {0, 0, 0, 0};
    std::vector<RGBQUAD> colors;  // 2^bpp entries for depths of 8 or less, else none
    LONG stride = 0;
    StandInBlock block;  // the pixel memory: the rows start `bits` into it
    BYTE* bits = nullptr;
    HDC selected_into = nullptr;

    // Memory row of the picture row counted from the bottom, as the row transfer and the stretch count.
    BYTE* RowFromBottom(LONG b) const {
        const LONG memory_row = top_down ? rows - 1 - b : b;
        return bits + static_cast<std::size_t>(memory_row) * static_cast<std::size_t>(stride);
    }
};

struct Context {
    HGDIOBJ bitmap = nullptr;
    HGDIOBJ pen = nullptr;
    HGDIOBJ brush = nullptr;
    int stretch_mode = kDefaultStretchMode;
    POINT position = {0, 0};
};

enum class Kind { kBitmap, kContext, kPen, kBrush };

struct Object {
    Kind kind;
    bool stock = false;
    BYTE colour = 0;  // grey level of a stock pen or brush: they are all black or white
    Surface surface;
    Context context;
};

// The live objects, in the order of their handles: handles only grow, so a new one goes at the end and
// a lookup is a binary search. A program holds a handful of objects at a time, so this beats hashing,
// and an object released is taken out where it stands.
struct Entry {
    std::uintptr_t handle;
    std::unique_ptr<Object> object;
};

// Released objects kept for reuse, so that the many short-lived images and contexts of a search do
// not each cost an allocation; at most this many.
constexpr std::size_t kMostSpareObjects = 16;

struct Table {
    std::vector<Entry> objects;
    std::vector<std::unique_ptr<Object>> spare;  // reset to their initial state
    std::uintptr_t next = 0x1000;  // small values look like errors or stock indices in a debugger
    HGDIOBJ white_brush = nullptr;
    HGDIOBJ black_pen = nullptr;
    HGDIOBJ default_bitmap = nullptr;
};

Table& Objects() {
    static Table table;
    return table;
}

HGDIOBJ Add(std::unique_ptr<Object> object) {
    Table& t = Objects();
    const std::uintptr_t key = t.next++;
    t.objects.push_back(Entry{key, std::move(object)});
    return reinterpret_cast<HGDIOBJ>(key);
}

// A fresh object, from the spares when there are any.
std::unique_ptr<Object> NewObject() {
    Table& t = Objects();
    if (t.spare.empty()) return std::make_unique<Object>();
    std::unique_ptr<Object> o = std::move(t.spare.back());
    t.spare.pop_back();
    return o;
}

// Takes an entry out of the table, releasing what its object holds and keeping the object itself.
void Remove(std::vector<Entry>::iterator entry) {
    Table& t = Objects();
    std::unique_ptr<Object> o = std::move(entry->object);
    t.objects.erase(entry);
    *o = Object{};
    if (t.spare.size() < kMostSpareObjects) t.spare.push_back(std::move(o));
}

// The entry of a handle, or the end. Searched from the newest: the handles a caller is working with
// are mostly the ones it made last.
std::vector<Entry>::iterator Lookup(const void* handle) {
    std::vector<Entry>& objects = Objects().objects;
    const auto key = reinterpret_cast<std::uintptr_t>(handle);
    for (auto it = objects.end(); it != objects.begin();) {
        --it;
        if (it->handle <= key) return it->handle == key ? it : objects.end();
    }
    return objects.end();
}

Object* Find(const void* handle, Kind kind) {
    const auto it = Lookup(handle);
    if (it == Objects().objects.end() || it->object->kind != kind) return nullptr;
    return it->object.get();
}

Surface* FindSurface(const void* handle) {
    Object* o = Find(handle, Kind::kBitmap);
    return o != nullptr ? &o->surface : nullptr;
}

Context* FindContext(HDC dc) {
    Object* o = Find(dc, Kind::kContext);
    return o != nullptr ? &o->context : nullptr;
}

HGDIOBJ Stock(HGDIOBJ* slot, Kind kind, BYTE colour) {
    if (*slot == nullptr) {
        auto o = NewObject();
        o->kind = kind;
        o->stock = true;
        o->colour = colour;
        if (kind == Kind::kBitmap) {
            // A new context holds a 1 × 1 monochrome bitmap until the caller selects its own.
            o->surface.width = 1;
            o->surface.rows = 1;
            o->surface.bpp = 1;
            o->surface.stride = 4;
            o->surface.colors = {RGBQUAD{0, 0, 0, 0}, RGBQUAD{255, 255, 255, 0}};
            o->surface.block.reset(static_cast<BYTE*>(std::calloc(4, 1)));
            o->surface.bits = o->surface.block.get();
        }
        *slot = Add(std::move(o));
    }
    return *slot;
}

// Everything that makes a DIB section: the checks of its header, then its padded pixel rows, from
// `pixels` (a block given must hold `offset` plus every row).
HBITMAP MakeSurface(const BITMAPINFO* info, VOID** bits_out, StandInPixels pixels) {
    if (bits_out != nullptr) *bits_out = nullptr;
    if (info == nullptr) return nullptr;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    const unsigned bpp = h.biBitCount;
    const bool depth_known = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32;
    const bool compression_known =
        h.biCompression == BI_RGB || (h.biCompression == BI_BITFIELDS && (bpp == 16 || bpp == 32));
    if ((h.biSize != kInfoHeaderSize && h.biSize != 108 && h.biSize != 124) || h.biPlanes != 1 ||
        h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN || !depth_known || !compression_known ||
        (bpp <= 8 && h.biClrUsed > (DWORD{1} << bpp))) {
        return nullptr;
    }
    const std::uint64_t rows = h.biHeight < 0 ? -static_cast<std::int64_t>(h.biHeight) : h.biHeight;
    const std::uint64_t stride = BmpRowStride(static_cast<std::uint64_t>(h.biWidth), bpp);
    if (stride * rows > kMaxPixelBytes) return nullptr;

    auto o = NewObject();
    o->kind = Kind::kBitmap;
    Surface& s = o->surface;
    s.width = h.biWidth;
    s.rows = static_cast<LONG>(rows);
    s.top_down = h.biHeight < 0;
    s.bpp = bpp;
    s.compression = h.biCompression;
    s.stride = static_cast<LONG>(stride);
    const BYTE* after_header = reinterpret_cast<const BYTE*>(info) + h.biSize;
    if (bpp == 16 || bpp == 32) {
        if (h.biCompression == BI_BITFIELDS) {
            const BYTE* masks = reinterpret_cast<const BYTE*>(info) + kInfoHeaderSize;
            for (int c = 0; c < 3; ++c) s.masks[c] = ReadLe32(masks + 4 * c);
            if (!BmpMasksUsable(s.masks, bpp)) return nullptr;
        } else {
            s.masks[0] = bpp == 16 ? 0x7C00 : 0xFF0000;
            s.masks[1] = bpp == 16 ? 0x03E0 : 0x00FF00;
            s.masks[2] = bpp == 16 ? 0x001F : 0x0000FF;
        }
    }
    if (bpp <= 8) {
        s.colors.assign(std::size_t{1} << bpp, RGBQUAD{0, 0, 0, 0});
        const DWORD given = h.biClrUsed != 0 ? h.biClrUsed : DWORD{1} << bpp;
        std::memcpy(s.colors.data(), after_header, given * sizeof(RGBQUAD));
    }
    const auto bytes = static_cast<std::size_t>(stride * rows);
    if (pixels.block != nullptr) {
        s.block = std::move(pixels.block);
        s.bits = s.block.get() + pixels.offset;
    } else {
        s.block.reset(static_cast<BYTE*>(pixels.zeroed ? std::calloc(bytes, 1) : std::malloc(bytes)));
        if (s.block == nullptr) return nullptr;
        s.bits = s.block.get();
    }
    if (bits_out != nullptr) *bits_out = s.bits;
    return static_cast<HBITMAP>(Add(std::move(o)));
}

// A buffer in BMP row layout matches an image when it has the image's width, depth and pixel encoding.
bool LayoutMatches(const Surface& s, const BITMAPINFOHEADER& h, const BITMAPINFO* info) {
    if (h.biWidth != s.width || h.biBitCount != s.bpp || h.biHeight == 0) return false;
    if (s.bpp != 16 && s.bpp != 32) return h.biCompression == BI_RGB;
    if (h.biCompression == BI_BITFIELDS) {
        const BYTE* masks = reinterpret_cast<const BYTE*>(info) + kInfoHeaderSize;
        for (int c = 0; c < 3; ++c) {
            if (ReadLe32(masks + 4 * c) != s.masks[c]) return false;
        }
        return true;
    }
    const DWORD red = s.bpp == 16 ? 0x7C00 : 0xFF0000;
    return h.biCompression == BI_RGB && s.masks[0] == red;
}

// The stretch reads and writes pixels as blue, green, red bytes: 24-bit images, and 32-bit ones whose
// channel masks are the plain ones.
bool IsBlueGreenRed(const Surface& s) {
    return s.bpp == 24 || (s.bpp == 32 && s.masks[0] == 0xFF0000 && s.masks[1] == 0xFF00 && s.masks[2] == 0xFF);
}

// Copies rows between an image and a BMP-layout buffer; returns the number of rows copied.
int TransferRows(const Surface& s, UINT start, UINT lines, BYTE* buffer, bool buffer_top_down, bool into_image) {
    if (start >= static_cast<UINT>(s.rows)) return 0;
    const UINT count = std::min<UINT>(lines, static_cast<UINT>(s.rows) - start);
    const std::size_t stride = static_cast<std::size_t>(s.stride);
    for (UINT k = 0; k < count; ++k) {
        const LONG from_bottom =
            buffer_top_down ? s.rows - 1 - static_cast<LONG>(start + k) : static_cast<LONG>(start + k);
        BYTE* image_row = s.RowFromBottom(from_bottom);
        BYTE* buffer_row = buffer + k * stride;
        if (into_image) {
            std::memcpy(image_row, buffer_row, stride);
        } else {
            std::memcpy(buffer_row, image_row, stride);
        }
    }
    return static_cast<int>(count);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// The halftone stretch.
//
// An exact area average: destination pixel (j, i) covers the source area [j·sW/dW, (j+1)·sW/dW) ×
// [i·sH/dH, (i+1)·sH/dH), and its value is the mean of the source pixels weighted by how much of each
// lies in that area, rounded half up. Scaling every coordinate by dW (columns) or dH (rows) makes all
// overlaps whole numbers:
//   wx(j, x) = max(0, min((x+1)·dW, (j+1)·sW) − max(x·dW, j·sW)),  and likewise wy(i, y);
//   D(j, i) = ⌊(Σx Σy wx·wy·S(x, y) + ⌊sW·sH/2⌋) / (sW·sH)⌋.
// The weights of one destination column sum to sW and those of one row to sH, so the sum never exceeds
// 255·sW·sH < 2^64 and the whole computation is exact in 64-bit integers. Being exact, it can be done as
// two separable passes: each source row is first reduced across to the destination's columns, then the
// rows are combined down. Rows are taken in picture order, so the orientation of either image is
// irrelevant.
// ---------------------------------------------------------------------------------------------------
namespace {

// The source span and weights of every destination position along one axis, computed once per call.
struct AxisWeights {
    std::vector<std::uint32_t> first;   // first source index covering each destination index
    std::vector<std::uint32_t> count;   // how many source indices cover it
    std::vector<std::uint32_t> offset;  // where its weights start in `weights`
    std::vector<std::uint32_t> weights; // each at most min(source, destination) < 2^31
};

AxisWeights MakeAxisWeights(std::uint64_t source, std::uint64_t destination) {
    AxisWeights a;
    a.first.resize(destination);
    a.count.resize(destination);
    a.offset.resize(destination);
    a.weights.reserve(source + destination);
    for (std::uint64_t j = 0; j < destination; ++j) {
        const std::uint64_t lo = j * source;  // destination span, in units of 1/(source·destination)
        const std::uint64_t hi = (j + 1) * source;
        const std::uint64_t x_first = lo / destination;
        const std::uint64_t x_last = (hi - 1) / destination;
        a.first[j] = static_cast<std::uint32_t>(x_first);
        a.count[j] = static_cast<std::uint32_t>(x_last - x_first + 1);
        a.offset[j] = static_cast<std::uint32_t>(a.weights.size());
        for (std::uint64_t x = x_first; x <= x_last; ++x) {
            a.weights.push_back(
                static_cast<std::uint32_t>(std::min((x + 1) * destination, hi) - std::max(x * destination, lo)));
        }
    }
    return a;
}

__extension__ typedef unsigned __int128 Uint128;

// Floor division by a fixed divisor without a division per pixel: for d >= 2 and n·d <= 2^64,
// floor(n · ceil(2^64 / d) / 2^64) = floor(n / d) exactly. With ceil(2^64 / d) = (2^64 + e) / d,
// 0 <= e < d, the product over 2^64 is n/d + n·e/(d·2^64), and n·e < n·d <= 2^64 keeps the excess below
// 1/d, which never carries a quotient past the next whole number. The reciprocal fits 64 bits, and the
// product is one 64 × 64-bit multiplication; d = 1 divides by doing nothing. The stretch divides sums
// n <= 256·d by the source area, or by the pixels of a box, d < 2^27 (no image holds more pixels, see
// kMaxPixelBytes), so n·d < 2^62.
struct Divider {
    std::uint64_t reciprocal;
    bool one;
    explicit Divider(std::uint64_t d)
        : reciprocal(d < 2 ? 0 : static_cast<std::uint64_t>(((Uint128{1} << 64) + d - 1) / d)), one(d < 2) {}
    std::uint64_t operator()(std::uint64_t n) const {
        return one ? n : static_cast<std::uint64_t>((Uint128{n} * reciprocal) >> 64);
    }
};

// Sixteen or eight 16-bit lanes: one 256-bit register or one 128-bit one (two 128-bit ones stand in
// for the wider where the processor has no wider).
typedef std::uint16_t Lanes16 __attribute__((vector_size(32)));
typedef std::uint16_t Lanes8 __attribute__((vector_size(16)));

// Adds kRows rows of `2 × lanes` bytes from `b` on into the sums, as below.
template <int kRows, typename Lanes>
[[gnu::always_inline]] inline void AddPlainBlock(std::uint16_t* __restrict plain, const BYTE* const* rows, std::size_t b,
                                                 bool first) {
    constexpr std::size_t kLanes = sizeof(Lanes) / 2;
    Lanes whole = {}, odd = {};
    for (int k = 0; k < kRows; ++k) {
        Lanes v;
        std::memcpy(&v, rows[k] + b, sizeof v);
        whole += v;
        odd += v >> 8;
    }
    // Each lane read is e + 256·o for its even byte e and odd byte o, so `whole` holds Σe + 256·Σo
    // modulo 2^16, and Σe (at most kRows × 255, below 2^16) is what is left after taking 256·Σo away.
    static_assert(kRows * 255 < (1 << 16));
    const Lanes even = whole - (odd << 8);
    Lanes low, high;
    if constexpr (kLanes == 16) {
        low = __builtin_shufflevector(even, odd, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        high = __builtin_shufflevector(even, odd, 8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31);
    } else {
        low = __builtin_shufflevector(even, odd, 0, 8, 1, 9, 2, 10, 3, 11);
        high = __builtin_shufflevector(even, odd, 4, 12, 5, 13, 6, 14, 7, 15);
    }
    if (!first) {
        Lanes sum;
        std::memcpy(&sum, plain + b, sizeof sum);
        low += sum;
        std::memcpy(&sum, plain + b + kLanes, sizeof sum);
        high += sum;
    }
    std::memcpy(plain + b, &low, sizeof low);
    std::memcpy(plain + b + kLanes, &high, sizeof high);
}

// Adds kRows source rows, as plain bytes, into a row of 16-bit sums (or sets it, when `first`). Taking
// several rows per pass keeps the sums in registers instead of storing them after every row; a fixed
// count lets the compiler unroll the rows. Thirty-two bytes at a time (then sixteen), read as 16-bit
// lanes: the odd bytes (the high halves, shifted down) and the lanes as they are are summed, which
// needs no widening shuffle per read; the even bytes' sums follow from the two, and all are put back
// in byte order once per pass.
template <int kRows>
[[gnu::always_inline]] inline void AddPlainRows(std::uint16_t* __restrict plain, const BYTE* const* rows,
                                                std::size_t bytes, bool first) {
    std::size_t b = 0;
    for (; b + 32 <= bytes; b += 32) AddPlainBlock<kRows, Lanes16>(plain, rows, b, first);
    if (b + 16 <= bytes) {
        AddPlainBlock<kRows, Lanes8>(plain, rows, b, first);
        b += 16;
    }
    for (; b < bytes; ++b) {
        std::uint16_t sum = first ? 0 : plain[b];
        for (int k = 0; k < kRows; ++k) sum = static_cast<std::uint16_t>(sum + rows[k][b]);
        plain[b] = sum;
    }
}

// The most rows added in one pass.
constexpr int kRowsAtOnce = 8;

// Built twice, for processors with and without 256-bit integer vectors; the loader picks one at start.
__attribute__((target_clones("avx2", "default")))
void AddPlainRows(std::uint16_t* plain, const BYTE* const* rows, int count, std::size_t bytes, bool first) {
    switch (count) {
    case 8: AddPlainRows<8>(plain, rows, bytes, first); break;
    case 7: AddPlainRows<7>(plain, rows, bytes, first); break;
    case 6: AddPlainRows<6>(plain, rows, bytes, first); break;
    case 5: AddPlainRows<5>(plain, rows, bytes, first); break;
    case 4: AddPlainRows<4>(plain, rows, bytes, first); break;
    case 3: AddPlainRows<3>(plain, rows, bytes, first); break;
    case 2: AddPlainRows<2>(plain, rows, bytes, first); break;
    default: AddPlainRows<1>(plain, rows, bytes, first); break;
    }
}

// The weighted sum of one destination pixel's source columns, per colour byte, from a row of per-byte
// sums starting at its first column. Columns wholly inside the pixel all weigh `full` (dW): they are
// added plainly and weighted once; only the first and last column can weigh less.
template <typename Sum, typename Row>
void GatherColumns(const Row* p, std::size_t step, const AxisWeights& across, LONG j, Sum full, Sum total[3]) {
    const std::uint32_t count = across.count[j];
    const std::uint32_t* w = &across.weights[across.offset[j]];
    for (int c = 0; c < 3; ++c) total[c] = static_cast<Sum>(w[0] * Sum{p[c]});
    if (count == 1) return;
    Sum inner[3] = {0, 0, 0};
    const Row* q = p + step;
    for (std::uint32_t n = 1; n + 1 < count; ++n, q += step) {
        inner[0] += q[0];
        inner[1] += q[1];
        inner[2] += q[2];
    }
    for (int c = 0; c < 3; ++c) total[c] += full * inner[c] + w[count - 1] * Sum{q[c]};
}

// Up to this many full-weight rows are summed as plain bytes before the sum is weighted: 257 × 255
// still fits in 16 bits.
constexpr std::uint32_t kPlainRowsAtOnce = 257;

// The stretch proper. `Sum` holds a weighted sum: 32 bits when 255·sW·sH + sW·sH/2 fits in them (any
// picture up to about 16 million pixels), 64 bits otherwise. The source rows of each destination row are first combined down into one row of sums per
// byte, then each destination pixel gathers its columns from that row. Every source row that lies
// wholly inside a destination row has the same weight, dH, so those rows are added as plain bytes and
// weighted once; only the one or two rows cut by the destination row's edges are weighted one by one.
// All of it is integer arithmetic, so the grouping changes no result.
template <typename Sum>
void StretchRows(const Surface& dst, const Surface& src, const AxisWeights& across, const AxisWeights& down) {
    const std::uint64_t area = static_cast<std::uint64_t>(src.width) * static_cast<std::uint64_t>(src.rows);
    const Sum half = static_cast<Sum>(area / 2);
    const Sum full = static_cast<Sum>(dst.rows);   // weight of a source row wholly inside a destination row
    const Sum full_x = static_cast<Sum>(dst.width);  // and of such a column
    const Divider divide(area);
    const std::size_t src_step = src.bpp / 8, dst_step = dst.bpp / 8;
    const std::size_t row_bytes = static_cast<std::size_t>(src.width) * src_step;
    std::vector<Sum> column_sums(row_bytes);
    std::vector<std::uint16_t> plain_sums(row_bytes);
    // Source columns per destination column when the widths divide, else 0.
    const std::uint32_t whole_columns =
        src.width % dst.width == 0 ? static_cast<std::uint32_t>(src.width / dst.width) : 0;
    for (LONG i = 0; i < dst.rows; ++i) {
        Sum* sums = column_sums.data();
        std::uint16_t* plain = plain_sums.data();
        bool weighted = false;         // `sums` holds something
        std::uint32_t plain_rows = 0;  // rows in `plain` not yet weighted into `sums`
        const auto flush = [&] {
            if (weighted) {
                for (std::size_t b = 0; b < row_bytes; ++b) sums[b] += full * plain[b];
            } else {
                for (std::size_t b = 0; b < row_bytes; ++b) sums[b] = full * plain[b];
            }
            weighted = true;
            plain_rows = 0;
        };
        const BYTE* pending[kRowsAtOnce];  // whole rows waiting to be added plainly, several at a time
        int waiting = 0;
        const auto add_pending = [&] {
            AddPlainRows(plain, pending, waiting, row_bytes, plain_rows == 0);
            plain_rows += static_cast<std::uint32_t>(waiting);
            waiting = 0;
            if (plain_rows + kRowsAtOnce > kPlainRowsAtOnce) flush();
        };
        for (std::uint32_t k = 0; k < down.count[i]; ++k) {
            const Sum wy = down.weights[down.offset[i] + k];
            const BYTE* s_row = src.RowFromBottom(static_cast<LONG>(down.first[i] + k));
            if (wy == full) {
                pending[waiting++] = s_row;
                if (waiting == kRowsAtOnce) add_pending();
            } else if (weighted) {
                for (std::size_t b = 0; b < row_bytes; ++b) sums[b] += wy * s_row[b];
            } else {
                for (std::size_t b = 0; b < row_bytes; ++b) sums[b] = wy * s_row[b];
                weighted = true;
            }
        }
        if (waiting > 0) add_pending();

        // With every source row of this destination row whole (always so for whole-number ratios), the
        // plain sums serve directly and the row weight multiplies each pixel once at the end.
        const bool only_plain = !weighted;
        if (!only_plain && plain_rows > 0) flush();

        BYTE* d = dst.RowFromBottom(i);
        for (LONG j = 0; j < dst.width; ++j, d += dst_step) {
            Sum total[3];
            if (only_plain && whole_columns > 0) {
                // Whole-number ratios across too: every column of the box is whole and weighs dW.
                const std::uint16_t* q = plain + std::size_t{across.first[j]} * src_step;
                Sum box[3] = {0, 0, 0};
                for (std::uint32_t n = 0; n < whole_columns; ++n, q += src_step) {
                    box[0] += q[0];
                    box[1] += q[1];
                    box[2] += q[2];
                }
                for (int c = 0; c < 3; ++c) total[c] = box[c] * full_x * full;
            } else if (only_plain) {
                GatherColumns(plain + std::size_t{across.first[j]} * src_step, src_step, across, j, full_x, total);
                for (Sum& t : total) t *= full;
            } else {
                GatherColumns(sums + std::size_t{across.first[j]} * src_step, src_step, across, j, full_x, total);
            }
            for (int c = 0; c < 3; ++c) {
                d[c] = static_cast<BYTE>(divide(total[c] + half));
            }
        }
    }
}

// Sums each box of a row of 16-bit sums across, two source pixels per 8-lane read: the even columns of
// the box gather in lanes [0, kStep), the odd ones in [kStep, 2·kStep), folded together at the end; an
// odd last column is added after the fold. Each box's three sums go out as four lanes at 3·j, the
// fourth overwritten by the next box. kPairs is kx/2 when small enough to unroll (the common case),
// else 0.
template <std::size_t kStep, std::uint32_t kPairs>
void SumAcross(const std::uint16_t* plain, std::size_t width, std::uint32_t kx, std::uint16_t* boxes) {
    const std::uint32_t pairs = kPairs != 0 ? kPairs : kx / 2;
    const std::uint16_t* q = plain;
    for (std::size_t j = 0; j < width; ++j, q += kx * kStep) {
        __m128i sum = _mm_setzero_si128();
        for (std::uint32_t n = 0; n < pairs; ++n) {
            sum = _mm_add_epi16(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2 * n * kStep)));
        }
        sum = _mm_add_epi16(sum, _mm_srli_si128(sum, 2 * kStep));
        if (kx % 2 != 0) sum = _mm_add_epi16(sum, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q + (kx - 1) * kStep)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(boxes + 3 * j), sum);
    }
}

template <std::size_t kStep>
void SumAcross(const std::uint16_t* plain, std::size_t width, std::uint32_t kx, std::uint16_t* boxes) {
    switch (kx / 2) {
    case 1: SumAcross<kStep, 1>(plain, width, kx, boxes); break;
    case 2: SumAcross<kStep, 2>(plain, width, kx, boxes); break;
    case 3: SumAcross<kStep, 3>(plain, width, kx, boxes); break;
    case 4: SumAcross<kStep, 4>(plain, width, kx, boxes); break;
    default: SumAcross<kStep, 0>(plain, width, kx, boxes); break;
    }
}

// The most source pixels one destination pixel of the box path may cover: their plain sum must fit a
// 16-bit lane, and 257 × 255 < 2^16.
constexpr std::uint64_t kMostBoxPixels = 257;

// ⌊(box + ⌊K/2⌋) / K⌋ for the plain sum `box` of K source bytes, eight lanes at a time.
//
// When possible as a multiplication in 16-bit lanes: with M = ⌈2^(16+s)/K⌉ = (2^(16+s) + e)/K,
// 0 <= e < K, we have n·M/2^(16+s) = n/K + n·e/(K·2^(16+s)), and the excess is below 1/K whenever
// n·e < 2^(16+s); a quotient n/K that is not whole lies at least 1/K below the next whole number, so
// ⌊n·M/2^(16+s)⌋ = ⌊n/K⌋. The high half of a 16-bit product and a shift by s compute it, for every n up
// to 255·K + ⌊K/2⌋, when some s gives M < 2^16 and that bound; small boxes, the search's among them,
// do. Otherwise lane by lane with the Divider above.
class BoxDivider {
public:
    explicit BoxDivider(std::uint32_t box_pixels) : half_(box_pixels / 2), exact_(box_pixels) {
        const std::uint64_t largest = 255 * std::uint64_t{box_pixels} + half_;
        // M < 2^16 needs 2^s < K, so the search starts at the largest such s.
        for (int s = std::min(15, static_cast<int>(std::bit_width(box_pixels)) - 1); s >= 0 && largest < (1u << 16); --s) {
            const std::uint64_t scale = std::uint64_t{1} << (16 + s);
            const std::uint64_t m = (scale + box_pixels - 1) / box_pixels;
            if (m < (1u << 16) && largest * (m * box_pixels - scale) < scale) {
                multiplier_ = static_cast<std::uint16_t>(m);
                shift_ = s;
                by_multiplying_ = true;
                break;
            }
        }
    }

    BYTE operator()(std::uint16_t box) const { return static_cast<BYTE>(exact_(box + half_)); }

    // Eight sums in, their eight bytes in the low half of the result.
    __m128i Eight(__m128i sums) const {
        if (!by_multiplying_) {
            alignas(16) std::uint16_t lanes[8];
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums);
            for (std::uint16_t& lane : lanes) lane = (*this)(lane);
            return _mm_packus_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(lanes)), _mm_setzero_si128());
        }
        const __m128i n = _mm_add_epi16(sums, _mm_set1_epi16(static_cast<short>(half_)));
        const __m128i q = _mm_srl_epi16(_mm_mulhi_epu16(n, _mm_set1_epi16(static_cast<short>(multiplier_))),
                                        _mm_cvtsi32_si128(shift_));
        return _mm_packus_epi16(q, _mm_setzero_si128());
    }

private:
    std::uint32_t half_;
    Divider exact_;
    bool by_multiplying_ = false;
    std::uint16_t multiplier_ = 0;
    int shift_ = 0;
};

// Whole-number ratios on both axes, kx = sW/dW and ky = sH/dH, as when the search shrinks its picture:
// every destination pixel covers a box of kx × ky whole source pixels, each weighing A = dW·dH, and
// sW·sH = K·A with K = kx·ky. The average above is then ⌊(box·A + ⌊K·A/2⌋) / (K·A)⌋ for the plain sum
// `box` of the box, and that equals ⌊(box + ⌊K/2⌋) / K⌋: ⌊K·A/2⌋ lies between A·⌊K/2⌋ and A·⌊K/2⌋ + A − 1,
// so the numerator is A·(box + ⌊K/2⌋) plus less than A, and adding less than A to a multiple of A never
// reaches the next multiple of K·A. Rows are summed down as plain bytes into 16-bit lanes, then each
// box is summed across from them two source pixels per vector, and divided by K.
void BoxStretch(const Surface& dst, const Surface& src, std::uint32_t kx, std::uint32_t ky) {
    const std::size_t src_step = src.bpp / 8, dst_step = dst.bpp / 8;
    const std::size_t row_bytes = static_cast<std::size_t>(src.width) * src_step;
    const auto width = static_cast<std::size_t>(dst.width);
    const BoxDivider divide(kx * ky);
    std::vector<std::uint16_t> plain(row_bytes + 8);  // room for one 8-lane read past the last pixel
    std::vector<std::uint16_t> boxes(3 * width + 1);  // each box's three sums, and a lane to spare
    for (LONG i = 0; i < dst.rows; ++i) {
        for (std::uint32_t k = 0; k < ky; k += kRowsAtOnce) {
            const BYTE* rows[kRowsAtOnce];
            const int count = static_cast<int>(std::min<std::uint32_t>(kRowsAtOnce, ky - k));
            for (int r = 0; r < count; ++r) rows[r] = src.RowFromBottom(static_cast<LONG>(i * ky + k) + r);
            AddPlainRows(plain.data(), rows, count, row_bytes, k == 0);
        }
        if (src_step == 3) {
            SumAcross<3>(plain.data(), width, kx, boxes.data());
        } else {
            SumAcross<4>(plain.data(), width, kx, boxes.data());
        }
        BYTE* d = dst.RowFromBottom(i);
        std::size_t b = 0;
        if (dst_step == 3) {
            for (; b + 8 <= 3 * width; b += 8) {
                const __m128i sums = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&boxes[b]));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(d + b), divide.Eight(sums));
            }
            for (; b < 3 * width; ++b) d[b] = divide(boxes[b]);
        } else {
            for (; b < 3 * width; ++b) d[b / 3 * dst_step + b % 3] = divide(boxes[b]);
        }
    }
}

bool HalftoneStretch(const Surface& dst, const Surface& src) {
    const std::uint64_t sW = static_cast<std::uint64_t>(src.width), sH = static_cast<std::uint64_t>(src.rows);
    const std::uint64_t dW = static_cast<std::uint64_t>(dst.width), dH = static_cast<std::uint64_t>(dst.rows);
    if (sW % dW == 0 && sH % dH == 0 && (sW / dW) * (sH / dH) <= kMostBoxPixels) {
        BoxStretch(dst, src, static_cast<std::uint32_t>(sW / dW), static_cast<std::uint32_t>(sH / dH));
        return true;
    }
    const AxisWeights across = MakeAxisWeights(sW, dW);
    const AxisWeights down = MakeAxisWeights(sH, dH);
    const std::uint64_t area = sW * sH;
    if (255 * area + area / 2 < (std::uint64_t{1} << 32)) {
        StretchRows<std::uint32_t>(dst, src, across, down);
    } else {
        StretchRows<std::uint64_t>(dst, src, across, down);
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// The calls.
// ---------------------------------------------------------------------------------------------------

HDC WINAPI CreateCompatibleDC(HDC hdc) {
    if (hdc != nullptr && FindContext(hdc) == nullptr) return nullptr;
    Table& t = Objects();
    auto o = NewObject();
    o->kind = Kind::kContext;
    o->context.bitmap = Stock(&t.default_bitmap, Kind::kBitmap, 0);
    o->context.pen = Stock(&t.black_pen, Kind::kPen, 0);
    o->context.brush = Stock(&t.white_brush, Kind::kBrush, 255);
    return static_cast<HDC>(Add(std::move(o)));
}

BOOL WINAPI DeleteDC(HDC hdc) {
    Context* c = FindContext(hdc);
    if (c == nullptr) return FALSE;
    // The image it held is free again, as with the real call.
    if (Surface* s = FindSurface(c->bitmap); s != nullptr && s->selected_into == hdc) s->selected_into = nullptr;
    Remove(Lookup(hdc));
    return TRUE;
}

HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, VOID** ppvBits, HANDLE hSection,
                                DWORD offset) {
    (void)offset;
    if (ppvBits != nullptr) *ppvBits = nullptr;
    if ((hdc != nullptr && FindContext(hdc) == nullptr) || usage != DIB_RGB_COLORS || hSection != nullptr) {
        return nullptr;
    }
    return MakeSurface(pbmi, ppvBits, StandInPixels{});
}

HBITMAP StandInCreateDIB(const BITMAPINFO* pbmi, VOID** ppvBits, StandInPixels pixels) {
    return MakeSurface(pbmi, ppvBits, std::move(pixels));
}

int WINAPI GetObjectA(HANDLE h, int c, LPVOID pv) {
    const Surface* s = FindSurface(h);
    if (s == nullptr) return 0;
    if (pv == nullptr) return sizeof(BITMAP);
    if (c < static_cast<int>(sizeof(BITMAP))) return 0;
    // Filled in place: a record built aside and then copied makes the copy wait for the stores.
    BITMAP& view = *static_cast<BITMAP*>(pv);
    view = BITMAP{};
    view.bmWidth = s->width;
    view.bmHeight = s->rows;
    view.bmWidthBytes = s->stride;
    view.bmPlanes = 1;
    view.bmBitsPixel = static_cast<WORD>(s->bpp);
    view.bmBits = s->bits;
    return sizeof(BITMAP);
}

HANDLE WINAPI CopyImage(HANDLE h, UINT type, int cx, int cy, UINT flags) {
    (void)flags;  // LR_COPYRETURNORG never hands back the original here: every copy is a new image
    const Surface* s = FindSurface(h);
    if (s == nullptr || type != IMAGE_BITMAP || (cx != 0 && cx != s->width) || (cy != 0 && cy != s->rows) ||
        Find(h, Kind::kBitmap)->stock) {
        return nullptr;
    }
    // The header, then the masks (16 and 32 bits) or the colour table (8 bits or less); only the part
    // the depth uses is filled in and read.
    struct {
        BITMAPINFOHEADER header;
        BYTE after[256 * sizeof(RGBQUAD)];
    } info;
    info.header = BITMAPINFOHEADER{};
    info.header.biSize = kInfoHeaderSize;
    info.header.biWidth = s->width;
    info.header.biHeight = s->top_down ? -s->rows : s->rows;
    info.header.biPlanes = 1;
    info.header.biBitCount = static_cast<WORD>(s->bpp);
    info.header.biCompression = s->compression;
    if (!s->colors.empty()) {
        std::memcpy(info.after, s->colors.data(), s->colors.size() * sizeof(RGBQUAD));
    } else {
        std::memcpy(info.after, s->masks, 3 * sizeof(DWORD));
    }
    HBITMAP copy = MakeSurface(reinterpret_cast<const BITMAPINFO*>(&info), nullptr, StandInPixels{false, nullptr, 0});
    if (copy == nullptr) return nullptr;
    Surface* d = FindSurface(copy);
    std::memcpy(d->bits, s->bits, static_cast<std::size_t>(s->stride) * static_cast<std::size_t>(s->rows));
    return copy;
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h) {
    Context* c = FindContext(hdc);
    if (c == nullptr) return nullptr;
    if (Object* o = Find(h, Kind::kBitmap); o != nullptr) {
        if (h == c->bitmap) return h;
        // An image can be selected into one context at a time; the shared default one into any.
        if (!o->stock && o->surface.selected_into != nullptr) return nullptr;
        HGDIOBJ previous = c->bitmap;
        if (Surface* p = FindSurface(previous); p != nullptr && p->selected_into == hdc) p->selected_into = nullptr;
        if (!o->stock) o->surface.selected_into = hdc;
        c->bitmap = h;
        return previous;
    }
    if (Find(h, Kind::kPen) != nullptr) return std::exchange(c->pen, h);
    if (Find(h, Kind::kBrush) != nullptr) return std::exchange(c->brush, h);
    return nullptr;
}

BOOL WINAPI DeleteObject(HGDIOBJ ho) {
    Table& t = Objects();
    const auto it = Lookup(ho);
    if (it == t.objects.end() || it->object->kind == Kind::kContext) return FALSE;
    Object& o = *it->object;
    if (o.stock) return TRUE;  // stock objects outlive every caller; releasing one is harmless
    if (o.kind == Kind::kBitmap && o.surface.selected_into != nullptr) return FALSE;
    Remove(it);
    return TRUE;
}

HGDIOBJ WINAPI GetStockObject(int i) {
    Table& t = Objects();
    if (i == WHITE_BRUSH) return Stock(&t.white_brush, Kind::kBrush, 255);
    if (i == BLACK_PEN) return Stock(&t.black_pen, Kind::kPen, 0);
    return nullptr;
}

int WINAPI SetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, const VOID* lpBits, const BITMAPINFO* lpbmi,
                     UINT ColorUse) {
    Surface* s = FindSurface(hbm);
    if ((hdc != nullptr && FindContext(hdc) == nullptr) || s == nullptr || lpBits == nullptr || lpbmi == nullptr ||
        ColorUse != DIB_RGB_COLORS || !LayoutMatches(*s, lpbmi->bmiHeader, lpbmi)) {
        return 0;
    }
    return TransferRows(*s, start, cLines, static_cast<BYTE*>(const_cast<VOID*>(lpBits)),
                        lpbmi->bmiHeader.biHeight < 0, true);
}

int WINAPI GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi,
                     UINT usage) {
    const Surface* s = FindSurface(hbm);
    if (FindContext(hdc) == nullptr || s == nullptr || lpvBits == nullptr || lpbmi == nullptr ||
        usage != DIB_RGB_COLORS || !LayoutMatches(*s, lpbmi->bmiHeader, lpbmi)) {
        return 0;
    }
    const int rows = TransferRows(*s, start, cLines, static_cast<BYTE*>(lpvBits), lpbmi->bmiHeader.biHeight < 0, false);
    if (!s->colors.empty()) {
        std::memcpy(reinterpret_cast<BYTE*>(lpbmi) + lpbmi->bmiHeader.biSize, s->colors.data(),
                    s->colors.size() * sizeof(RGBQUAD));
    }
    return rows;
}

int WINAPI SetStretchBltMode(HDC hdc, int mode) {
    Context* c = FindContext(hdc);
    if (c == nullptr || mode < 1 || mode > kLastStretchMode) return 0;
    return std::exchange(c->stretch_mode, mode);
}

BOOL WINAPI StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc, int ySrc,
                       int wSrc, int hSrc, DWORD rop) {
    const Context* dc = FindContext(hdcDest);
    const Context* sc = FindContext(hdcSrc);
    if (dc == nullptr || sc == nullptr) return FALSE;
    const Surface* dst = FindSurface(dc->bitmap);
    const Surface* src = FindSurface(sc->bitmap);
    // Only what the program asks for: the whole source into the whole destination, halftone, 24 or 32 bits.
    if (dst == nullptr || src == nullptr || dst == src || dc->stretch_mode != HALFTONE || rop != SRCCOPY ||
        xDest != 0 || yDest != 0 || xSrc != 0 || ySrc != 0 || wDest != dst->width || hDest != dst->rows ||
        wSrc != src->width || hSrc != src->rows || !IsBlueGreenRed(*dst) || !IsBlueGreenRed(*src)) {
        return FALSE;
    }
    return HalftoneStretch(*dst, *src);
}

// ---------------------------------------------------------------------------------------------------
// Drawing: filling and one-pixel lines in the colours of the stock objects (black or white), in device
// coordinates with the origin at the top left, clipped to the selected image.
// ---------------------------------------------------------------------------------------------------
namespace {

// Writes a grey level into device pixel (x, y) of an image of any depth: as bytes, through the channel
// masks, or as the nearest entry of the colour table.
void Plot(const Surface& s, LONG x, LONG y, BYTE grey) {
    if (x < 0 || y < 0 || x >= s.width || y >= s.rows) return;
    BYTE* row = s.RowFromBottom(s.rows - 1 - y);
    if (s.bpp == 24 || s.bpp == 32) {
        BYTE* p = row + static_cast<std::size_t>(x) * (s.bpp / 8);
        p[0] = p[1] = p[2] = grey;
        return;
    }
    if (s.bpp == 16) {
        DWORD value = 0;
        for (int c = 0; c < 3; ++c) {
            const DWORD mask = s.masks[c];
            const int shift = std::countr_zero(mask);
            value |= ((DWORD{grey} * (mask >> shift) + 127) / 255) << shift;
        }
        row[2 * x] = static_cast<BYTE>(value);
        row[2 * x + 1] = static_cast<BYTE>(value >> 8);
        return;
    }
    unsigned best = 0, best_distance = ~0u;
    for (unsigned i = 0; i < s.colors.size(); ++i) {
        const RGBQUAD& q = s.colors[i];
        const unsigned distance = static_cast<unsigned>(std::abs(q.rgbBlue - grey) + std::abs(q.rgbGreen - grey) +
                                                        std::abs(q.rgbRed - grey));
        if (distance < best_distance) best = i, best_distance = distance;
    }
    const unsigned per_byte = 8 / s.bpp, shift = 8 - s.bpp * (1 + static_cast<unsigned>(x) % per_byte);
    BYTE& cell = row[static_cast<unsigned>(x) / per_byte];
    const unsigned mask = ((1u << s.bpp) - 1) << shift;
    cell = static_cast<BYTE>((cell & ~mask) | (best << shift));
}

}  // namespace

int WINAPI FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
    const Context* c = FindContext(hDC);
    const Object* brush = Find(hbr, Kind::kBrush);
    if (c == nullptr || lprc == nullptr || brush == nullptr) return 0;
    const Surface* s = FindSurface(c->bitmap);
    if (s == nullptr) return 0;
    const LONG left = std::max<LONG>(lprc->left, 0), right = std::min(lprc->right, s->width);
    const LONG top = std::max<LONG>(lprc->top, 0), bottom = std::min(lprc->bottom, s->rows);
    for (LONG y = top; y < bottom; ++y) {
        for (LONG x = left; x < right; ++x) Plot(*s, x, y, brush->colour);
    }
    return 1;
}

BOOL WINAPI MoveToEx(HDC hdc, int x, int y, LPPOINT lppt) {
    Context* c = FindContext(hdc);
    if (c == nullptr) return FALSE;
    if (lppt != nullptr) *lppt = c->position;
    c->position = POINT{x, y};
    return TRUE;
}

BOOL WINAPI LineTo(HDC hdc, int x, int y) {
    Context* c = FindContext(hdc);
    const Object* pen = c != nullptr ? Find(c->pen, Kind::kPen) : nullptr;
    const Surface* s = pen != nullptr ? FindSurface(c->bitmap) : nullptr;
    if (s == nullptr) return FALSE;
    // The integer line rule: one pixel per step along the longer axis, the start drawn, the end not.
    // Horizontal and vertical lines are exactly the pixels between the two points.
    std::int64_t x0 = c->position.x, y0 = c->position.y;
    if (y0 == y || x0 == x) {
        // Straight lines are clipped first, so a line far longer than the image costs no more than it.
        const bool across = y0 == y;
        const std::int64_t from = across ? x0 : y0, to = across ? x : y, limit = across ? s->width : s->rows;
        const std::int64_t lo = std::max<std::int64_t>(to < from ? to + 1 : from, 0);
        const std::int64_t hi = std::min<std::int64_t>(to < from ? from + 1 : to, limit);
        for (std::int64_t v = lo; v < hi; ++v) {
            Plot(*s, static_cast<LONG>(across ? v : x0), static_cast<LONG>(across ? y0 : v), pen->colour);
        }
        c->position = POINT{x, y};
        return TRUE;
    }
    const std::int64_t dx = std::abs(x - x0), dy = -std::abs(y - y0);
    const int sx = x0 < x ? 1 : -1, sy = y0 < y ? 1 : -1;
    std::int64_t error = dx + dy;
    while (x0 != x || y0 != y) {
        if (x0 >= 0 && y0 >= 0 && x0 < s->width && y0 < s->rows) {
            Plot(*s, static_cast<LONG>(x0), static_cast<LONG>(y0), pen->colour);
        }
        const std::int64_t twice = 2 * error;
        if (twice >= dy) error += dy, x0 += sx;
        if (twice <= dx) error += dx, y0 += sy;
    }
    c->position = POINT{x, y};
    return TRUE;
}
