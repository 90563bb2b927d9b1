// The stand-in for the GDI calls the program makes: DIB sections, memory contexts, row transfer, the
// halftone stretch (its arithmetic in halftone.cpp) and the few drawing calls of the grid pattern.
//
// Every object lives in one table keyed by its handle. Handle values count up and are never reused, so
// a handle that was released, or one of the wrong kind, is simply not found and the call fails the way
// the real one does (NULL, 0 or FALSE) instead of touching freed memory. The program is single-threaded
// and so is this table.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "bmp_format.h"
#include "halftone.h"
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

namespace {

// The stretch's view of an image: rows from the top of the picture.
HalftonePicture PictureOf(const Surface& s) {
    HalftonePicture p;
    p.width = s.width;
    p.height = s.rows;
    p.step = s.bpp / 8;
    p.top = s.RowFromBottom(s.rows - 1);
    p.pitch = s.top_down ? s.stride : -static_cast<std::ptrdiff_t>(s.stride);
    return p;
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
    HalftoneStretch(PictureOf(*dst), PictureOf(*src));
    return TRUE;
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
