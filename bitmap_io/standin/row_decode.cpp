#include "row_decode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "fast_paths.h"
#include "simd.h"

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

// A row of 24-bit pixels from the colour word of each, eight at a time: `eight(x, c)` gives the words of
// pixels x to x + 7 (a 16-bit file's eight pixels read as two words; 8-bit indices byte by byte, which
// measured faster than taking them out of one word), and their 24 bytes are packed into three words and
// stored as such, which a processor takes faster than eight stores that overlap. The pixels left over
// (`one(x)` each) are written alone, so that nothing is written past the row. (Gathering eight words at
// a time with AVX2 was measured slower than this.)
template <typename Eight, typename One>
[[gnu::always_inline]] inline void WriteRow24(LONG width, BYTE* out, Eight eight, One one) {
    const auto n = static_cast<std::uint64_t>(width);
    std::uint64_t x = 0;
    for (; x + 8 <= n; x += 8, out += 24) {
        std::uint64_t c[8];
        eight(x, c);
        const std::uint64_t w0 = c[0] | c[1] << 24 | c[2] << 48;  // little-endian: the bytes in order
        const std::uint64_t w1 = c[2] >> 16 | c[3] << 8 | c[4] << 32 | c[5] << 56;
        const std::uint64_t w2 = c[5] >> 8 | c[6] << 16 | c[7] << 40;
        std::memcpy(out, &w0, 8);
        std::memcpy(out + 8, &w1, 8);
        std::memcpy(out + 16, &w2, 8);
    }
    for (; x < n; ++x, out += 3) {
        const std::uint32_t colour = one(x);
        std::memcpy(out, &colour, 3);
    }
}

// The image bytes of the pixels in every byte value of a 1 or 4-bit file, made on the first load and
// kept while the colours stay the same, as they do for every load of one picture: a file byte then costs
// one look-up and a copy of 24 bytes (eight pixels) or 6 (two), instead of a look-up per pixel.
const BYTE* BytePixels(const RowDecoder& d, unsigned bpp) {
    thread_local std::vector<BYTE> pixels;
    thread_local unsigned kept_bpp = 0;
    thread_local std::uint32_t kept_colours[16];
    const unsigned levels = 1u << bpp, per_byte = 8 / bpp, entry = bpp == 1 ? 24 : 8;
    if (kept_bpp != bpp || !std::equal(d.colours, d.colours + levels, kept_colours)) {
        pixels.assign(256 * entry, 0);
        for (unsigned value = 0; value < 256; ++value) {
            const BYTE byte[1] = {static_cast<BYTE>(value)};
            for (unsigned x = 0; x < per_byte; ++x) {
                const std::uint32_t colour = d.colours[BmpIndexAt(byte, x, bpp)];
                std::memcpy(&pixels[value * entry + 3 * x], &colour, 3);
            }
        }
        kept_bpp = bpp;
        std::copy(d.colours, d.colours + levels, kept_colours);
    }
    return pixels.data();
}

void DecodeIndexed8(const RowDecoder& d, LONG width, const BYTE* in, BYTE* out) {
    WriteRow24(
        width, out,
        [&](std::uint64_t x, std::uint64_t c[8]) {
            for (int k = 0; k < 8; ++k) c[k] = d.colours[in[x + k]];
        },
        [&](std::uint64_t x) { return d.colours[in[x]]; });
}

void Decode16(const RowDecoder& d, LONG width, const BYTE* in, BYTE* out) {
    WriteRow24(
        width, out,
        [&](std::uint64_t x, std::uint64_t c[8]) {
            const std::uint64_t first = ReadLe64(in + 2 * x), second = ReadLe64(in + 2 * x + 8);
            for (int k = 0; k < 4; ++k) {
                c[k] = d.colours16[(first >> 16 * k) & 0xFFFF];
                c[4 + k] = d.colours16[(second >> 16 * k) & 0xFFFF];
            }
        },
        [&](std::uint64_t x) { return d.colours16[ReadLe16(in + 2 * x)]; });
}

