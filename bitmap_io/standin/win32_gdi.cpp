// The stand-in's memory contexts and the calls made on them: selection, the stock objects, release,
// and the halftone stretch (its arithmetic in halftone.cpp).
#include <algorithm>
#include <utility>

#include "bmp_format.h"
#include "halftone.h"
#include "win32.h"
#include "win32_objects.h"

using namespace standin;

namespace {

constexpr int kLastStretchMode = HALFTONE;

// The stretch reads and writes pixels as blue, green, red bytes: 24-bit images, and 32-bit ones whose
// channel masks are the plain ones.
bool IsBlueGreenRed(const Surface& s) {
    return s.bpp == 24 || (s.bpp == 32 && std::equal(s.masks, s.masks + 3, BmpDefaultMasks(32)));
}

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

HDC WINAPI CreateCompatibleDC(HDC hdc) {
    if (hdc != nullptr && FindContext(hdc) == nullptr) return nullptr;
    auto o = NewObject();
    o->kind = Kind::kContext;
    o->context.bitmap = DefaultBitmap();
    o->context.pen = BlackPen();
    o->context.brush = WhiteBrush();
    return static_cast<HDC>(Add(std::move(o)));
}

BOOL WINAPI DeleteDC(HDC hdc) {
    Context* c = FindContext(hdc);
    if (c == nullptr) return FALSE;
    // The image it held is free again, as with the real call.
    if (Surface* s = FindSurface(c->bitmap); s != nullptr && s->selected_into == hdc) s->selected_into = nullptr;
    Remove(hdc);
    return TRUE;
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
    const Object* o = Find(ho);
    if (o == nullptr || o->kind == Kind::kContext) return FALSE;
    if (o->stock) return TRUE;  // stock objects outlive every caller; releasing one is harmless
    if (o->kind == Kind::kBitmap && o->surface.selected_into != nullptr) return FALSE;
    Remove(ho);
    return TRUE;
}

HGDIOBJ WINAPI GetStockObject(int i) {
    if (i == WHITE_BRUSH) return WhiteBrush();
    if (i == BLACK_PEN) return BlackPen();
    return nullptr;
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
