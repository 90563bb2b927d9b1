#include "row_decode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "fast_paths.h"
#include "simd.h"

namespace {

static_assert(std::endian::native == std::endian::little, "colour words are stored as their bytes B, G, R");

// File row y of a span, and its image row.
const BYTE* RowIn(const RowSpan& rows, LONG y) { return rows.in + static_cast<std::size_t>(y) * rows.in_stride; }
BYTE* RowOut(const RowSpan& rows, LONG y) { return rows.out + static_cast<std::ptrdiff_t>(y) * rows.out_stride; }

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

// One channel of a 16-bit pixel by the fast path's arithmetic (see RowDecoder::Widening16), for its plan's
// check and for rows of fewer than sixteen pixels. With v · 2^k and multiply below 2^15 it is what a
// rounding multiply of signed 16-bit lanes gives.
inline BYTE Widened16(const RowDecoder::Widening16& w, std::uint32_t pixel) {
    const std::uint32_t lane = w.high ? pixel >> 8 : pixel;
    const std::uint32_t v = (lane * w.factor) & w.mask;  // the mask is below 2^15: the product kept to 16 bits
    return static_cast<BYTE>((v * w.multiply + (1u << 14)) >> 15);
}

// Widening a channel of b bits (top = 2^b − 1) to a byte, (v · 255 + top / 2) / top, is
// (v · 2^k · multiply + 2^14) >> 15 with a multiply near 255 · 2^(15 − k) / top, for each b from some
// least k on (below it the 15 bits of the multiplier cannot hold the slope finely enough) up to 15 − b
// (v · 2^k must stay below 2^15). A multiply of the lane shifts the channel up to bit k, never down, so
// the channel must sit at or below k: in the pixel, or in its high byte taken alone. The plan tries both,
// each k from the lowest and the two multipliers about the exact slope, and keeps the first that widens
// every value as Channel does; a channel that no placement fits (6 bits from bit 6 or 7, say) is left to
// the look-ups.
bool PlanWidening16(DWORD mask, RowDecoder::Widening16* w) {
    *w = {};
    if (mask == 0) return true;  // every value widens to 0
    const int shift = std::countr_zero(mask), bits = std::popcount(mask);
    const DWORD top = mask >> shift;
    if (bits > 8 || (top & (top + 1)) != 0 || mask > 0xFFFF) return false;
    for (const bool high : {false, true}) {
        const int at = high ? shift - 8 : shift;  // the channel's lowest bit in the lane
        if (at < 0) continue;
        for (int k = at; k + bits <= 15; ++k) {
            const std::uint32_t slope = 255u << (15 - k);
            for (const std::uint32_t multiply : {slope / top, slope / top + 1}) {
                if (multiply >= 1u << 15) continue;
                const RowDecoder::Widening16 c{high, static_cast<std::uint16_t>(1u << (k - at)),
                                               static_cast<std::uint16_t>(top << k),
                                               static_cast<std::uint16_t>(multiply)};
                bool exact = true;
                for (DWORD v = 0; v <= top && exact; ++v) exact = Widened16(c, v << shift) == Channel(v << shift, mask);
                if (exact) {
                    *w = c;
                    return true;
                }
            }
        }
    }
    return false;
}

// The fast path's plan for one set of masks: whether every channel has one, and the constants of each
// channel and of each lane. Made on the first 16-bit load and kept while the masks stay the same, as they
// do for every load of one picture: its checks divide for every value of every channel.
struct Plan16 {
    bool fast = false;
    RowDecoder::Widening16 widening[3];  // blue, green, red
    RowDecoder::Lanes16 lanes[3];
};

const Plan16& PlanOf(const BmpLayout& l) {
    thread_local Plan16 plan;
    thread_local DWORD masks[3] = {0, 0, 0};
    thread_local bool made = false;
    if (made && std::equal(masks, masks + 3, l.masks)) return plan;
    plan = {};
    plan.fast = true;
    for (int c = 0; c < 3; ++c) plan.fast = plan.fast && PlanWidening16(l.masks[2 - c], &plan.widening[c]);
    // Image byte o of sixteen pixels (o < 48) is channel o % 3 of pixel o / 3. Vector j makes, in lane i
    // of half h, image byte 24h + 8j + i: narrowing vectors 0 and 1 together gives bytes 0-15 and 24-39,
    // vector 2 with itself 16-23 and 40-47. Each lane's pixel then lies in its half of the pixels loaded.
    for (int j = 0; j < 3 && plan.fast; ++j) {
        for (int h = 0; h < 2; ++h) {
            for (int i = 0; i < 8; ++i) {
                const int o = 24 * h + 8 * j + i, lane = 8 * h + i, at = 2 * (o / 3 - 8 * h);
                const RowDecoder::Widening16& w = plan.widening[o % 3];
                RowDecoder::Lanes16& lanes = plan.lanes[j];
                lanes.order[2 * lane] = static_cast<std::int8_t>(w.high ? at + 1 : at);
                lanes.order[2 * lane + 1] = static_cast<std::int8_t>(w.high ? -1 : at + 1);
                lanes.factor[lane] = static_cast<std::int16_t>(w.factor);
                lanes.mask[lane] = static_cast<std::int16_t>(w.mask);
                lanes.multiply[lane] = static_cast<std::int16_t>(w.multiply);
            }
        }
    }
    std::copy(l.masks, l.masks + 3, masks);
    made = true;
    return plan;
}

#if KS_FAST_PATHS
// The fast path for 16-bit files whose every channel has a plan: sixteen pixels at a time, in three vectors
// of sixteen 16-bit lanes, one lane an image byte: its pixel's bytes picked into it, multiplied, masked and
// multiplied with rounding as its channel's plan says (RowDecoder::Lanes16), then narrowed to bytes.
KS_AVX2 void Decode16Fast(const RowDecoder& d, LONG width, const RowSpan& rows) {
    using namespace simd;
    const auto n = static_cast<std::uint64_t>(width);
    if (n < 16) {
        for (LONG y = 0; y < rows.count; ++y) {
            const BYTE* in = RowIn(rows, y);
            BYTE* out = RowOut(rows, y);
            for (std::uint64_t x = 0; x < n; ++x) {
                const std::uint32_t pixel = ReadLe16(in + 2 * x);
                for (int c = 0; c < 3; ++c) out[3 * x + c] = Widened16(d.widening[c], pixel);
            }
        }
        return;
    }
    V256 order[3], factor[3], mask[3], multiply[3];
    for (int j = 0; j < 3; ++j) {
        order[j] = Load256(d.lanes[j].order);
        factor[j] = Load256(d.lanes[j].factor);
        mask[j] = Load256(d.lanes[j].mask);
        multiply[j] = Load256(d.lanes[j].multiply);
    }
    for (LONG y = 0; y < rows.count; ++y) {
        const BYTE* in = RowIn(rows, y);
        BYTE* out = RowOut(rows, y);
        // A last group that would reach past the row overlaps the one before, writing some pixels twice.
        for (std::uint64_t x = 0; x < n; x += 16) {
            const std::uint64_t at = std::min(x, n - 16);
            const V256 pixels = Load256(in + 2 * at);
            V256 bytes[3];
            for (int j = 0; j < 3; ++j)
                bytes[j] =
                    MulHighRounded16(And(MulLow16(PickBytes(pixels, order[j]), factor[j]), mask[j]), multiply[j]);
            const V256 first = NarrowToBytes(bytes[0], bytes[1]);  // image bytes 0-15 | 24-39
            const V256 third = NarrowToBytes(bytes[2], bytes[2]);  // 16-23 twice | 40-47 twice
            BYTE* o = out + 3 * at;
            Store128(o, LowHalf(first));
            Store64(o + 16, LowHalf(third));
            Store128(o + 24, HighHalf(first));
            Store64(o + 40, HighHalf(third));
        }
    }
}

// Where each of the 192 image bytes of 64 pixels comes from in the fast path for 8-bit rows: image byte
// g is channel g % 3 of pixel g / 3. Vector j holds bytes 64j to 64j + 63; one permute over the blue
// and green lanes gives byte k pixel p's blue (p) or green (64 + p), a second puts red lane p where the
// byte is red.
struct Interleave3 {
    BYTE blue_green[3][64] = {};
    BYTE red[3][64] = {};
    std::uint64_t red_lanes[3] = {};
};

constexpr Interleave3 MakeInterleave3() {
    Interleave3 t;
    for (int g = 0; g < 192; ++g) {
        const int j = g / 64, k = g % 64, pixel = g / 3, channel = g % 3;
        if (channel == 2) {
            t.red[j][k] = static_cast<BYTE>(pixel);
            t.red_lanes[j] |= std::uint64_t{1} << k;
        } else {
            t.blue_green[j][k] = static_cast<BYTE>(64 * channel + pixel);
        }
    }
    return t;
}
constexpr Interleave3 kInterleave3 = MakeInterleave3();

// The image bytes of 64 palette indices: each channel's byte by two permutes over half the table each
// and a choice by the index's top bit, then the three channels interleaved.
struct Tables8 {
    simd::V512 channel[3][4];  // 64 entries a register
    simd::V512 blue_green[3], red[3];
};

KS_BYTE_TABLES_INLINE void LookUp64(const Tables8& t, simd::V512 indices, simd::V512 bytes[3]) {
    using namespace simd;
    const Mask64 upper = ByteSigns(indices);  // indices from 128 on
    V512 channel[3];
    for (int c = 0; c < 3; ++c) {
        channel[c] = Choose8(upper, PickBytes128(t.channel[c][0], indices, t.channel[c][1]),
                             PickBytes128(t.channel[c][2], indices, t.channel[c][3]));
    }
    for (int j = 0; j < 3; ++j) {
        bytes[j] = PickBytesInto(PickBytes128(channel[0], t.blue_green[j], channel[1]), kInterleave3.red_lanes[j],
                                 t.red[j], channel[2]);
    }
}

// The tables and the interleaving's constants, in registers for a row.
KS_BYTE_TABLES_INLINE Tables8 TablesOf(const RowDecoder& d) {
    using namespace simd;
    Tables8 t;
    for (int c = 0; c < 3; ++c) {
        for (int q = 0; q < 4; ++q) t.channel[c][q] = Load512(d.channel_bytes[c] + 64 * q);
    }
    for (int j = 0; j < 3; ++j) {
        t.blue_green[j] = Load512(kInterleave3.blue_green[j]);
        t.red[j] = Load512(kInterleave3.red[j]);
    }
    return t;
}

// The image bytes of `count` pixels (at most 64) from LookUp64: whole vectors where all 64 are the
// row's, else through masks, so that nothing past the row is written.
KS_BYTE_TABLES_INLINE void StorePixels(BYTE* out, const simd::V512 bytes[3], std::uint64_t count) {
    using namespace simd;
    for (std::uint64_t j = 0; j < 3; ++j) {
        if (count == 64) {
            Store512(out + 64 * j, bytes[j]);
        } else {
            StoreFirst512(out + 64 * j, bytes[j], 3 * count > 64 * j ? 3 * count - 64 * j : 0);
        }
    }
}

// The fast path for 8-bit rows where the processor has the byte permutes: 64 pixels at a time, a last
// group of fewer loaded through a mask, so that nothing past the row is read.
KS_BYTE_TABLES void Decode8Fast(const RowDecoder& d, LONG width, const RowSpan& rows) {
    using namespace simd;
    const Tables8 t = TablesOf(d);
    const auto n = static_cast<std::uint64_t>(width);
    for (LONG y = 0; y < rows.count; ++y) {
        const BYTE* in = RowIn(rows, y);
        BYTE* out = RowOut(rows, y);
        for (std::uint64_t x = 0; x < n; x += 64, out += 192) {
            const std::uint64_t count = std::min<std::uint64_t>(64, n - x);
            V512 bytes[3];
            LookUp64(t, count == 64 ? Load512(in + x) : LoadFirst512(in + x, count), bytes);
            StorePixels(out, bytes, count);
        }
    }
}

// Where pixel p of the 64 in half h of 64 4-bit file bytes' 128 lies once its nibbles are set apart:
// byte (64h + p) / 2 of the high nibbles (p even, the first pixel of its byte) or of the low (p odd).
struct NibbleOrder {
    BYTE order[2][64] = {};
};

constexpr NibbleOrder MakeNibbleOrder() {
    NibbleOrder t;
    for (int h = 0; h < 2; ++h) {
        for (int p = 0; p < 64; ++p) t.order[h][p] = static_cast<BYTE>((p % 2 == 0 ? 0 : 64) + (64 * h + p) / 2);
    }
    return t;
}
constexpr NibbleOrder kNibbleOrder = MakeNibbleOrder();

// The fast path for 4-bit rows: 128 pixels at a time, each file byte's two indices set apart and put
// in the order of the pixels, then looked up as 8-bit indices are.
KS_BYTE_TABLES void Decode4Fast(const RowDecoder& d, LONG width, const RowSpan& rows) {
    using namespace simd;
    const Tables8 t = TablesOf(d);
    const V512 order[2] = {Load512(kNibbleOrder.order[0]), Load512(kNibbleOrder.order[1])};
    const V512 nibble = Every8x64(0x0F);
    const auto n = static_cast<std::uint64_t>(width);
    for (LONG y = 0; y < rows.count; ++y) {
        const BYTE* in = RowIn(rows, y);
        BYTE* out = RowOut(rows, y);
        for (std::uint64_t x = 0; x < n; x += 128, in += 64, out += 384) {
            const std::uint64_t count = std::min<std::uint64_t>(128, n - x);
            const V512 packed = count == 128 ? Load512(in) : LoadFirst512(in, (count + 1) / 2);
            const V512 high = And(ShiftRight16(packed, 4), nibble), low = And(packed, nibble);
            for (std::uint64_t h = 0; h < 2 && 64 * h < count; ++h) {
                V512 bytes[3];
                LookUp64(t, PickBytes128(high, order[h], low), bytes);
                StorePixels(out + 192 * h, bytes, std::min<std::uint64_t>(64, count - 64 * h));
            }
        }
    }
}

// Where pixel k of 64 1-bit pixels lies in their 8 bytes, read as a little-endian word: bit 7 − k % 8 of
// byte k / 8, the first pixel of a byte in its top bit.
struct BitOrder {
    BYTE at[64] = {};
};

constexpr BitOrder MakeBitOrder() {
    BitOrder t;
    for (int k = 0; k < 64; ++k) t.at[k] = static_cast<BYTE>(8 * (k / 8) + 7 - k % 8);
    return t;
}
constexpr BitOrder kBitOrder = MakeBitOrder();

// The fast path for 1-bit rows: 64 pixels at a time, each byte lane given its pixel's bit from the
// 8 file bytes (repeated in every 64-bit lane) by one shift of bytes, then looked up as 8-bit indices are.
KS_BYTE_TABLES void Decode1Fast(const RowDecoder& d, LONG width, const RowSpan& rows) {
    using namespace simd;
    const Tables8 t = TablesOf(d);
    const V512 at = Load512(kBitOrder.at), bit = Every8x64(1);
    const auto n = static_cast<std::uint64_t>(width);
    for (LONG y = 0; y < rows.count; ++y) {
        const BYTE* in = RowIn(rows, y);
        BYTE* out = RowOut(rows, y);
        for (std::uint64_t x = 0; x < n; x += 64, in += 8, out += 192) {
            const std::uint64_t count = std::min<std::uint64_t>(64, n - x);
            std::uint64_t packed = 0;  // a last group's bytes alone, so that nothing past the row is read
            std::memcpy(&packed, in, count == 64 ? 8 : (count + 7) / 8);
            V512 bytes[3];
            LookUp64(t, And(ShiftedBytes(at, Every64x8(packed)), bit), bytes);
            StorePixels(out, bytes, count);
        }
    }
}

// Where each of the 192 image bytes of 64 16-bit pixels comes from in the look-ups of 16-bit rows: image
// byte g is channel g % 3 of pixel g / 3. Each 64-bit lane of vector j (image bytes 64j to 64j + 63) is
// given the up to four pixels its eight bytes take, first the one of its first byte (`pixels`: bytes of
// the 128 of 64 pixels, vector 0's all among the first 64 and vector 2's among the second, taken % 64);
// each byte lane then takes the 8 bits from its pixel's place in the lane (`at`, 16 · place) and its
// channel's lowest bit on, and looks them up in its channel's table, chosen by `green_lanes` and
// `red_lanes`.
struct Fields16 {
    BYTE pixels[3][64] = {};
    BYTE at[3][64] = {};
    std::uint64_t green_lanes[3] = {}, red_lanes[3] = {};
};

constexpr Fields16 MakeFields16() {
    Fields16 t;
    for (int g = 0; g < 192; ++g) {
        const int j = g / 64, k = g % 64, first = (g - k % 8) / 3;      // the pixel of the lane's first byte
        t.pixels[j][k] = static_cast<BYTE>((2 * first + k % 8) % 128);  // pixel 64, past the group: never taken
        t.at[j][k] = static_cast<BYTE>(16 * (g / 3 - first));
        if (g % 3 == 1) t.green_lanes[j] |= std::uint64_t{1} << k;
        if (g % 3 == 2) t.red_lanes[j] |= std::uint64_t{1} << k;
    }
    return t;
}
constexpr Fields16 kFields16 = MakeFields16();

// Whether channels a and b have the same table of 64 bytes.
bool SameTable64(const RowDecoder& d, int a, int b) {
    return std::equal(d.channel_bytes[a], d.channel_bytes[a] + 64, d.channel_bytes[b]);
}

// The fast path for 16-bit rows whose channels each lie within six bits (FitsSixBits) where the
// processor has the byte permutes: 64 pixels at a time, each image byte the six bits from its channel's
// lowest on, looked up in the channel's table of 64 (which gives the same byte for every value of the
// bits above the channel's, another channel's), five operations for 64 image bytes where the widening
// takes about twenty for 48. Channels of the same width have the same table, and a table is looked up
// once for all the lanes that take it: 5-5-5 pixels cost three operations for 64 image bytes, 5-6-5
// four (5-5-5 rows in the caches: 10 % less time than with three look-ups a vector).
KS_BYTE_TABLES void Decode16Tables(const RowDecoder& d, LONG width, const RowSpan& rows) {
    using namespace simd;
    // The lanes that take green's table and red's, none where it is blue's, red's with green's where
    // those two are the same.
    const bool green_own = !SameTable64(d, 1, 0), red_own = !SameTable64(d, 2, 0);
    const bool red_as_green = green_own && red_own && SameTable64(d, 2, 1);
    std::uint64_t green_lanes[3], red_lanes[3];
    for (int j = 0; j < 3; ++j) {
        green_lanes[j] = (green_own ? kFields16.green_lanes[j] : 0) | (red_as_green ? kFields16.red_lanes[j] : 0);
        red_lanes[j] = red_own && !red_as_green ? kFields16.red_lanes[j] : 0;
    }
    // Each channel's lowest bit (below 16, so that 16 · place + it is the bit to take from), blue first.
    const V512 lowest[3] = {Every8x64(static_cast<std::int8_t>(d.shifts[2])),
                            Every8x64(static_cast<std::int8_t>(d.shifts[1])),
                            Every8x64(static_cast<std::int8_t>(d.shifts[0]))};
    V512 table[3], pixels[3], at[3];
    for (int j = 0; j < 3; ++j) {
        table[j] = Load512(d.channel_bytes[j]);
        pixels[j] = Load512(kFields16.pixels[j]);
        at[j] = Or(Load512(kFields16.at[j]),
                   Choose8(kFields16.red_lanes[j], Choose8(kFields16.green_lanes[j], lowest[0], lowest[1]), lowest[2]));
    }
    const auto n = static_cast<std::uint64_t>(width);
    for (LONG y = 0; y < rows.count; ++y) {
        const BYTE* in = RowIn(rows, y);
        BYTE* out = RowOut(rows, y);
        for (std::uint64_t x = 0; x < n; x += 64, in += 128, out += 192) {
            const std::uint64_t count = std::min<std::uint64_t>(64, n - x), bytes_in = 2 * count;
            // Loaded through masks even when whole: a plain load the compiler folded into each permute that
            // reads the register, four loads of the same bytes a step across two or three cache lines, which
            // took the decode right after the file's read from 45 to 54 µs at 1024 × 768 (six: 73 µs).
            const V512 first = LoadFirst512(in, std::min<std::uint64_t>(64, bytes_in));
            const V512 second = LoadFirst512(in + 64, bytes_in > 64 ? bytes_in - 64 : 0);
            const V512 picked[3] = {PickBytes64(first, pixels[0]), PickBytes128(first, pixels[1], second),
                                    PickBytes64(second, pixels[2])};
            V512 bytes[3];
            for (int j = 0; j < 3; ++j) {
                const V512 fields = ShiftedBytes(at[j], picked[j]);
                bytes[j] = PickBytes64(table[0], fields);
                if (green_lanes[j] != 0) bytes[j] = PickBytesInto(bytes[j], green_lanes[j], fields, table[1]);
                if (red_lanes[j] != 0) bytes[j] = PickBytesInto(bytes[j], red_lanes[j], fields, table[2]);
            }
            StorePixels(out, bytes, count);
        }
    }
}

// The fast path for 32-bit rows whose fields are whole bytes (FieldsAreBytes): eight pixels a step, each
// image byte picked from its pixel's four by one shuffle of bytes, or zeroed; a row's last pixels loaded
// and stored through masks of whole pixels, so that nothing past the row is read or written.
KS_AVX2 void Decode32Bytes(const RowDecoder& d, LONG width, const RowSpan& rows) {
    using namespace simd;
    const V256 order = Load256(d.byte_order);
    const auto n = static_cast<std::uint64_t>(width), whole = n / 8 * 8;
    for (LONG y = 0; y < rows.count; ++y) {
        const BYTE* in = RowIn(rows, y);
        BYTE* out = RowOut(rows, y);
        for (std::uint64_t x = 0; x < whole; x += 8) Store256(out + 4 * x, PickBytes(Load256(in + 4 * x), order));
        if (whole < n) {
            StoreFirst256x32(out + 4 * whole, PickBytes(LoadFirst256x32(in + 4 * whole, n - whole), order), n - whole);
        }
    }
}
#endif  // KS_FAST_PATHS

}  // namespace

