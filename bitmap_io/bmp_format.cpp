#include "bmp_format.h"

#include <bit>
#include <string>

namespace {

constexpr DWORD kDefaultMasks16[4] = {0x7C00, 0x03E0, 0x001F, 0};
constexpr DWORD kDefaultMasks32[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0};

// Says why a file is refused, when the caller asks; always false, so that a check can return it.
bool Refuse(std::string* why, const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
}

const char* CompressionName(DWORD compression) {
    switch (compression) {
    case BI_RGB: return "none";
    case BI_RLE8: return "8-bit run-length";
    case BI_RLE4: return "4-bit run-length";
    case BI_BITFIELDS: return "bit fields";
    case 4: return "JPEG";
    case 5: return "PNG";
    case 6: return "alpha bit fields";
    default: return "unknown";
    }
}

bool IsKnownHeaderSize(DWORD size) {
    return size == kCoreHeaderSize || size == kInfoHeaderSize || size == kV2HeaderSize || size == kV3HeaderSize ||
           size == kV4HeaderSize || size == kV5HeaderSize;
}

bool IsCompressionAllowed(DWORD compression, unsigned bpp, bool top_down) {
    switch (compression) {
    case BI_RGB: return true;
    case BI_BITFIELDS: return bpp == 16 || bpp == 32;
    // Run-length data has no top-down form: its rows are always stored bottom-up.
    case BI_RLE8: return bpp == 8 && !top_down;
    case BI_RLE4: return bpp == 4 && !top_down;
    default: return false;
    }
}

// A usable channel mask is one unbroken run of bits inside the pixel.
bool IsContiguousMask(DWORD mask, unsigned bpp) {
    if (mask == 0) return false;
    if (bpp < 32 && (mask >> bpp) != 0) return false;
    const DWORD run = mask >> std::countr_zero(mask);
    return (run & (run + 1)) == 0;
}

}  // namespace

bool IsKnownDepth(unsigned bpp) { return bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32; }

void ReadBmpMasks(const BYTE* info, DWORD masks[3]) {
    for (int c = 0; c < 3; ++c) masks[c] = ReadLe32(info + kInfoHeaderSize + 4 * c);
}

const DWORD* BmpDefaultMasks(unsigned bpp) { return bpp == 16 ? kDefaultMasks16 : kDefaultMasks32; }

bool BmpMasksUsable(const DWORD masks[4], unsigned bpp) {
    for (int c = 0; c < 3; ++c) {
        if (!IsContiguousMask(masks[c], bpp)) return false;
    }
    if (masks[3] != 0 && !IsContiguousMask(masks[3], bpp)) return false;
    const DWORD overlap = (masks[0] & masks[1]) | (masks[0] & masks[2]) | (masks[1] & masks[2]) |
                          (masks[3] & (masks[0] | masks[1] | masks[2]));
    return overlap == 0;
}

BITMAPFILEHEADER ReadBmpFileHeader(const BYTE* bytes) {
    BITMAPFILEHEADER fh;
    fh.bfType = ReadLe16(bytes);
    fh.bfSize = ReadLe32(bytes + 2);
    fh.bfReserved1 = ReadLe16(bytes + 6);
    fh.bfReserved2 = ReadLe16(bytes + 8);
    fh.bfOffBits = ReadLe32(bytes + 10);
    return fh;
}

std::uint64_t BmpRowStride(std::uint64_t width, unsigned bpp) { return (width * bpp + 31) / 32 * 4; }

bool CheckBmpFileHeader(const BITMAPFILEHEADER& fh, std::uint64_t file_size, std::string* why) {
    if (fh.bfType != kBmpSignature) return Refuse(why, "does not start with the BMP signature \"BM\"");
    if (fh.bfReserved1 != 0 || fh.bfReserved2 != 0) {
        return Refuse(why, "has a damaged file header: its reserved fields are not 0");
    }
    if (fh.bfSize > file_size) {
        return Refuse(why, "is cut short: it has " + std::to_string(file_size) + " bytes, and its header promises " +
                               std::to_string(fh.bfSize));
    }
    if (fh.bfOffBits <= kFileHeaderSize || fh.bfOffBits >= fh.bfSize) {
        return Refuse(why, "has a damaged file header: its pixels would start at byte " + std::to_string(fh.bfOffBits) +
                               " of " + std::to_string(fh.bfSize));
    }
    return true;
}

