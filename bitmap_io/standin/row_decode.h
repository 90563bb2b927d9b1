// Turning the rows of a BMP file into the rows of the image the stand-in's loader makes: 24-bit pixels
// from palette indices of 1, 4 and 8 bits and from 16-bit pixels, 32-bit pixels from 32-bit ones with
// channel masks; plain 24 and 32-bit rows are copied as they are.
#ifndef BITMAP_IO_STANDIN_ROW_DECODE_H
#define BITMAP_IO_STANDIN_ROW_DECODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bmp_format.h"

// What turns the rows of one file into image rows, prepared once per picture so that a pixel costs a
// look-up rather than arithmetic: each colour of the table as the four bytes B, G, R, 0 of one
// little-endian word (and, for the fast path's look-ups 64 at a time, as three tables of one channel
// each, as are a 16-bit file's channels of up to six bits); for every channel mask of up to 16 bits the
// byte of each of its values; for a 16-bit file the colour word of every pixel value; and for a 1 or
// 4-bit file the image bytes of all the pixels one file byte holds, for every byte value. The one
// arithmetic is the fast path's for 16-bit files whose channels it can widen exactly (runs of at most 8
// bits, but for a few placements), where the processor cannot look them up 64 at a time or a channel is
// wider than six bits: in vector lanes it costs less than sixteen look-ups.
struct RowDecoder {
    // How the fast path widens one channel of a 16-bit pixel: the pixel (its high byte alone where `high`)
    // times `factor`, kept to 16 bits and masked by `mask`, is the channel's value v at some bit k, and
    // (v · 2^k · multiply + 2^14) >> 15 is its byte (the plan and its check are in row_decode.cpp).
    struct Widening16 {
        bool high = false;
        std::uint16_t factor = 0, mask = 0, multiply = 0;
    };
    // The same for the fast path's lanes: sixteen pixels give 48 image bytes, made in three vectors of
    // sixteen 16-bit lanes, each lane the pixel of one image byte widened as that byte's channel.
    struct Lanes16 {
        std::int8_t order[32] = {};  // the pixel's bytes in each lane, taken from sixteen pixels as loaded
        std::int16_t factor[16] = {}, mask[16] = {}, multiply[16] = {};
    };
    std::uint32_t colours[256] = {};
    std::vector<BYTE> channels[4];  // red, green, blue, alpha; empty for a mask wider than 16 bits
    int shifts[4] = {0, 0, 0, 0};
    const std::uint32_t* colours16 = nullptr;  // 65536 words, for a 16-bit file
    const BYTE* byte_pixels = nullptr;         // 256 · 24 bytes (1-bit) or 256 · 8, six used (4-bit)
    // A file whose rows the fast path looks up in `channel_bytes`, filled for it alone: with a colour
    // table, the blue, green and red of each colour; at 16 bits, the blue, green and red byte of each
    // value of the six bits from the channel's lowest on (its place in `shifts`).
    bool looks_up = false;
    BYTE channel_bytes[3][256] = {};
    // A 16-bit file whose rows the fast path can widen, by `widening` (blue, green, red): taken where
    // they are not looked up.
    bool fast16 = false;
    Widening16 widening[3];
    Lanes16 lanes[3];
    // A 32-bit file whose fields are whole bytes of its pixels or absent (FieldsAreBytes), whose rows the
    // fast path decodes by one shuffle of bytes: for each of 32 image bytes (eight pixels, four in each
    // half), the byte of its half to take, or −128 for 0.
    bool bytes32 = false;
    std::int8_t byte_order[32] = {};
};

// The decoder of a file of layout `l` whose colour table (if any) starts at `palette`.
RowDecoder MakeRowDecoder(const BmpLayout& l, const BYTE* palette);

// The rows of one decode: `count` file rows `in_stride` bytes apart from `in` on, each into its image row,
// `out_stride` bytes apart from `out` on (negative where the image's rows run the other way).
struct RowSpan {
    const BYTE* in = nullptr;
    std::size_t in_stride = 0;
    BYTE* out = nullptr;
    std::ptrdiff_t out_stride = 0;
    LONG count = 0;
};

// File rows into image rows: each file row holds l.width pixels as the file stores them, and its image
// row takes l.width pixels of 24 bits (32 for a 32-bit file, a pixel's fourth byte kept as stored where
// the file has no alpha field, as in a plain 32-bit picture) and nothing past them. The fast paths put
// their tables and constants in registers once for all the rows (200 rows of 300 16-bit pixels in the
// caches: 2.9 µs, against 4.2 with them put there for each row). 32-bit rows may be decoded where they
// lie (`in` and `out` the same rows): each pixel's bytes are read before they are written.
void DecodeRows(const BmpLayout& l, const RowDecoder& d, const RowSpan& rows);

// Whether each of a 32-bit file's fields (red, green, blue, alpha) is a whole byte of its pixels or absent:
// every image byte is then one byte of its pixel (a channel of 8 bits widens to itself), or 0.
bool FieldsAreBytes(const BmpLayout& l);

// Whether a 32-bit file's fields are blue, green and red in its pixels' first three bytes in that order,
// and alpha in the fourth or absent, as most programs write 32-bit pictures: its rows decode to
// themselves, byte for byte.
bool DecodesToItself(const BmpLayout& l);

// Whether rows of layout `l` decode at about the speed of a copy of their pixels (16-bit files whose
// channels the fast path widens or looks up, and uncompressed files with a colour table where the
// processor looks up bytes 64 at a time), so that keeping a decoded picture to copy from gains little,
// and loses once the copies no longer stay in the caches.
bool DecodesAtCopySpeed(const BmpLayout& l);

#endif  // BITMAP_IO_STANDIN_ROW_DECODE_H
