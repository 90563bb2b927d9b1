// The stand-in for the platform's BMP loader, LoadImageA with LR_LOADFROMFILE.
//
// It decodes the files common tools write: OS/2 core headers and info headers of 40, 52, 56, 108 and
// 124 bytes; 1, 4 and 8-bit palettes, uncompressed or run-length compressed (8 and 4 bits); 16 bits as
// 5-5-5 or with channel masks; 24 bits; 32 bits plain or with channel masks; rows stored bottom-up or
// top-down (run-length ones bottom-up only). 24 and 32-bit files keep their
// depth, every other depth becomes a 24-bit image, and every image it returns is bottom-up. Whatever
// fails the shared BMP rules, or holds a palette index beyond its colour table, is declined with NULL.
// It reads only the bytes its headers place inside the file, so a short or lying file cannot make it
// read outside what it has.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <vector>

#include "bmp_format.h"
#include "row_decode.h"
#include "win32.h"
#include "win32_objects.h"

namespace {

// The most of the info part that is ever needed: the largest header, three masks and a full 256-entry
// colour table. Anything between that and bfOffBits is a gap the format allows and nobody reads.
constexpr DWORD kMaxInfoPartNeeded = kV5HeaderSize + 3 * 4 + 256 * 4;

// Reads up to `size` bytes from `offset` on; the count, which is short only where the file ends, or −1
// on a failed read. A read of a file comes back short only at its end, so a short one ends it (asking
// again would cost a call to learn nothing); an interrupted one is asked again.
std::int64_t ReadUpTo(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<BYTE*>(buffer);
    std::size_t have = 0;
    while (have < size) {
        const std::size_t wanted = size - have;
        const ssize_t got = pread(fd, out + have, wanted, static_cast<off_t>(offset + have));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        have += static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < wanted) break;  // the end of the file
    }
    return static_cast<std::int64_t>(have);
}

// Reads exactly `size` bytes from `offset` on: a short file is as bad as a failed read.
bool ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
    return ReadUpTo(fd, offset, buffer, size) == static_cast<std::int64_t>(size);
}

// The `size` bytes from `offset` on into `out`: what the first read of the file (`first_size` bytes at
// `first`) already holds is copied from there, and only the rest is read.
bool ReadPart(int fd, const BYTE* first, std::size_t first_size, std::uint64_t offset, BYTE* out, std::size_t size) {
    const std::size_t held = offset < first_size ? std::min<std::size_t>(size, first_size - offset) : 0;
    std::memcpy(out, first + offset, held);
    return held == size || ReadAt(fd, offset + held, out + held, size - held);
}

// Memory for the pixel data of a picture that is decoded rather than kept as read, when it did not
// arrive with the first read (a chunk of it, for streamed data), kept from load to load: freed, a block
// of that size goes back to the system, and every load of a search would fault in fresh pages for it. It
// holds as much as the largest picture loaded needed.
std::vector<BYTE>& Scratch() {
    thread_local std::vector<BYTE> scratch;
    return scratch;
}

// The last picture decoded: every byte of the file its decoding read (the headers with the masks and
// colours, and the pixel data as stored) and the pixels it became. A search loads one picture again and
// again, and turning palette indices or 16-bit pixels into 24 bits costs several times what reading a
// 24-bit picture costs; a load that finds the same bytes copies the pixels instead, which costs about
// what the reading does. Since the bytes compared are all that decoding reads, the copy is what decoding
// would give. Run-length data whose image is too large to be kept (kMostImageBytesKeptAtCopySpeed) keeps
// its expansion instead, a palette index a pixel, where rows of indices decode at about the speed of a
// copy (DecodesAtCopySpeed): looking them up costs what copying the image would, and expanding the codes
// again, a pixel at a time, made the load 8 to 30 times slower (measured from 640 × 480 to 4000 × 3000).
struct Decoded {
    std::vector<BYTE> head, data, pixels;
};
Decoded& LastDecoded() {
    thread_local Decoded last;
    return last;
}