// 1 and 4-bit rows a file byte at a time; the pixels of a last byte that is not all the row's are
// written one by one, so that nothing is written past the row.
template <unsigned kBpp>
void DecodePacked(const RowDecoder& d, LONG width, const BYTE* in, BYTE* out) {
    constexpr unsigned kPerByte = 8 / kBpp, kEntry = kBpp == 1 ? 24 : 8;
    const auto n = static_cast<std::uint64_t>(width);
    const std::uint64_t whole = n / kPerByte;
    std::uint64_t i = 0;
    if constexpr (kBpp == 4) {
        // Two file bytes, four pixels, twelve image bytes: packed into two words, as WriteRow24 does.
        for (; i + 2 <= whole; i += 2, out += 12) {
            std::uint64_t p0, p1;
            std::memcpy(&p0, d.byte_pixels + in[i] * kEntry, 8);
            std::memcpy(&p1, d.byte_pixels + in[i + 1] * kEntry, 8);
            const std::uint64_t low = p0 | p1 << 48;
            const auto high = static_cast<std::uint32_t>(p1 >> 16);
            std::memcpy(out, &low, 8);
            std::memcpy(out + 8, &high, 4);
        }
    }
    for (; i < whole; ++i, out += 3 * kPerByte) std::memcpy(out, d.byte_pixels + in[i] * kEntry, 3 * kPerByte);
    for (std::uint64_t x = whole * kPerByte; x < n; ++x, out += 3)
        std::memcpy(out, &d.colours[BmpIndexAt(in, x, kBpp)], 3);
}

// Widening a channel of b bits (1 to 8, its top value 2^b − 1) to a byte, (v · 255 + top / 2) / top,
// is (v · multiply + add) >> scale for every v up to top, with v · multiply + add below 2^16: a multiply
// and shifts in 16-bit lanes instead of a division. Found by search, and checked against the
// definition for every value by the decoding tests.
constexpr RowDecoder::Widening16 kWidening[9] = {
    {},
    {0, 1, 255, 0, 0},
    {0, 3, 85, 0, 0},
    {0, 7, 73, 0, 1},
    {0, 15, 17, 0, 0},
    {0, 31, 527, 23, 6},
    {0, 63, 259, 33, 6},
    {0, 127, 129, 0, 6},
    {0, 255, 1, 0, 0},
};

// One 16-bit pixel's colour word by that arithmetic, for the fast path's rows of fewer than sixteen pixels.
inline std::uint32_t Widened16(const RowDecoder& d, std::uint32_t pixel) {
    std::uint32_t colour = 0;
    for (int c = 0; c < 3; ++c) {
        const RowDecoder::Widening16& w = d.widening[c];
        const std::uint32_t v = pixel >> w.shift & w.top;
        colour |= ((v * w.multiply + w.add) & 0xFFFF) >> w.scale << 8 * c;
    }
    return colour;
}

#if KS_FAST_PATHS
// One channel's widening as vectors, made once per row: the decoder is read through a reference, and
// the compiler cannot tell that the image bytes stored do not change it.
struct WideningLanes {
    simd::V128 shift, scale;
    simd::V256 top, multiply, add;
};

KS_AVX2 inline WideningLanes LanesOf(const RowDecoder::Widening16& w) {
    using namespace simd;
    return {ShiftCount(w.shift), ShiftCount(w.scale), Every16x16(static_cast<std::int16_t>(w.top)),
            Every16x16(static_cast<std::int16_t>(w.multiply)), Every16x16(static_cast<std::int16_t>(w.add))};
}

KS_AVX2 inline simd::V256 Widened(simd::V256 pixels, const WideningLanes& w) {
    using namespace simd;
    return ShiftRight16(Add16(MulLow16(And(ShiftRight16(pixels, w.shift), w.top), w.multiply), w.add), w.scale);
}

// Sixteen pixels from `in` to 48 image bytes at `out`.
KS_AVX2 inline void WidenSixteen(const WideningLanes w[3], const simd::V256 order[4], const BYTE* in, BYTE* out) {
    using namespace simd;
    const V256 pixels = Load256(in);
    const V256 pairs = Or(Widened(pixels, w[0]), ShiftLeft16(Widened(pixels, w[1]), 8));
    const V256 red = Widened(pixels, w[2]);
    const V256 low = Or(PickBytes(pairs, order[0]), PickBytes(red, order[1]));
    const V256 high = Or(PickBytes(pairs, order[2]), PickBytes(red, order[3]));
    Store128(out, LowHalf(low));
    Store64(out + 16, LowHalf(high));
    Store128(out + 24, HighHalf(low));
    Store64(out + 40, HighHalf(high));
}

