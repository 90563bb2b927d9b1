// The stand-in's drawing: filling and one-pixel lines in the colours of the stock objects (black or
// white), in device coordinates with the origin at the top left, clipped to the selected image.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>

#include "bmp_format.h"
#include "win32.h"
#include "win32_objects.h"

using namespace standin;

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
        const unsigned distance =
            static_cast<unsigned>(std::abs(q.rgbBlue - grey) + std::abs(q.rgbGreen - grey) + std::abs(q.rgbRed - grey));
        if (distance < best_distance) best = i, best_distance = distance;
    }
    BmpPutIndex(row, static_cast<std::uint64_t>(x), s.bpp, best);
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