// A picture that decodes at about the speed of a copy (DecodesAtCopySpeed) is kept only while its image is
// small enough for the kept copies to stay in the processor's nearer caches from load to load. Beyond that
// the comparison and the copy move about 10 bytes a 16-bit pixel where decoding moves 5, and decoding is
// faster: measured, a load took 8 to 12 % less decoding at 640 × 480 (0.9 MB of image) and 6 % less at
// 1024 × 768, and up to a quarter more at 300 × 200 (0.18 MB) when the rows were decoded one call a row
// (16-bit pictures now have a limit of their own, below). An 8-bit pixel moves 8 bytes against 4
// (and a 4 or 1-bit one's image bytes are as many, its file's fewer): decoding took half the 8-bit load
// at 2000 × 1500 (598 → 303 µs) and a quarter off at 1024 × 768, and 15 % more at 300 × 200 and a third
// more at 48 × 48.
constexpr std::size_t kMostImageBytesKeptAtCopySpeed = std::size_t{512} << 10;

// A 16-bit picture is kept only up to this much image: its rows, looked up 64 pixels at a time and all the
// rows in one call, decode faster than the comparison and the copy move its 10 bytes a pixel once the
// image is more than a few dozen kilobytes, and leave less in the caches for the rest of the attempt
// (300 × 200, 0.18 MB of image: a load 12.5 µs against 12.9 kept, the attempt 33.0 against 34.6), while
// for the least pictures making the decoder costs more than copying (48 × 48: a load 6.2 µs against 5.8).
constexpr std::size_t kMostImageBytesKept16 = std::size_t{64} << 10;
static_assert(kMostImageBytesKept16 <= kMostImageBytesKeptAtCopySpeed);

// Pixel data of more than this that decodes at about the speed of a copy is read a chunk of rows at a
// time, each chunk decoded as soon as it has arrived, while it is still in the processor's nearer caches
// (and run-length data of more than this is compared with the last picture's the same way): read whole
// first, the data went out to memory and came back, and the load of a 16-bit picture took 15 % less
// streamed at 2000 × 1500 and 25 % less at 4000 × 3000 (6 and 24 MB of data), RLE8 18 % less at
// 4000 × 3000. Below it, where the whole data stays in the caches anyway, the reads of the chunks cost
// more than they save (1 MB of data and less: 6 to 12 % slower at 1024 × 768). Such data is larger than
// any kept image (its image is at least as large), so a streamed picture is never kept.
constexpr std::size_t kLeastStreamedBytes = std::size_t{1} << 20;
static_assert(kLeastStreamedBytes >= kMostImageBytesKeptAtCopySpeed);

// A chunk of streamed data: half the processor's second-level cache of 1 MB, leaving the other half to the
// image rows being written.
constexpr std::size_t kStreamedChunkBytes = std::size_t{512} << 10;

// The most pixels run-length data may describe per byte of it. A run code covers at most 255 pixels
// with two bytes, and an end-of-line code skips the rest of a row with two: 2048 pixels per byte admits
// blank rows 4096 pixels wide, yet keeps a file of a few bytes from claiming a picture of hundreds of
// megabytes, which would cost that much memory and time to no purpose.
constexpr std::uint64_t kMostPixelsPerRunLengthByte = 2048;

// The most run-length data a picture can need: every pixel as a literal (a byte each, padded), plus a
// code per row. Anything longer is not a picture of that size, and is not read into memory.
std::uint64_t MostRunLengthBytes(const BmpLayout& l) {
    return 2 * (l.stride + 4) * static_cast<std::uint64_t>(l.rows) + 16;
}

// Expands BI_RLE8 or BI_RLE4 data (at `offset`, l.pixel_bytes long) into one palette index per pixel,
// rows bottom-up, and turns `l` into the layout of that 8-bit picture. The codes, in byte pairs:
//   n > 0, v      a run of n pixels: index v (RLE8), or the two nibbles of v in turn (RLE4)
//   0, 0          end of the row           0, 1   end of the picture
//   0, 2, dx, dy  move right dx and up dy  0, n≥3 n literal indices (bytes or nibbles), padded to 16 bits
// Pixels the data never reaches keep palette index 0's colour, as the platform's loader leaves them.
// Declined: a run, literal or move that leaves the picture, an index beyond the colour table, a
// top-down picture, data far longer than the picture could need, or far shorter than any real encoder
// would write for it (both checked before the data is read, by RunLengthSizeFits). Data that simply
// stops early is taken as far as it goes.
bool RunLengthSizeFits(const BmpLayout& l) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(l.width) * static_cast<std::uint64_t>(l.rows);
    return l.pixel_bytes <= MostRunLengthBytes(l) && pixels <= kMostPixelsPerRunLengthByte * l.pixel_bytes;
}