// Whether every channel of a 16-bit file lies within six bits from its lowest, so that the look-ups'
// tables of 64 take all its values.
bool FitsSixBits(const BmpLayout& l) {
    return std::all_of(l.masks, l.masks + 3,
                       [](DWORD mask) { return mask == 0 || (mask >> std::countr_zero(mask)) < 64; });
}

// Whether the decoder looks up the rows' image bytes in its channel tables (RowDecoder::looks_up).
bool LooksUpBytes(const BmpLayout& l) {
    if (l.bpp <= 8) return l.compression == BI_RGB && UseByteTables();
    return l.bpp == 16 && UseByteTables() && FitsSixBits(l);
}

bool FieldsAreBytes(const BmpLayout& l) {
    return l.bpp == 32 && std::all_of(l.masks, l.masks + 4, [](DWORD mask) {
               return mask == 0 || (std::popcount(mask) == 8 && std::countr_zero(mask) % 8 == 0);
           });
}

bool DecodesToItself(const BmpLayout& l) {
    constexpr DWORD kInByteOrder[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};  // red, green, blue
    return l.bpp == 32 && std::equal(l.masks, l.masks + 3, kInByteOrder) &&
           (l.masks[3] == 0xFF000000 || l.masks[3] == 0);
}

bool DecodesAtCopySpeed(const BmpLayout& l) {
    return LooksUpBytes(l) || (l.bpp == 16 && UseFastPaths() && PlanOf(l).fast);
}

