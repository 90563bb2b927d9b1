// The Windows bitmap file (BMP) and the rules every reader here applies to it.
//
// A BMP file, all fields little-endian:
//
//   offset  size  field             meaning
//   0       2     bfType            "BM" (0x4D42)
//   2       4     bfSize            size of the whole file in bytes
//   6       2     bfReserved1       0
//   8       2     bfReserved2       0
//   10      4     bfOffBits         offset of the first pixel byte
//   14      4     biSize            size of the info header: 12 (OS/2 core), 40, 52, 56, 108 or 124
//   18      4     biWidth           pixels per row, > 0            (core header: 2-byte unsigned fields)
//   22      4     biHeight          rows; > 0 stored bottom-up, < 0 stored top-down
//   26      2     biPlanes          1
//   28      2     biBitCount        1, 4, 8, 16, 24 or 32
//   30      4     biCompression     0 BI_RGB, 1 BI_RLE8, 2 BI_RLE4, 3 BI_BITFIELDS
//   34      4     biSizeImage       bytes of pixel data (may be 0 when uncompressed)
//   38      4     biXPelsPerMeter   horizontal density
//   42      4     biYPelsPerMeter   vertical density
//   46      4     biClrUsed         colour table entries; 0 means 2^biBitCount for depths of 8 or less
//   50      4     biClrImportant    ignored
//   54      12/16 channel masks     red, green, blue (and alpha from 56 bytes on) inside headers of 52
//                                   bytes or more; after a 40-byte header when biCompression is BI_BITFIELDS
//   then          colour table      4-byte B, G, R, 0 entries (3-byte B, G, R after a core header)
//   bfOffBits     pixel rows        each row padded to a multiple of 4 bytes
//
// Pixels are read from the first row in the file; bit-packed depths hold their leftmost pixel in the
// most significant bits of a byte.
#ifndef BITMAP_IO_BMP_FORMAT_H
#define BITMAP_IO_BMP_FORMAT_H

#include <cstdint>
#include <string>

#include "win32.h"

// The most pixel memory any image may take: 256 MiB. It holds a 8192 × 8192 picture at 32 bits, far
// beyond anything this program shrinks, keeps every size a header can carry (DWORD) and every product of
// a row count and a row stride (LONG) far from overflow, and turns a header that claims a huge picture
// into a refusal instead of an allocation.
constexpr std::uint64_t kMaxPixelBytes = std::uint64_t{256} << 20;

// The largest density a header may claim: one million pixels per metre (25,400 dots per inch) is beyond
// any scanner or printer, so a header claiming more is damaged rather than unusual.
constexpr std::int64_t kMaxPixelsPerMeter = 1000000;

constexpr WORD kBmpSignature = 0x4D42;  // "BM"
constexpr DWORD kFileHeaderSize = 14;
constexpr DWORD kCoreHeaderSize = 12;
constexpr DWORD kInfoHeaderSize = 40;
constexpr DWORD kV2HeaderSize = 52;   // with the colour masks
constexpr DWORD kV3HeaderSize = 56;   // and an alpha mask
constexpr DWORD kV4HeaderSize = 108;  // and colour space fields
constexpr DWORD kV5HeaderSize = 124;  // and a colour profile

// True for the depths a BMP file may have: 1, 4, 8, 16, 24 and 32 bits per pixel.
bool IsKnownDepth(unsigned bpp);

// The red, green and blue masks that follow the 40 bytes of an info header (from `info`, the start of
// that header): in the larger headers' own fields, or after a 40-byte one with BI_BITFIELDS.
void ReadBmpMasks(const BYTE* info, DWORD masks[3]);

// The channel masks (red, green, blue, alpha) of a 16 or 32-bit picture without BI_BITFIELDS: 5-5-5
// at 16 bits; blue, green, red and an unused byte at 32.
const DWORD* BmpDefaultMasks(unsigned bpp);

// Bytes per row of `width` pixels of `bpp` bits, padded to 4 bytes. Exact for every width a LONG holds.
std::uint64_t BmpRowStride(std::uint64_t width, unsigned bpp);