// The layout of run-length data once expanded: rows of 8-bit indices, bottom-up, none padded.
void ToExpandedLayout(BmpLayout* l) {
    l->bpp = 8;
    l->compression = BI_RGB;
    l->stride = l->width;
    l->top_down = false;
}

bool ExpandRunLength(const BYTE* data, std::size_t size, BmpLayout* layout, std::vector<BYTE>* out) {
    BmpLayout& l = *layout;
    const bool nibbles = l.compression == BI_RLE4;
    const std::size_t width = static_cast<std::size_t>(l.width), height = static_cast<std::size_t>(l.rows);
    out->assign(width * height, 0);
    std::size_t x = 0, y = 0, at = 0;
    const auto put = [&](unsigned index) {
        if (index >= l.palette_count) return false;
        (*out)[y * width + x++] = static_cast<BYTE>(index);
        return true;
    };
    while (at + 1 < size) {
        const unsigned count = data[at], value = data[at + 1];
        at += 2;
        if (count > 0) {
            if (y >= height || x + count > width) return false;
            for (unsigned n = 0; n < count; ++n) {
                const unsigned index = nibbles ? (n % 2 == 0 ? value >> 4 : value & 0x0F) : value;
                if (!put(index)) return false;
            }
        } else if (value == 0) {
            x = 0;
            ++y;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (at + 1 >= size) break;
            x += data[at];
            y += data[at + 1];
            at += 2;
            if (x > width || y > height) return false;
        } else {
            const std::size_t bytes = nibbles ? (value + 1) / 2 : value;
            if (y >= height || x + value > width || at + bytes > size) return false;
            for (unsigned n = 0; n < value; ++n) {
                const unsigned index =
                    nibbles ? (n % 2 == 0 ? data[at + n / 2] >> 4 : data[at + n / 2] & 0x0F) : data[at + n];
                if (!put(index)) return false;
            }
            at += bytes + bytes % 2;
        }
    }
    ToExpandedLayout(&l);
    return true;
}

// Decodes `count` file rows from `first_row` on (counted in the file's order), stored a stride apart
// at `in`, into their rows of the bottom-up image at `pixels`, each `out_stride` long with pixels of
// `out_bytes` bytes; the padding at the end of each row is the image's too, zero like any new image's.
void DecodeFileRows(const BmpLayout& l, const RowDecoder& d, const BYTE* in, LONG first_row, LONG count, BYTE* pixels,
                    std::size_t out_stride, std::size_t out_bytes) {
    // The image row of the first file row; the others follow it up the image, or down it for a top-down file.
    const LONG first = l.top_down ? l.rows - 1 - first_row : first_row;
    BYTE* first_out = pixels + static_cast<std::size_t>(first) * out_stride;
    const std::ptrdiff_t step =
        l.top_down ? -static_cast<std::ptrdiff_t>(out_stride) : static_cast<std::ptrdiff_t>(out_stride);
    DecodeRows(l, d, RowSpan{in, static_cast<std::size_t>(l.stride), first_out, step, count});
    const std::size_t used = static_cast<std::size_t>(l.width) * out_bytes;
    for (LONG r = 0; r < count && used < out_stride; ++r)
        std::memset(first_out + r * step + used, 0, out_stride - used);
}

// The first read asks for as much as the last picture loaded had (its bfSize, all of the file that is
// read) and a byte more, at least 64 KiB, which holds any headers: a search loads one picture again and
// again, so that every load after the first has the whole file from the one call, knows that it has it
// all from the read coming back short, and keeps the rows of a plain picture where they landed. A file
// with bytes beyond its bfSize has all it needs from the first read too, and reads no more. After a
// picture whose data is read a chunk at a time (kLeastStreamedBytes) it asks only for the least, the
// headers.
constexpr std::size_t kLeastFirstRead = 64 * 1024;
constexpr std::size_t kMostFirstRead = kMaxPixelBytes + kLeastFirstRead;
std::size_t& FirstReadSize() {
    thread_local std::size_t size = kLeastFirstRead;
    return size;
}

