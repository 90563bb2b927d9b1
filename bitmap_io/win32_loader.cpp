// The stand-in for the platform's BMP loader, LoadImageA with LR_LOADFROMFILE.
//
// It decodes the uncompressed files common tools write: OS/2 core headers and info headers of 40, 52,
// 56, 108 and 124 bytes; 1, 4 and 8-bit palettes; 16 bits as 5-5-5 or with channel masks; 24 bits;
// 32 bits plain or with channel masks; rows stored bottom-up or top-down. 24 and 32-bit files keep their
// depth, every other depth becomes a 24-bit image, and every image it returns is bottom-up. Whatever
// fails the shared BMP rules, or holds a palette index beyond its colour table, is declined with NULL.
// It reads only the bytes its headers place inside the file, so a short or lying file cannot make it
// read outside what it has.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "bmp_format.h"
#include "win32.h"
#include "win32_internal.h"

namespace {

// The most of the info part that is ever needed: the largest header, three masks and a full 256-entry
// colour table. Anything between that and bfOffBits is a gap the format allows and nobody reads.
constexpr DWORD kMaxInfoPartNeeded = 124 + 12 + 256 * 4;

bool ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<BYTE*>(buffer);
    while (size > 0) {
        const ssize_t got = pread(fd, out, size, static_cast<off_t>(offset));
        if (got <= 0) return false;  // a short file is as bad as a failed read
        out += got;
        offset += static_cast<std::uint64_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// Widens a channel of any bit count to 8 bits, rounding to the nearest level.
BYTE Channel(DWORD pixel, DWORD mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const std::uint64_t top = mask >> shift;
    const std::uint64_t value = (pixel & mask) >> shift;
    return static_cast<BYTE>((value * 255 + top / 2) / top);
}

struct Decoded {
    std::vector<BYTE> pixels;  // BMP row layout, bottom-up
    unsigned bpp = 24;
};

// Turns one file row into one output row.
void DecodeRow(const BmpLayout& l, const BYTE* palette, const BYTE* in, BYTE* out) {
    if (l.bpp == 24 || (l.bpp == 32 && l.compression == BI_RGB)) {
        std::memcpy(out, in, static_cast<std::size_t>(l.width) * (l.bpp / 8));
        return;
    }
    if (l.bpp == 16 || l.bpp == 32) {
        const unsigned in_step = l.bpp / 8, out_step = l.bpp == 32 ? 4 : 3;
        for (LONG x = 0; x < l.width; ++x, in += in_step, out += out_step) {
            const DWORD pixel = l.bpp == 16 ? ReadLe16(in) : ReadLe32(in);
            out[0] = Channel(pixel, l.masks[2]);
            out[1] = Channel(pixel, l.masks[1]);
            out[2] = Channel(pixel, l.masks[0]);
            if (out_step == 4) out[3] = Channel(pixel, l.masks[3]);
        }
        return;
    }
    const unsigned per_byte = 8 / l.bpp, index_mask = (1u << l.bpp) - 1;
    for (LONG x = 0; x < l.width; ++x, out += 3) {
        const unsigned shift = 8 - l.bpp * (1 + x % per_byte);
        const unsigned index = (in[x / per_byte] >> shift) & index_mask;
        const BYTE* entry = palette + index * l.palette_entry_size;
        out[0] = entry[0];
        out[1] = entry[1];
        out[2] = entry[2];
    }
}

HBITMAP Decode(int fd) {
    struct stat st;
    BYTE file_bytes[kFileHeaderSize];
    if (fstat(fd, &st) != 0 || !ReadAt(fd, 0, file_bytes, sizeof file_bytes)) return nullptr;
    BITMAPFILEHEADER fh;
    fh.bfType = ReadLe16(file_bytes);
    fh.bfSize = ReadLe32(file_bytes + 2);
    fh.bfReserved1 = ReadLe16(file_bytes + 6);
    fh.bfReserved2 = ReadLe16(file_bytes + 8);
    fh.bfOffBits = ReadLe32(file_bytes + 10);
    if (!CheckBmpFileHeader(fh, static_cast<std::uint64_t>(st.st_size))) return nullptr;

    std::vector<BYTE> info(std::min(fh.bfOffBits - kFileHeaderSize, kMaxInfoPartNeeded));
    BmpLayout l;
    if (!ReadAt(fd, kFileHeaderSize, info.data(), info.size()) ||
        !ReadBmpLayout(fh, info.data(), static_cast<DWORD>(info.size()), &l) || l.compression == BI_RLE8 ||
        l.compression == BI_RLE4) {
        return nullptr;
    }
    BITMAPINFO out{};
    out.bmiHeader.biSize = kInfoHeaderSize;
    out.bmiHeader.biWidth = l.width;
    out.bmiHeader.biHeight = l.rows;
    out.bmiHeader.biPlanes = 1;
    out.bmiHeader.biBitCount = l.bpp == 32 ? 32 : 24;
    out.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP image = StandInCreateDIBUninitialised(&out, &bits);
    if (image == nullptr) return nullptr;
    const std::size_t rows_bytes = static_cast<std::size_t>(l.stride) * static_cast<std::size_t>(l.rows);
    auto* pixels = static_cast<BYTE*>(bits);

    // Plain 24 and 32-bit rows are already the image's rows: read them in place, the one copy the
    // picture has to make anyway, and turn a top-down file over afterwards.
    if (l.bpp == 24 || (l.bpp == 32 && l.compression == BI_RGB)) {
        if (!ReadAt(fd, fh.bfOffBits, pixels, rows_bytes)) {
            DeleteObject(image);
            return nullptr;
        }
        if (l.top_down) {
            std::vector<BYTE> swap(static_cast<std::size_t>(l.stride));
            for (LONG top = 0, bottom = l.rows - 1; top < bottom; ++top, --bottom) {
                BYTE* a = pixels + static_cast<std::size_t>(top) * l.stride;
                BYTE* b = pixels + static_cast<std::size_t>(bottom) * l.stride;
                std::memcpy(swap.data(), a, swap.size());
                std::memcpy(a, b, swap.size());
                std::memcpy(b, swap.data(), swap.size());
            }
        }
        return image;
    }

    std::vector<BYTE> rows(rows_bytes);
    if (!ReadAt(fd, fh.bfOffBits, rows.data(), rows.size()) || !BmpIndicesWithinPalette(l, rows.data())) {
        DeleteObject(image);
        return nullptr;
    }
    const std::size_t out_stride =
        static_cast<std::size_t>(BmpRowStride(static_cast<std::uint64_t>(l.width), out.bmiHeader.biBitCount));
    const BYTE* palette = info.data() + l.palette_offset;
    for (LONG b = 0; b < l.rows; ++b) {
        const LONG file_row = l.top_down ? l.rows - 1 - b : b;
        BYTE* out_row = pixels + static_cast<std::size_t>(b) * out_stride;
        DecodeRow(l, palette, rows.data() + static_cast<std::size_t>(file_row) * static_cast<std::size_t>(l.stride),
                  out_row);
        // The padding at the end of each row is the image's too; it starts out zero like any new image's.
        const std::size_t used = static_cast<std::size_t>(l.width) * (out.bmiHeader.biBitCount / 8);
        std::memset(out_row + used, 0, out_stride - used);
    }
    return image;
}

}  // namespace

HANDLE WINAPI LoadImageA(HINSTANCE hInst, LPCSTR name, UINT type, int cx, int cy, UINT fuLoad) {
    if (hInst != nullptr || name == nullptr || type != IMAGE_BITMAP || cx != 0 || cy != 0 ||
        (fuLoad & LR_LOADFROMFILE) == 0) {
        return nullptr;
    }
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    HBITMAP image = Decode(fd);
    close(fd);
    return image;
}