RowDecoder MakeRowDecoder(const BmpLayout& l, const BYTE* palette) {
    RowDecoder d;
    d.bytes32 = UseFastPaths() && FieldsAreBytes(l);
    if (d.bytes32) {
        constexpr int kField[4] = {2, 1, 0, 3};  // the field of image bytes blue, green, red, alpha
        for (int b = 0; b < 32; ++b) {
            // The stored byte this image byte takes: its field's; without an alpha field, the fourth (as the
            // definition keeps it); none (0) for an absent colour.
            const int field = kField[b % 4];
            const DWORD mask = l.masks[field];
            const int stored = mask != 0 ? std::countr_zero(mask) / 8 : field == 3 ? 3 : -1;
            d.byte_order[b] = stored < 0 ? std::int8_t{-128} : static_cast<std::int8_t>(b % 16 / 4 * 4 + stored);
        }
    }
    for (DWORD i = 0; i < l.palette_count && i < 256; ++i) {
        const BYTE* entry = palette + i * l.palette_entry_size;
        d.colours[i] = std::uint32_t{entry[0]} | std::uint32_t{entry[1]} << 8 | std::uint32_t{entry[2]} << 16;
    }
    for (int c = 0; c < 4; ++c) {
        const DWORD mask = l.masks[c];
        // The fast path for fields that are bytes needs no tables (the definition then widens each pixel's
        // channels by themselves): made for every load, they took a tenth of it at 300 × 200.
        if (mask == 0 || std::popcount(mask) > kWidestTabledMask || d.bytes32) continue;
        d.shifts[c] = std::countr_zero(mask);
        const DWORD top = mask >> d.shifts[c];
        d.channels[c].resize(std::size_t{top} + 1);
        for (DWORD v = 0; v <= top; ++v) d.channels[c][v] = Channel(v << d.shifts[c], mask);
    }
    d.looks_up = LooksUpBytes(l);
    if (d.looks_up && l.bpp <= 8) {
        for (int i = 0; i < 256; ++i) {
            for (int c = 0; c < 3; ++c) d.channel_bytes[c][i] = static_cast<BYTE>(d.colours[i] >> 8 * c);
        }
    }
    if (d.looks_up && l.bpp == 16) {
        for (int c = 0; c < 3; ++c) {
            for (DWORD i = 0; i < 64; ++i) d.channel_bytes[c][i] = ChannelOf(d, l, 2 - c, i << d.shifts[2 - c]);
        }
    }
    if (l.bpp == 16) d.colours16 = Colours16(d, l);
    d.fast16 = l.bpp == 16 && UseFastPaths() && PlanOf(l).fast;
    if (d.fast16) {
        const Plan16& plan = PlanOf(l);
        std::copy(plan.widening, plan.widening + 3, d.widening);
        std::copy(plan.lanes, plan.lanes + 3, d.lanes);
    }
    if (l.bpp == 1 || l.bpp == 4) d.byte_pixels = BytePixels(d, l.bpp);
    return d;
}