// The block the first read fills, from the pixel blocks kept for reuse: given to the image when its rows
// stay where they landed, else given back for the next load.
struct ReadBlock {
    std::size_t capacity = 0;
    standin::Block block;
    ~ReadBlock() { standin::KeepBlock(std::move(block), capacity); }
};

HBITMAP Decode(int fd) {
    const std::size_t first_size = FirstReadSize();
    ReadBlock read;
    read.block = standin::NewBlock(first_size, false, &read.capacity);
    standin::Block& block = read.block;
    if (block == nullptr) return nullptr;
    const std::int64_t first_read = ReadUpTo(fd, 0, block.get(), first_size);
    if (first_read < 0) return nullptr;
    const bool whole_file = static_cast<std::uint64_t>(first_read) < first_size;
    std::uint64_t file_size = static_cast<std::uint64_t>(first_read);
    if (!whole_file) {
        struct stat st;
        if (fstat(fd, &st) != 0) return nullptr;
        file_size = static_cast<std::uint64_t>(st.st_size);
    }
    // The headers: the file header and as much of the info part as is ever needed, all inside the
    // first read.
    static_assert(kFileHeaderSize + kMaxInfoPartNeeded <= kLeastFirstRead);
    const BYTE* head = block.get();
    if (file_size < kFileHeaderSize) return nullptr;
    const BITMAPFILEHEADER fh = ReadBmpFileHeader(head);
    if (!CheckBmpFileHeader(fh, file_size)) return nullptr;

    // bfOffBits < bfSize <= file size, so the info part up to the limit lies inside what was read.
    const BYTE* info = head + kFileHeaderSize;
    const DWORD info_size = std::min(fh.bfOffBits - kFileHeaderSize, kMaxInfoPartNeeded);
    BmpLayout l;
    if (!ReadBmpLayout(fh, info, info_size, &l)) {
        return nullptr;
    }
    const bool run_length = l.compression == BI_RLE8 || l.compression == BI_RLE4;
    const std::size_t rows_bytes = static_cast<std::size_t>(l.stride) * static_cast<std::size_t>(l.rows);
    const bool plain = l.bpp == 24 || (l.bpp == 32 && (l.compression == BI_RGB || FieldsAreBytes(l)));
    // Rows of 32-bit pixels whose fields are bytes in another order than the image's are read as plain
    // rows are and decoded where they lie (each pixel's bytes read before they are written), those of
    // more than kLeastStreamedBytes a chunk at a time, while the chunk is in the nearer caches.
    const bool decoded_in_place = plain && l.bpp == 32 && l.compression != BI_RGB && !DecodesToItself(l);
    const bool streamed =
        !run_length && rows_bytes > kLeastStreamedBytes && (DecodesAtCopySpeed(l) || decoded_in_place);
    const bool compared_in_chunks = run_length && l.pixel_bytes > kLeastStreamedBytes;
    FirstReadSize() = streamed || compared_in_chunks
                          ? kLeastFirstRead
                          : std::clamp<std::size_t>(std::size_t{fh.bfSize} + 1, kLeastFirstRead, kMostFirstRead);
    BITMAPINFO out{};
    out.bmiHeader.biSize = kInfoHeaderSize;
    out.bmiHeader.biWidth = l.width;
    out.bmiHeader.biHeight = l.rows;
    out.bmiHeader.biPlanes = 1;
    out.bmiHeader.biBitCount = l.bpp == 32 ? 32 : 24;
    out.bmiHeader.biCompression = BI_RGB;
    // Whether the `size` bytes of pixel data lie inside what the first read brought: always when it
    // brought the whole file, as bfOffBits + the data's size <= bfSize <= the file's size holds by the
    // rules above.
    const auto in_first_read = [&](std::uint64_t size) {
        return fh.bfOffBits + size <= static_cast<std::uint64_t>(first_read);
    };
    const bool rows_in_block = plain && in_first_read(rows_bytes);
    standin::Pixels source_of_pixels{false, nullptr, 0, 0};
    if (rows_in_block) {
        // Plain rows, all in the block already: they are the image's rows.
        // A block mostly unused (a small picture in the least first read) is shrunk to what the image
        // keeps; one mostly used is kept whole, and comes back for the next load when the image is released.
        const std::size_t used = fh.bfOffBits + rows_bytes;
        std::size_t capacity = read.capacity;
        if (used < capacity / 2) {
            BYTE* whole = block.release();
            BYTE* kept = static_cast<BYTE*>(std::realloc(whole, used));
            block.reset(kept != nullptr ? kept : whole);
            capacity = 0;
        }
        source_of_pixels = standin::Pixels{false, std::move(block), fh.bfOffBits, capacity};
    }
    // Otherwise the block stays until the end: the colour table is read from it.
    void* bits = nullptr;
    HBITMAP image = standin::CreateDIB(&out, &bits, std::move(source_of_pixels));
    if (image == nullptr) return nullptr;
    auto* pixels = static_cast<BYTE*>(bits);

    // Plain 24 and 32-bit rows are already the image's rows: kept where the first read put them, or
    // read in place (but for what the first read holds), the one copy the picture has to make anyway; a
    // top-down file is turned over afterwards. Those decoded in place (decoded_in_place) were decoded from
    // a copy of the file, kept and compared with the last picture, and their load took twice the plain
    // one's from 300 × 200 to 1024 × 768 and up to four times at 2000 × 1500.
    if (plain) {
        const auto stride = static_cast<std::size_t>(l.stride);
        const LONG part_rows =
            streamed ? static_cast<LONG>(std::max<std::size_t>(1, kStreamedChunkBytes / stride)) : l.rows;
        std::optional<RowDecoder> decoder;  // made only where needed: it is a few kilobytes to set
        if (decoded_in_place) decoder = MakeRowDecoder(l, nullptr);
        for (LONG first_row = 0; first_row < l.rows; first_row += part_rows) {
            const LONG rows = std::min(part_rows, l.rows - first_row);
            BYTE* part = pixels + static_cast<std::size_t>(first_row) * stride;
            if (!rows_in_block && !ReadPart(fd, head, static_cast<std::size_t>(first_read),
                                            fh.bfOffBits + static_cast<std::uint64_t>(first_row) * stride, part,
                                            static_cast<std::size_t>(rows) * stride)) {
                DeleteObject(image);
                return nullptr;
            }
            if (decoded_in_place) {
                DecodeRows(l, *decoder, RowSpan{part, stride, part, static_cast<std::ptrdiff_t>(stride), rows});
            }
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

    // Every other picture is decoded from its pixel data as stored, unless it is the last one decoded.
    const std::size_t out_stride =
        static_cast<std::size_t>(BmpRowStride(static_cast<std::uint64_t>(l.width), out.bmiHeader.biBitCount));
    const std::size_t out_bytes = out.bmiHeader.biBitCount / 8;
    if (streamed) {
        // Whole rows a chunk, each checked and decoded before the next is read (what the first read
        // brought of it copied from there).
        const RowDecoder decoder = MakeRowDecoder(l, info + l.palette_offset);
        const LONG chunk_rows =
            static_cast<LONG>(std::max<std::size_t>(1, kStreamedChunkBytes / static_cast<std::size_t>(l.stride)));
        std::vector<BYTE>& scratch = Scratch();
        scratch.resize(static_cast<std::size_t>(chunk_rows) * static_cast<std::size_t>(l.stride));
        for (LONG first_row = 0; first_row < l.rows; first_row += chunk_rows) {
            BmpLayout chunk = l;
            chunk.rows = std::min(chunk_rows, l.rows - first_row);
            const std::uint64_t offset = fh.bfOffBits + static_cast<std::uint64_t>(first_row) * l.stride;
            if (!ReadPart(fd, head, static_cast<std::size_t>(first_read), offset, scratch.data(),
                          static_cast<std::size_t>(chunk.rows) * static_cast<std::size_t>(l.stride)) ||
                !BmpIndicesWithinPalette(chunk, scratch.data())) {
                DeleteObject(image);
                return nullptr;
            }
            DecodeFileRows(l, decoder, scratch.data(), first_row, chunk.rows, pixels, out_stride, out_bytes);
        }
        return image;
    }
    if (run_length && !RunLengthSizeFits(l)) {
        DeleteObject(image);
        return nullptr;
    }
    const std::size_t data_size = run_length ? l.pixel_bytes : rows_bytes;
    const std::size_t image_bytes = out_stride * static_cast<std::size_t>(l.rows);
    const std::size_t head_bytes = kFileHeaderSize + info_size;
    Decoded& last = LastDecoded();
    BmpLayout expanded_layout = l;
    ToExpandedLayout(&expanded_layout);
    const bool large = image_bytes > (l.bpp == 16 ? kMostImageBytesKept16 : kMostImageBytesKeptAtCopySpeed);
    const bool keep = !DecodesAtCopySpeed(l) || !large;
    const bool keep_indices = run_length && large && DecodesAtCopySpeed(expanded_layout);
    const std::size_t kept_bytes = keep_indices ? static_cast<std::size_t>(l.width) * l.rows : image_bytes;
    const bool may_be_last = keep && last.pixels.size() == kept_bytes && last.head.size() == head_bytes &&
                             last.data.size() == data_size && std::equal(head, head + head_bytes, last.head.begin());
    // The pixel data: where the first read put it, or read now. Run-length data of more than
    // kLeastStreamedBytes that may be the last picture's is compared with it a chunk at a time as it arrives,
    // while the chunk is in the nearer caches, and read whole only from the first chunk that differs.
    const BYTE* data = head + fh.bfOffBits;
    bool same_as_last = false;
    if (in_first_read(data_size)) {
        same_as_last = may_be_last && std::equal(data, data + data_size, last.data.begin());
    } else {
        std::vector<BYTE>& scratch = Scratch();
        const bool in_chunks = may_be_last && compared_in_chunks;
        std::size_t equal = 0;  // the bytes found the same as the last picture's
        while (in_chunks && equal < data_size) {
            const std::size_t n = std::min(kStreamedChunkBytes, data_size - equal);
            scratch.resize(std::max(scratch.size(), n));
            if (!ReadPart(fd, head, static_cast<std::size_t>(first_read), fh.bfOffBits + equal, scratch.data(), n)) {
                DeleteObject(image);
                return nullptr;
            }
            if (!std::equal(scratch.data(), scratch.data() + n,
                            last.data.begin() + static_cast<std::ptrdiff_t>(equal))) {
                break;
            }
            equal += n;
        }
        same_as_last = in_chunks && equal == data_size;
        if (same_as_last) {
            data = last.data.data();
        } else {
            scratch.resize(data_size);
            std::copy_n(last.data.begin(), equal, scratch.begin());
            if (!ReadPart(fd, head, static_cast<std::size_t>(first_read), fh.bfOffBits + equal, scratch.data() + equal,
                          data_size - equal)) {
                DeleteObject(image);
                return nullptr;
            }
            data = scratch.data();
            same_as_last = may_be_last && !in_chunks && std::equal(data, data + data_size, last.data.begin());
        }
    }
    if (same_as_last && !keep_indices) {
        std::memcpy(pixels, last.pixels.data(), image_bytes);
        return image;
    }
    // Run-length data becomes one byte per pixel: a plain 8-bit picture of palette indices (the same data
    // as the last load's: the indices it kept).
    std::vector<BYTE> expanded;
    if (same_as_last) {
        l = expanded_layout;
    } else if (run_length ? !ExpandRunLength(data, data_size, &l, &expanded) : !BmpIndicesWithinPalette(l, data)) {
        DeleteObject(image);
        return nullptr;
    }
    const BYTE* rows = same_as_last ? last.pixels.data() : run_length ? expanded.data() : data;
    const RowDecoder decoder = MakeRowDecoder(l, info + l.palette_offset);
    DecodeFileRows(l, decoder, rows, 0, l.rows, pixels, out_stride, out_bytes);
    if (keep && !same_as_last) {
        last.head.assign(head, head + head_bytes);
        last.data.assign(data, data + data_size);
        if (keep_indices) {
            last.pixels = std::move(expanded);
        } else {
            last.pixels.assign(pixels, pixels + image_bytes);
        }
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