// The fast path for 16-bit files whose channels are runs of at most 8 bits: sixteen pixels at a time,
// each channel widened in 16-bit lanes as above, blue and green then side by side in one lane and red in
// another, and the three bytes of each pixel picked out of those into 48 image bytes.
KS_AVX2 void Decode16Fast(const RowDecoder& d, LONG width, const BYTE* in, BYTE* out) {
    using namespace simd;
    // Per eight pixels (a 128-bit half): blue-green pairs in bytes 2k, 2k + 1 of one vector, red in byte
    // 2k of another; image bytes 0-15 and 16-23 of the eight pixels.
    static constexpr std::int8_t kPairsLow[32] = {0, 1, -1, 2, 3, -1, 4, 5, -1, 6, 7, -1, 8, 9, -1, 10,
                                                  0, 1, -1, 2, 3, -1, 4, 5, -1, 6, 7, -1, 8, 9, -1, 10};
    static constexpr std::int8_t kRedLow[32] = {-1, -1, 0, -1, -1, 2, -1, -1, 4, -1, -1, 6, -1, -1, 8, -1,
                                                -1, -1, 0, -1, -1, 2, -1, -1, 4, -1, -1, 6, -1, -1, 8, -1};
    static constexpr std::int8_t kPairsHigh[32] = {11, -1, 12, 13, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                                   11, -1, 12, 13, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    static constexpr std::int8_t kRedHigh[32] = {-1, 10, -1, -1, 12, -1, -1, 14, -1, -1, -1, -1, -1, -1, -1, -1,
                                                 -1, 10, -1, -1, 12, -1, -1, 14, -1, -1, -1, -1, -1, -1, -1, -1};
    const V256 order[4] = {Load256(kPairsLow), Load256(kRedLow), Load256(kPairsHigh), Load256(kRedHigh)};
    const WideningLanes w[3] = {LanesOf(d.widening[0]), LanesOf(d.widening[1]), LanesOf(d.widening[2])};
    const auto n = static_cast<std::uint64_t>(width);
    if (n < 16) {
        for (std::uint64_t x = 0; x < n; ++x) {
            const std::uint32_t colour = Widened16(d, ReadLe16(in + 2 * x));
            std::memcpy(out + 3 * x, &colour, 3);
        }
        return;
    }
    // A last group that would reach past the row overlaps the one before, writing some pixels twice.
    for (std::uint64_t x = 0; x < n; x += 16) {
        const std::uint64_t at = std::min(x, n - 16);
        WidenSixteen(w, order, in + 2 * at, out + 3 * at);
    }
}
#endif  // KS_FAST_PATHS

}  // namespace

// The fast path takes 16-bit channels that are runs of at most 8 bits, or absent.
bool DecodesAtCopySpeed(const BmpLayout& l) {
    if (l.bpp != 16 || !UseFastPaths()) return false;
    for (int c = 0; c < 3; ++c) {
        const DWORD top = l.masks[c] == 0 ? 0 : l.masks[c] >> std::countr_zero(l.masks[c]);
        if ((top & (top + 1)) != 0 || top > 255) return false;
    }
    return true;
}

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
    d.fast16 = DecodesAtCopySpeed(l);
    for (int c = 0; c < 3 && d.fast16; ++c) {
        const DWORD mask = l.masks[2 - c];  // blue, green, red
        if (mask == 0) continue;            // widens every value to 0
        d.widening[c] = kWidening[std::popcount(mask)];
        d.widening[c].shift = static_cast<std::uint16_t>(std::countr_zero(mask));
    }
    if (l.bpp == 1 || l.bpp == 4) d.byte_pixels = BytePixels(d, l.bpp);
    return d;
}

void DecodeRow(const BmpLayout& l, const RowDecoder& d, const BYTE* in, BYTE* out) {
    switch (l.bpp) {
    case 1: DecodePacked<1>(d, l.width, in, out); return;
    case 4: DecodePacked<4>(d, l.width, in, out); return;
    case 8: DecodeIndexed8(d, l.width, in, out); return;
    case 16:
#if KS_FAST_PATHS
        if (d.fast16) {
            Decode16Fast(d, l.width, in, out);
            return;
        }
#endif
        Decode16(d, l.width, in, out);
        return;
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