// What the headers of an accepted file say, in one plain record.
struct BmpLayout {
    LONG width = 0;
    LONG rows = 0;          // always positive
    bool top_down = false;  // first row in the file is the top row of the picture
    unsigned bpp = 0;
    DWORD compression = BI_RGB;
    DWORD header_size = 0;
    DWORD palette_offset = 0;         // from the start of the info header
    DWORD palette_count = 0;          // depths of 8 or less only
    unsigned palette_entry_size = 4;  // 3 after a core header
    DWORD masks[4] = {0, 0, 0, 0};    // red, green, blue, alpha; depths 16 and 32 only
    std::uint64_t stride = 0;         // bytes per uncompressed row
    DWORD pixel_bytes = 0;            // bytes from bfOffBits to bfSize
};

// The checks below return false for a file they refuse and, when `why` is given, say why there in a
// phrase that follows the file's name ("is cut short: ..."). The readers pass nothing; a program that
// must tell its user why a picture was refused asks again with `why`.

// Checks a file header against the real file size: the signature, zero reserved fields and
// 14 < bfOffBits < bfSize <= file_size. Returns false for anything else.
bool CheckBmpFileHeader(const BITMAPFILEHEADER& file_header, std::uint64_t file_size, std::string* why = nullptr);

// Checks the info part (the `info_size` = bfOffBits - 14 bytes after the file header) of a file whose
// file header already passed CheckBmpFileHeader, and describes it in `layout`. Accepts the header sizes,
// depths and compressions listed above; an uncompressed file's pixel part must hold all its rows and
// the colour table and masks must lie inside the info part. Returns false for anything else.
bool ReadBmpLayout(const BITMAPFILEHEADER& file_header, const BYTE* info, DWORD info_size, BmpLayout* layout,
                   std::string* why = nullptr);

// True when the red, green and blue masks are each one unbroken run of bits inside a `bpp`-bit pixel,
// the alpha mask is 0 or such a run, and no two overlap.
bool BmpMasksUsable(const DWORD masks[4], unsigned bpp);

// For an uncompressed file of 8 bits or less: true when every pixel's index names an entry of the
// colour table. `pixels` holds layout.rows × layout.stride bytes. True for every other file.
bool BmpIndicesWithinPalette(const BmpLayout& layout, const BYTE* pixels);

// Palette index x of a row of 1, 4 or 8-bit pixels, which holds its leftmost pixel in the most
// significant bits of a byte; and the same written.
inline unsigned BmpIndexShift(std::uint64_t x, unsigned bpp) {
    return 8 - bpp * (1 + static_cast<unsigned>(x % (8 / bpp)));
}
inline unsigned BmpIndexAt(const BYTE* row, std::uint64_t x, unsigned bpp) {
    return (row[x / (8 / bpp)] >> BmpIndexShift(x, bpp)) & ((1u << bpp) - 1);
}
inline void BmpPutIndex(BYTE* row, std::uint64_t x, unsigned bpp, unsigned index) {
    const unsigned shift = BmpIndexShift(x, bpp), mask = ((1u << bpp) - 1) << shift;
    BYTE& cell = row[x / (8 / bpp)];
    cell = static_cast<BYTE>((cell & ~mask) | (index << shift));
}

// The 14-byte file header at `bytes`, field by field.
BITMAPFILEHEADER ReadBmpFileHeader(const BYTE* bytes);

// Little-endian field access, independent of the host's byte order and alignment.
inline DWORD ReadLe32(const BYTE* p) { return DWORD{p[0]} | DWORD{p[1]} << 8 | DWORD{p[2]} << 16 | DWORD{p[3]} << 24; }
inline WORD ReadLe16(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }
inline std::uint64_t ReadLe64(const BYTE* p) { return ReadLe32(p) | std::uint64_t{ReadLe32(p + 4)} << 32; }

#endif  // BITMAP_IO_BMP_FORMAT_H
