// The stand-in's DIB sections: making them, describing them, copying them, and moving rows between
// them and buffers laid out as in a BMP file.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "bmp_format.h"
#include "win32.h"
#include "win32_objects.h"

using namespace standin;

namespace {

// Everything that makes a DIB section: the checks of its header, then its padded pixel rows, from
// `pixels` (a block given must hold `offset` plus every row).
HBITMAP MakeSurface(const BITMAPINFO* info, VOID** bits_out, Pixels pixels) {
    if (bits_out != nullptr) *bits_out = nullptr;
    if (info == nullptr) return nullptr;
    const BITMAPINFOHEADER& h = info->bmiHeader;
    const unsigned bpp = h.biBitCount;
    const bool compression_known =
        h.biCompression == BI_RGB || (h.biCompression == BI_BITFIELDS && (bpp == 16 || bpp == 32));
    if ((h.biSize != kInfoHeaderSize && h.biSize != kV4HeaderSize && h.biSize != kV5HeaderSize) || h.biPlanes != 1 ||
        h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN || !IsKnownDepth(bpp) || !compression_known ||
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
            ReadBmpMasks(reinterpret_cast<const BYTE*>(info), s.masks);
            if (!BmpMasksUsable(s.masks, bpp)) return nullptr;
        } else {
            std::memcpy(s.masks, BmpDefaultMasks(bpp), sizeof s.masks);
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
        s.capacity = pixels.capacity;
        s.bits = s.block.get() + pixels.offset;
    } else {
        s.block = NewBlock(bytes, pixels.zeroed, &s.capacity);
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
        DWORD masks[3];
        ReadBmpMasks(reinterpret_cast<const BYTE*>(info), masks);
        return std::equal(masks, masks + 3, s.masks);
    }
    return h.biCompression == BI_RGB && s.masks[0] == BmpDefaultMasks(s.bpp)[0];
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

HBITMAP standin::CreateDIB(const BITMAPINFO* info, VOID** bits_out, Pixels pixels) {
    return MakeSurface(info, bits_out, std::move(pixels));
}

HBITMAP WINAPI CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, VOID** ppvBits, HANDLE hSection,
                                DWORD offset) {
    (void)offset;
    if (ppvBits != nullptr) *ppvBits = nullptr;
    if ((hdc != nullptr && FindContext(hdc) == nullptr) || usage != DIB_RGB_COLORS || hSection != nullptr) {
        return nullptr;
    }
    return MakeSurface(pbmi, ppvBits, Pixels{});
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
    HBITMAP copy = MakeSurface(reinterpret_cast<const BITMAPINFO*>(&info), nullptr, Pixels{false, nullptr, 0});
    if (copy == nullptr) return nullptr;
    Surface* d = FindSurface(copy);
    std::memcpy(d->bits, s->bits, static_cast<std::size_t>(s->stride) * static_cast<std::size_t>(s->rows));
    return copy;
}

int WINAPI SetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, const VOID* lpBits, const BITMAPINFO* lpbmi,
                     UINT ColorUse) {
    Surface* s = FindSurface(hbm);
    if ((hdc != nullptr && FindContext(hdc) == nullptr) || s == nullptr || lpBits == nullptr || lpbmi == nullptr ||
        ColorUse != DIB_RGB_COLORS || !LayoutMatches(*s, lpbmi->bmiHeader, lpbmi)) {
        return 0;
    }
    return TransferRows(*s, start, cLines, static_cast<BYTE*>(const_cast<VOID*>(lpBits)), lpbmi->bmiHeader.biHeight < 0,
                        true);
}

int WINAPI GetDIBits(HDC hdc, HBITMAP hbm, UINT start, UINT cLines, LPVOID lpvBits, LPBITMAPINFO lpbmi, UINT usage) {
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