namespace {

// One row by the definitions.
void DecodeRow(const BmpLayout& l, const RowDecoder& d, const BYTE* in, BYTE* out) {
    switch (l.bpp) {
    case 1: DecodePacked<1>(d, l.width, in, out); return;
    case 4: DecodePacked<4>(d, l.width, in, out); return;
    case 8: DecodeIndexed8(d, l.width, in, out); return;
    case 16: Decode16(d, l.width, in, out); return;
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
        // Without an alpha field the fourth byte is kept as stored, as in a plain 32-bit picture and as
        // the platform's loader keeps a file's bits.
        out[3] = l.masks[3] != 0 ? ChannelOf(d, l, 3, pixel) : static_cast<BYTE>(pixel >> 24);
    }
}

}  // namespace

void DecodeRows(const BmpLayout& l, const RowDecoder& d, const RowSpan& rows) {
#if KS_FAST_PATHS
    // The fast paths the decoder has taken; the definitions otherwise.
    if (d.looks_up) {
        if (l.bpp == 8) return Decode8Fast(d, l.width, rows);
        if (l.bpp == 4) return Decode4Fast(d, l.width, rows);
        if (l.bpp == 1) return Decode1Fast(d, l.width, rows);
        if (l.bpp == 16) return Decode16Tables(d, l.width, rows);
    }
    if (d.fast16) return Decode16Fast(d, l.width, rows);
    if (d.bytes32) return Decode32Bytes(d, l.width, rows);
#endif
    for (LONG y = 0; y < rows.count; ++y) DecodeRow(l, d, RowIn(rows, y), RowOut(rows, y));
}