bool ReadBmpLayout(const BITMAPFILEHEADER& fh, const BYTE* info, DWORD info_size, BmpLayout* out, std::string* why) {
    if (info_size < 4) return Refuse(why, "has no room for an info header before its pixels");
    BmpLayout l;
    l.header_size = ReadLe32(info);
    if (!IsKnownHeaderSize(l.header_size)) {
        return Refuse(why, "has an info header of " + std::to_string(l.header_size) +
                               " bytes; the headers read are of 12, 40, 52, 56, 108 and 124 bytes");
    }
    if (l.header_size > info_size) {
        return Refuse(why, "has a damaged file header: its pixels start inside its " + std::to_string(l.header_size) +
                               "-byte info header");
    }

    std::int64_t width, height;
    unsigned planes;
    DWORD clr_used = 0;
    std::int64_t density_x = 0, density_y = 0;
    DWORD size_image = 0;
    if (l.header_size == kCoreHeaderSize) {
        width = ReadLe16(info + 4);
        height = ReadLe16(info + 6);
        planes = ReadLe16(info + 8);
        l.bpp = ReadLe16(info + 10);
        l.palette_entry_size = 3;
    } else {
        width = static_cast<LONG>(ReadLe32(info + 4));
        height = static_cast<LONG>(ReadLe32(info + 8));
        planes = ReadLe16(info + 12);
        l.bpp = ReadLe16(info + 14);
        l.compression = ReadLe32(info + 16);
        size_image = ReadLe32(info + 20);
        density_x = static_cast<LONG>(ReadLe32(info + 24));
        density_y = static_cast<LONG>(ReadLe32(info + 28));
        clr_used = ReadLe32(info + 32);
    }
    l.top_down = height < 0;
    const std::int64_t rows = height < 0 ? -height : height;
    l.pixel_bytes = fh.bfSize - fh.bfOffBits;

    if (width <= 0 || rows == 0 || rows > INT32_MAX) {
        return Refuse(why, "claims " + std::to_string(width) + " x " + std::to_string(height) + " pixels");
    }
    const auto refuse_compression = [&] {
        return Refuse(why, "uses compression " + std::to_string(l.compression) + " (" + CompressionName(l.compression) +
                               ") at " + std::to_string(l.bpp) + " bits" + (l.top_down ? ", stored top-down" : "") +
                               "; read are uncompressed files, run-length ones of 8 and 4 bits stored bottom-up, "
                               "and bit fields at 16 and 32 bits");
    };
    // A picture compressed as JPEG or PNG has no depth of its own: its compression is what is not read.
    if (l.compression > BI_BITFIELDS) return refuse_compression();
    if (!IsKnownDepth(l.bpp)) {
        return Refuse(why,
                      "has " + std::to_string(l.bpp) + " bits per pixel; the depths read are 1, 4, 8, 16, 24 and 32");
    }
    if (!IsCompressionAllowed(l.compression, l.bpp, l.top_down)) return refuse_compression();
    if (planes != 1 || density_x < -kMaxPixelsPerMeter || density_x > kMaxPixelsPerMeter ||
        density_y < -kMaxPixelsPerMeter || density_y > kMaxPixelsPerMeter || size_image > l.pixel_bytes) {
        return Refuse(why, "has a damaged info header (its planes, density or image size cannot be right)");
    }
    l.width = static_cast<LONG>(width);
    l.rows = static_cast<LONG>(rows);
    l.stride = BmpRowStride(static_cast<std::uint64_t>(width), l.bpp);
    const std::uint64_t rows_bytes = l.stride * static_cast<std::uint64_t>(rows);
    if (rows_bytes > kMaxPixelBytes) {
        return Refuse(why, "is too large: " + std::to_string(width) + " x " + std::to_string(rows) + " pixels at " +
                               std::to_string(l.bpp) + " bits take " + std::to_string(rows_bytes >> 20) +
                               " MiB, and a picture may take at most " + std::to_string(kMaxPixelBytes >> 20) + " MiB");
    }
    const bool compressed = l.compression == BI_RLE8 || l.compression == BI_RLE4;
    if (!compressed && rows_bytes > l.pixel_bytes) {
        return Refuse(why, "is cut short: its " + std::to_string(rows) + " rows need " + std::to_string(rows_bytes) +
                               " bytes of pixels, and it holds " + std::to_string(l.pixel_bytes));
    }

    // Channel masks: inside the larger headers, or three DWORDs after a plain 40-byte one.
    std::uint64_t table_offset = l.header_size;
    if (l.bpp == 16 || l.bpp == 32) {
        if (l.compression == BI_BITFIELDS) {
            if (l.header_size == kInfoHeaderSize) {
                if (info_size < kInfoHeaderSize + 12) return Refuse(why, "has no room for its channel masks");
                table_offset += 12;
            }
            ReadBmpMasks(info, l.masks);
            // The alpha mask follows the three others, from a version 3 header on.
            if (l.header_size >= kV3HeaderSize) l.masks[3] = ReadLe32(info + kInfoHeaderSize + 12);
        } else {
            const DWORD* defaults = BmpDefaultMasks(l.bpp);
            for (int c = 0; c < 4; ++c) l.masks[c] = defaults[c];
        }
        if (!BmpMasksUsable(l.masks, l.bpp)) return Refuse(why, "has channel masks that overlap or are broken");
    }

    if (l.bpp <= 8) {
        const DWORD most = DWORD{1} << l.bpp;
        if (clr_used > most) {
            return Refuse(why, "claims " + std::to_string(clr_used) + " colours at " + std::to_string(l.bpp) +
                                   " bits per pixel, which name at most " + std::to_string(most));
        }
        l.palette_count = clr_used != 0 ? clr_used : most;
        l.palette_offset = static_cast<DWORD>(table_offset);
        if (table_offset + std::uint64_t{l.palette_count} * l.palette_entry_size > info_size) {
            return Refuse(why, "has no room for its colour table of " + std::to_string(l.palette_count) + " entries");
        }
    }
    *out = l;
    return true;
}

bool BmpIndicesWithinPalette(const BmpLayout& l, const BYTE* pixels) {
    if (l.bpp > 8 || l.compression != BI_RGB || l.palette_count >= (DWORD{1} << l.bpp)) return true;
    for (LONG y = 0; y < l.rows; ++y) {
        const BYTE* row = pixels + static_cast<std::uint64_t>(y) * l.stride;
        for (LONG x = 0; x < l.width; ++x) {
            if (BmpIndexAt(row, static_cast<std::uint64_t>(x), l.bpp) >= l.palette_count) return false;
        }
    }
    return true;
}
