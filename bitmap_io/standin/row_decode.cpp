#include "row_decode.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

static_assert(std::endian::native == std::endian::little, "colour words are stored as their bytes B, G, R");

// Widens a channel of any bit count to 8 bits, rounding to the nearest level.
BYTE Channel(DWORD pixel, DWORD mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const std::uint64_t top = mask >> shift;
    const std::uint64_t value = (pixel & mask) >> shift;
    return static_cast<BYTE>((value * 255 + top / 2) / top);
}

// Masks of up to this many bits get a table of their values; a wider one (possible only at 32 bits) is
// widened pixel by pixel.
constexpr int kWidestTabledMask = 16;

BYTE ChannelOf(const RowDecoder& d, const BmpLayout& l, int c, DWORD pixel) {
    if (l.masks[c] == 0) return 0;
    if (d.channels[c].empty()) return Channel(pixel, l.masks[c]);
    return d.channels[c][(pixel & l.masks[c]) >> d.shifts[c]];
}

// The colour word of every 16-bit pixel for one set of masks, made on the first 16-bit load and kept
// while the masks stay the same, as they do for every load of one picture: a 16-bit pixel then costs
// one look-up, as a palette index does, instead of three.
const std::uint32_t* Colours16(const RowDecoder& d, const BmpLayout& l) {
    thread_local std::vector<std::uint32_t> colours;
    thread_local DWORD masks[3] = {0, 0, 0};
    if (colours.empty() || !std::equal(masks, masks + 3, l.masks)) {
        colours.resize(65536);
        for (DWORD p = 0; p < 65536; ++p) {
            colours[p] = std::uint32_t{ChannelOf(d, l, 2, p)} | std::uint32_t{ChannelOf(d, l, 1, p)} << 8 |
                         std::uint32_t{ChannelOf(d, l, 0, p)} << 16;
        }
        std::copy(l.masks, l.masks + 3, masks);
    }
    return colours.data();
}

// A row of 24-bit pixels from the colour word of each (`colour_at(x)`), four at a time: their twelve
// bytes are packed into two words and stored as eight bytes and four, which a processor takes faster
// than four stores that overlap. The pixels left over are written a byte at a time, so that nothing is
// written past the row. (Gathering eight words at a time with AVX2 was measured slower than this.)
template <typename ColourAt>
[[gnu::always_inline]] inline void WriteRow24(LONG width, BYTE* out, ColourAt colour_at) {
    const auto n = static_cast<std::uint64_t>(width);
    std::uint64_t x = 0;
    for (; x + 4 <= n; x += 4, out += 12) {
        const std::uint64_t p0 = colour_at(x), p1 = colour_at(x + 1), p2 = colour_at(x + 2), p3 = colour_at(x + 3);
        const std::uint64_t low = p0 | p1 << 24 | p2 << 48;
        const auto high = static_cast<std::uint32_t>(p2 >> 16 | p3 << 8);
        std::memcpy(out, &low, 8);  // little-endian: the bytes of p0, p1 and the first two of p2
        std::memcpy(out + 8, &high, 4);
    }
    for (; x < n; ++x, out += 3) {
        const std::uint32_t colour = colour_at(x);
        out[0] = static_cast<BYTE>(colour);
        out[1] = static_cast<BYTE>(colour >> 8);
        out[2] = static_cast<BYTE>(colour >> 16);
    }
}

template <unsigned kBpp>
void DecodeIndexed(const RowDecoder& d, LONG width, const BYTE* in, BYTE* out) {
    WriteRow24(width, out, [&](std::uint64_t x) { return d.colours[BmpIndexAt(in, x, kBpp)]; });
}

}  // namespace

RowDecoder MakeRowDecoder(const BmpLayout& l, const BYTE* palette) {
    RowDecoder d;
    for (DWORD i = 0; i < l.palette_count && i < 256; ++i) {
        const BYTE* entry = palette + i * l.palette_entry_size;
        d.colours[i] = std::uint32_t{entry[0]} | std::uint32_t{entry[1]} << 8 | std::uint32_t{entry[2]} << 16;
    }
    for (int c = 0; c < 4; ++c) {
        const DWORD mask = l.masks[c];
        if (mask == 0 || std::popcount(mask) > kWidestTabledMask) continue;
        d.shifts[c] = std::countr_zero(mask);
        const DWORD top = mask >> d.shifts[c];
        d.channels[c].resize(std::size_t{top} + 1);
        for (DWORD v = 0; v <= top; ++v) d.channels[c][v] = Channel(v << d.shifts[c], mask);
    }
    if (l.bpp == 16) d.colours16 = Colours16(d, l);
    return d;
}

void DecodeRow(const BmpLayout& l, const RowDecoder& d, const BYTE* in, BYTE* out) {
    switch (l.bpp) {
    case 1: DecodeIndexed<1>(d, l.width, in, out); return;
    case 4: DecodeIndexed<4>(d, l.width, in, out); return;
    case 8: DecodeIndexed<8>(d, l.width, in, out); return;
    case 16: WriteRow24(l.width, out, [&](std::uint64_t x) { return d.colours16[ReadLe16(in + 2 * x)]; }); return;
    default: break;
    }
    if (l.compression == BI_RGB) {
        std::memcpy(out, in, static_cast<std::size_t>(l.width) * (l.bpp / 8));  // 24 bits, or 32 without masks
        return;
    }
    for (LONG x = 0; x < l.width; ++x, in += 4, out += 4) {
        const DWORD pixel = ReadLe32(in);
        out[0] = ChannelOf(d, l, 2, pixel);
        out[1] = ChannelOf(d, l, 1, pixel);
        out[2] = ChannelOf(d, l, 0, pixel);
        out[3] = ChannelOf(d, l, 3, pixel);
    }
}
