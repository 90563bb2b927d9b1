#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "SaveBitmapToFile.h"
#include "test_support.h"
#ifndef _WIN32
#include "fast_paths.h"
#include "row_decode.h"
#include "win32_standin.h"
#endif

namespace {

namespace fs = std::filesystem;
using test::BmpBytes;
using test::ScratchFolder;

// The bits of every row that hold pixels, without the padding, whose content no platform promises: the
// bytes that hold pixels, the unused low bits of a last byte cleared.
std::vector<BYTE> RawRows(HBITMAP image) {
    const BITMAP v = ViewOf(image);
    const std::size_t bits = static_cast<std::size_t>(v.bmWidth) * v.bmBitsPixel, used = (bits + 7) / 8;
    const BYTE last_mask = static_cast<BYTE>(0xFF << ((8 - bits % 8) % 8));
    std::vector<BYTE> bytes;
    for (LONG y = 0; y < v.bmHeight; ++y) {
        const auto* row = static_cast<const BYTE*>(v.bmBits) + static_cast<std::size_t>(y) * v.bmWidthBytes;
        bytes.insert(bytes.end(), row, row + used);
        bytes.back() &= last_mask;
    }
    return bytes;
}

test::Image Patterned(LONG width, LONG height, WORD bpp) {
    test::Image image = test::MakeImage(width, height, bpp);
    const BITMAP v = ViewOf(image);
    auto* p = static_cast<BYTE*>(v.bmBits);
    for (LONG i = 0; i < v.bmWidthBytes * v.bmHeight; ++i) p[i] = static_cast<BYTE>(i * 37 + 11);
    return image;
}

struct RoundTrip {
    WORD bpp;
    DWORD off_bits;
    friend void PrintTo(const RoundTrip& r, std::ostream* os) { *os << r.bpp << " bits"; }
};

class SaveThenParse : public testing::TestWithParam<RoundTrip> {};

TEST_P(SaveThenParse, KeepsSizeDepthPixelsAndColours) {
    ScratchFolder dir;
    const auto [bpp, off_bits] = GetParam();
    const test::Image image = Patterned(13, 5, bpp);
    ASSERT_TRUE(SaveBitmapToFileA((dir / "a.bmp").c_str(), image));

    const std::vector<BYTE> file = test::ReadFileBytes(dir / "a.bmp");
    const BITMAP v = ViewOf(image);
    ASSERT_GE(file.size(), 54u);
    BITMAPFILEHEADER fh;
    std::memcpy(&fh, file.data(), sizeof fh);
    EXPECT_EQ(+fh.bfOffBits, off_bits);
    EXPECT_EQ(+fh.bfSize, file.size());
    EXPECT_EQ(+fh.bfSize, off_bits + static_cast<DWORD>(v.bmWidthBytes * v.bmHeight));

    const test::Image back(ParseBitmapFileA((dir / "a.bmp").c_str()));
    ASSERT_NE(back, nullptr);
    const BITMAP w = ViewOf(back);
    EXPECT_EQ(w.bmWidth, 13);
    EXPECT_EQ(w.bmHeight, 5);
    EXPECT_EQ(w.bmBitsPixel, bpp);
    EXPECT_EQ(RawRows(back), RawRows(image));
    if (bpp <= 8) {
        // The colour table written is the image's own: 2^bpp entries after the 40-byte header.
        const std::size_t entries = std::size_t{1} << bpp;
        for (std::size_t i = 0; i < entries; ++i) {
            EXPECT_EQ(file[54 + 4 * i], static_cast<BYTE>(i)) << i;
            EXPECT_EQ(file[54 + 4 * i + 1], static_cast<BYTE>(255 - i)) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, SaveThenParse,
                         testing::Values(RoundTrip{1, 62}, RoundTrip{8, 1078}, RoundTrip{24, 54}, RoundTrip{32, 54}),
                         [](const testing::TestParamInfo<RoundTrip>& info) {
                             return std::to_string(info.param.bpp) + "Bits";
                         });

TEST(SaveBitmap, WritesTheSearchImageIn1782Bytes) {
    ScratchFolder dir;
    const test::Image image = Patterned(24, 24, 24);
    ASSERT_TRUE(SaveBitmapToFileA((dir / "o.bmp").c_str(), image));
    const std::vector<BYTE> file = test::ReadFileBytes(dir / "o.bmp");
    ASSERT_EQ(file.size(), 1782u);
    BITMAPFILEHEADER fh;
    BITMAPINFOHEADER ih;
    std::memcpy(&fh, file.data(), sizeof fh);
    std::memcpy(&ih, file.data() + 14, sizeof ih);
    EXPECT_EQ(+fh.bfType, 0x4D42);
    EXPECT_EQ(+fh.bfOffBits, 54u);
    EXPECT_EQ(fh.bfReserved1 | fh.bfReserved2, 0);
    EXPECT_EQ(ih.biSize, 40u);
    EXPECT_EQ(ih.biWidth, 24);
    EXPECT_EQ(ih.biHeight, 24);
    EXPECT_EQ(ih.biPlanes, 1);
    EXPECT_EQ(ih.biBitCount, 24);
    EXPECT_EQ(ih.biCompression, 0u);
    EXPECT_EQ(ih.biSizeImage, 1728u);
    EXPECT_EQ(ih.biXPelsPerMeter | ih.biYPelsPerMeter, 0);
    EXPECT_EQ(ih.biClrUsed | ih.biClrImportant, 0u);
}

// A valid 2 × 2 24-bit file, then one field damaged per case. Each must be refused by this program's
// parser and, since the platform loader applies the same rules, by the whole reader too.
struct Damage {
    const char* name;
    std::function<void(BmpBytes&)> apply;
    friend void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }
};

BmpBytes ValidFile() { return test::MakeBmpFile(2, 2, 24, {}, std::vector<BYTE>(16, 0x5A)); }

class ParserRefuses : public testing::TestWithParam<Damage> {};

TEST_P(ParserRefuses, DamagedFile) {
    ScratchFolder dir;
    BmpBytes f = ValidFile();
    GetParam().apply(f);
    test::WriteFileBytes(dir / "bad.bmp", f.bytes);
    EXPECT_EQ(ParseBitmapFileA((dir / "bad.bmp").c_str()), nullptr);
#ifndef _WIN32  // the stand-in's loader refuses these too; the real one decides for itself
    EXPECT_EQ(LoadBitmapFromFileA((dir / "bad.bmp").c_str()), nullptr);
#endif
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParserRefuses,
    testing::Values(
        Damage{"NotBM", [](BmpBytes& f) { f.bytes[1] = 'A'; }}, Damage{"Reserved1", [](BmpBytes& f) { f.U16(6, 1); }},
        Damage{"Reserved2", [](BmpBytes& f) { f.U16(8, 1); }},
        Damage{"OffBitsAt14", [](BmpBytes& f) { f.U32(10, 14); }},
        Damage{"OffBitsEqualsSize", [](BmpBytes& f) { f.U32(10, static_cast<std::uint32_t>(f.bytes.size())); }},
        Damage{"SizeBeyondFile", [](BmpBytes& f) { f.U32(2, static_cast<std::uint32_t>(f.bytes.size()) + 1); }},
        Damage{"TruncatedFile", [](BmpBytes& f) { f.bytes.pop_back(); }},
        Damage{"InfoPartShorterThan40", [](BmpBytes& f) { f.U32(10, 53); }},
        Damage{"HeaderLongerThanInfoPart", [](BmpBytes& f) { f.U32(14, 108); }},
        Damage{"PixelsShorterThanRows", [](BmpBytes& f) { f.U32(22, 3); }},
        Damage{"HugeClaimedPicture",
               [](BmpBytes& f) {
                   f.U32(18, 3000000);
                   f.U32(22, 2000000);
               }},
        Damage{"ZeroWidth", [](BmpBytes& f) { f.U32(18, 0); }},
        Damage{"NegativeWidth", [](BmpBytes& f) { f.U32(18, static_cast<std::uint32_t>(-2)); }},
        Damage{"TwoPlanes", [](BmpBytes& f) { f.U16(26, 2); }},
        Damage{"UnknownDepth", [](BmpBytes& f) { f.U16(28, 30000); }},
        Damage{"UnknownCompression", [](BmpBytes& f) { f.U32(30, 9); }},
        Damage{"ColourTableLargerThanDepthAllows",
               [](BmpBytes& f) {
                   f.U16(28, 1);
                   f.U32(46, 3);
               }}),
    [](const testing::TestParamInfo<Damage>& info) { return info.param.name; });

TEST(Parser, AcceptsOffBitsOf1078AndKeepsTheFileDepth) {
    ScratchFolder dir;
    std::vector<BYTE> palette(1024);
    for (int i = 0; i < 256; ++i) palette[4 * i + 2] = static_cast<BYTE>(i);
    BmpBytes f = test::MakeBmpFile(4, 1, 8, palette, {0, 7, 255, 9});
    ASSERT_EQ(f.bytes[10] | f.bytes[11] << 8, 1078);
    test::WriteFileBytes(dir / "p.bmp", f.bytes);
    const test::Image image(ParseBitmapFileA((dir / "p.bmp").c_str()));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ViewOf(image).bmBitsPixel, 8);
    EXPECT_EQ(RawRows(image), (std::vector<BYTE>{0, 7, 255, 9}));
}

TEST(Parser, RefusesOffBitsBeyondItsInfoBuffer) {
    // The platform loader may skip a gap before the pixels; the parser's info buffer ends at 1078.
    ScratchFolder dir;
    BmpBytes f = ValidFile();
    f.bytes.insert(f.bytes.begin() + 54, 1079 - 54, 0);
    f.U32(10, 1079);
    f.U32(2, static_cast<std::uint32_t>(f.bytes.size()));
    test::WriteFileBytes(dir / "gap.bmp", f.bytes);
    EXPECT_EQ(ParseBitmapFileA((dir / "gap.bmp").c_str()), nullptr);
}

TEST(Parser, RefusesIndicesBeyondTheColourTable) {
    ScratchFolder dir;
    test::WriteFileBytes(dir / "p.bmp", test::MakeBmpFile(4, 1, 8, std::vector<BYTE>(8), {0, 1, 2, 0}).bytes);
    EXPECT_EQ(ParseBitmapFileA((dir / "p.bmp").c_str()), nullptr);
}

TEST(Parser, RefusesACoreHeaderItCannotHandOn) {
    // A 12-byte OS/2 header inside a large enough info part: the platform loader reads it, but the
    // parser's info part must be a full 40-byte header.
    ScratchFolder dir;
    BmpBytes f = ValidFile();
    f.U32(14, 12);
    f.U16(18, 2);
    f.U16(20, 2);
    f.U16(22, 1);
    f.U16(24, 24);
    test::WriteFileBytes(dir / "core.bmp", f.bytes);
    EXPECT_EQ(ParseBitmapFileA((dir / "core.bmp").c_str()), nullptr);
    const test::Image loaded(LoadBitmapFromFileA((dir / "core.bmp").c_str()));
    EXPECT_NE(loaded, nullptr);
}

TEST(Reader, GivesNullForMissingFileAndFolder) {
    ScratchFolder dir;
    EXPECT_EQ(LoadBitmapFromFileA((dir / "none.bmp").c_str()), nullptr);
    EXPECT_EQ(LoadBitmapFromFileA(dir.path().string().c_str()), nullptr);
}

#ifndef _WIN32  // the stand-in loader widens 16 bits, which tells its image from the parser's; Windows' keeps them
TEST(Reader, PrefersThePlatformLoader) {
    // A 16-bit file: the loader turns it into a 24-bit image; the parser would keep 16 bits.
    ScratchFolder dir;
    test::WriteFileBytes(dir / "16.bmp", test::MakeBmpFile(2, 1, 16, {}, {0x1F, 0x00, 0x00, 0x7C}).bytes);
    const test::Image image(LoadBitmapFromFileA((dir / "16.bmp").c_str()));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(ViewOf(image).bmBitsPixel, 24);
    EXPECT_EQ(test::ColourBytes(image), (std::vector<int>{255, 0, 0, 0, 0, 255}));
}
#endif

// Files of 24 and 8 bits of growing sizes around 64 KiB, the least the loader's first read asks for,
// each loaded twice: the first read asks for as much as the last file had, so the first load of each
// has only part of the file from it and reads the rest, and the second load has it whole; then once
// more with bytes after the picture, which the first read holds but leaves the file unfinished. Both
// orientations; the rows come out bottom-up either way. A file cut short (its header claiming the bytes
// it lost) is refused.
#ifndef _WIN32  // the stand-in loader's own reads; the real loader makes another kind of image without
                // LR_CREATEDIBSECTION
TEST(Loader, DecodesFilesOnBothSidesOfItsFirstRead) {
    ScratchFolder dir;
    constexpr LONG kHeight = 1000;  // rows of 60 bytes
    std::vector<BYTE> rows(60 * kHeight), greys;
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<BYTE>(i * 7 + i / 60);
    for (int i = 0; i < 256; ++i) greys.insert(greys.end(), {BYTE(i), BYTE(i), BYTE(i), 0});
    for (WORD bpp : {24, 8}) {
        const std::size_t least = 54 + (bpp == 8 ? greys.size() : 0) + rows.size();
        for (std::size_t size : {65532u, 65536u, 65540u, 70000u}) {
            for (bool top_down : {false, true}) {
                // The bytes between the colours and the rows are a gap, which the loader skips.
                std::vector<BYTE> gap = bpp == 8 ? greys : std::vector<BYTE>();
                gap.resize(gap.size() + size - least, 0xAB);
                BmpBytes file = test::MakeBmpFile(60 * 8 / bpp, kHeight, bpp, gap, rows);
                file.U32(46, bpp == 8 ? 256 : 0);
                if (top_down) file.U32(22, static_cast<std::uint32_t>(-kHeight));
                ASSERT_EQ(file.bytes.size(), size);
                test::WriteFileBytes(dir / "ant.bmp", file.bytes);
                std::vector<BYTE> expected = rows;
                if (top_down) {
                    for (LONG r = 0; r < kHeight; ++r)
                        std::copy_n(rows.begin() + 60 * (kHeight - 1 - r), 60, expected.begin() + 60 * r);
                }
                for (int load = 0; load < 3; ++load) {
                    if (load == 2) {  // bytes after bfSize, which no load needs
                        file.bytes.resize(size + 100, 0xCD);
                        test::WriteFileBytes(dir / "ant.bmp", file.bytes);
                    }
                    const test::Image image(static_cast<HBITMAP>(
                        LoadImageA(nullptr, (dir / "ant.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
                    ASSERT_NE(image, nullptr) << bpp << "-bit, " << size << (top_down ? " top-down" : "");
                    if (bpp == 24) {
                        EXPECT_EQ(RawRows(image), expected) << size << (top_down ? " top-down" : "");
                    } else {
                        EXPECT_EQ(test::FirstBytes(image), std::vector<int>(expected.begin(), expected.end()))
                            << size << (top_down ? " top-down" : "");
                    }
                }
                file.bytes.resize(size - 10);
                test::WriteFileBytes(dir / "ant.bmp", file.bytes);
                EXPECT_EQ(LoadImageA(nullptr, (dir / "ant.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE), nullptr)
                    << bpp << "-bit, " << size;
            }
        }
    }
}
#endif

// The loader copies the pixels of the last picture it decoded when a file holds the same bytes: loads of
// one 8-bit file in turn, each changed in one byte that decoding reads, give that file's own pixels.
#ifndef _WIN32
TEST(Loader, DecodesAgainWhateverByteDiffers) {
    ScratchFolder dir;
    const std::vector<BYTE> palette = {10, 10, 10, 0, 20, 20, 20, 0, 30, 30, 30, 0};
    const std::vector<BYTE> indices = {0, 1, 2, 0, 2, 2, 1, 0};  // two rows of 3 and their padding
    struct Change {
        std::size_t offset;
        std::vector<BYTE> bytes;
        std::vector<int> expected;  // blue bytes, the bottom row first
    };
    const Change changes[] = {
        {0, {'B'}, {10, 20, 30, 30, 30, 20}},  // the file as made, loaded twice
        {0, {'B'}, {10, 20, 30, 30, 30, 20}},
        {58, {99}, {10, 99, 30, 30, 30, 99}},                      // colour 1
        {71, {0}, {10, 20, 30, 30, 10, 20}},                       // the second pixel of the second row
        {22, {0xFE, 0xFF, 0xFF, 0xFF}, {30, 30, 20, 10, 20, 30}},  // a height of −2: the rows top-down
    };
    for (const Change& c : changes) {
        BmpBytes file = test::MakeBmpFile(3, 2, 8, palette, indices);
        std::copy(c.bytes.begin(), c.bytes.end(), file.bytes.begin() + static_cast<std::ptrdiff_t>(c.offset));
        test::WriteFileBytes(dir / "ant.bmp", file.bytes);
        const test::Image image(
            static_cast<HBITMAP>(LoadImageA(nullptr, (dir / "ant.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(test::FirstBytes(image), c.expected) << "offset " << c.offset;
    }
}
#endif

// 32-bit pictures with bit fields in a version 3 header: fields in the pixels' byte order (blue, green,
// red, alpha or none) give every byte as stored, whichever way up the rows are, and fields in another
// order move the bytes to their places (the fourth kept where there is no alpha field), in pictures of a
// few pixels and in ones of more than a megabyte (read and decoded a chunk at a time), each loaded twice.
#ifndef _WIN32
TEST(Loader, ThirtyTwoBitFieldsGiveEachChannelItsByte) {
    ScratchFolder dir;
    struct Fields {
        LONG width, height;
        DWORD masks[4];  // red, green, blue, alpha
        bool top_down;
        int from[4];  // the stored byte each image byte takes (blue, green, red, alpha)
    };
    const Fields cases[] = {{3, 2, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, false, {0, 1, 2, 3}},
                            {3, 2, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, true, {0, 1, 2, 3}},
                            {3, 2, {0xFF0000, 0xFF00, 0xFF, 0}, false, {0, 1, 2, 3}},
                            {3, 2, {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, false, {2, 1, 0, 3}},
                            {1001, 300, {0xFF0000, 0xFF00, 0xFF, 0}, false, {0, 1, 2, 3}},
                            {1001, 300, {0xFF, 0xFF00, 0xFF0000, 0}, true, {2, 1, 0, 3}}};
    for (const Fields& c : cases) {
        const std::size_t stride = 4 * static_cast<std::size_t>(c.width);
        std::vector<BYTE> pixels(stride * static_cast<std::size_t>(c.height));
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<BYTE>(i * 37 + i / 1000);
        BmpBytes file =
            test::MakeBmpFile(c.width, c.top_down ? -c.height : c.height, 32, std::vector<BYTE>(16), pixels);
        file.U32(14, kV3HeaderSize);  // the four fields inside the header, where the colours would follow it
        file.U32(30, BI_BITFIELDS);
        file.U32(46, 0);
        for (int k = 0; k < 4; ++k) file.U32(54 + 4 * k, c.masks[k]);
        test::WriteFileBytes(dir / "ant.bmp", file.bytes);
        std::vector<BYTE> expected;
        for (LONG row = 0; row < c.height; ++row) {
            const std::size_t stored = static_cast<std::size_t>(c.top_down ? c.height - 1 - row : row) * stride;
            for (std::size_t x = 0; x < stride; x += 4) {
                for (int k : c.from) expected.push_back(pixels[stored + x + static_cast<std::size_t>(k)]);
            }
        }
        for (int load = 0; load < 2; ++load) {
            const test::Image image(static_cast<HBITMAP>(
                LoadImageA(nullptr, (dir / "ant.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(RawRows(image), expected) << c.width << ", " << std::hex << c.masks[0] << " " << c.masks[3]
                                                << (c.top_down ? " top-down" : "") << ", load " << load;
        }
    }
}
#endif

// A run-length picture too large for its image to be kept is kept as its palette indices, and data of
// more than a megabyte is compared with the last picture's a chunk at a time as it is read: loads of it
// in turn, the first and second as written, then with one literal index changed in the first chunk, then
// one in the last, then with one colour changed, give each file's own pixels.
#ifndef _WIN32
TEST(Loader, DecodesLargeRunLengthFilesAgainWhateverByteDiffers) {
    ScratchFolder dir;
    constexpr LONG kWidth = 511, kHeight = 2100;  // 3.2 MB of image, 1.1 MB of codes; rows of indices unpadded
    std::vector<BYTE> palette, codes;
    for (int i = 0; i < 256; ++i) palette.insert(palette.end(), {BYTE(i), BYTE(255 - i), BYTE(i / 2), 0});
    for (LONG y = 0; y < kHeight; ++y) {
        for (LONG x0 : {0, 255}) {  // two literals of 255 (each padded by a byte), a run of 1, end of row
            codes.insert(codes.end(), {0, 255});
            for (LONG x = x0; x < x0 + 255; ++x) codes.push_back(static_cast<BYTE>(x + y));
            codes.push_back(0);
        }
        codes.insert(codes.end(), {1, BYTE(y), 0, BYTE(y + 1 < kHeight ? 0 : 1)});
    }
    BmpBytes file = test::MakeBmpFile(kWidth, kHeight, 8, palette, codes);
    file.U32(30, BI_RLE8);
    const std::size_t codes_at = file.bytes.size() - codes.size();
    // Row 7's pixel 10 (its code at 7 · 520 + 2 + 10) becomes index 0, then row 2050's; colour 20 becomes
    // 1, 2, 3.
    const std::size_t changed_colour = codes_at - 4 * 256 + 4 * 20;
    for (int load = 0; load < 5; ++load) {
        if (load == 2) file.bytes[codes_at + 7 * 520 + 2 + 10] = 0;
        if (load == 3) file.bytes[codes_at + 2050 * 520 + 2 + 10] = 0;
        if (load == 4) std::copy_n(std::begin({1, 2, 3}), 3, file.bytes.begin() + changed_colour);
        test::WriteFileBytes(dir / "rle.bmp", file.bytes);
        std::vector<BYTE> expected;
        for (LONG y = 0; y < kHeight; ++y) {
            for (LONG x = 0; x < kWidth; ++x) {
                const BYTE index = x >= 510 ? BYTE(y) : file.bytes[codes_at + 520 * y + 2 + x + x / 255 * 3];
                expected.insert(expected.end(), file.bytes.begin() + codes_at - 1024 + 4 * index,
                                file.bytes.begin() + codes_at - 1024 + 4 * index + 3);
            }
        }
        const test::Image image(
            static_cast<HBITMAP>(LoadImageA(nullptr, (dir / "rle.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
        ASSERT_NE(image, nullptr) << load;
        EXPECT_EQ(RawRows(image), expected) << "load " << load;
    }
}
#endif

// A picture of more than a megabyte of rows that decode at about the speed of a copy is read and decoded
// a chunk of rows at a time: 8-bit rows in three chunks and part of a fourth, both orientations, each
// loaded twice (the second load's first read holding little more than the headers), give every pixel in
// its place and zeroes the rows' padding; an index beyond the colour table in the last chunk is refused.
#ifndef _WIN32
TEST(Loader, DecodesLargeFilesAChunkAtATime) {
    ScratchFolder dir;
    constexpr LONG kWidth = 1101, kHeight = 1500, kStride = 1104, kImageStride = 3304;  // 1.6 MB of rows
    constexpr int kColours = 200;
    std::vector<BYTE> palette, indices(std::size_t{kStride} * kHeight);
    for (int i = 0; i < kColours; ++i) palette.insert(palette.end(), {BYTE(i), BYTE(i), BYTE(i), 0});
    for (LONG y = 0; y < kHeight; ++y) {
        for (LONG x = 0; x < kWidth; ++x) indices[std::size_t{kStride} * y + x] = BYTE((x + 3 * y) % kColours);
    }
    enum class Case { kBottomUp, kTopDown, kIndexBeyondTheColours };
    for (Case c : {Case::kBottomUp, Case::kTopDown, Case::kIndexBeyondTheColours}) {
        BmpBytes file = test::MakeBmpFile(kWidth, kHeight, 8, palette, indices);
        file.U32(46, kColours);
        if (c == Case::kTopDown) file.U32(22, static_cast<std::uint32_t>(-kHeight));
        if (c == Case::kIndexBeyondTheColours)
            file.bytes[file.bytes.size() - 4] = kColours;  // the last row's last pixel
        test::WriteFileBytes(dir / "large.bmp", file.bytes);
        for (int load = 0; load < 2; ++load) {
            const test::Image image(static_cast<HBITMAP>(
                LoadImageA(nullptr, (dir / "large.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE)));
            if (c == Case::kIndexBeyondTheColours) {
                EXPECT_EQ(image, nullptr);
                continue;
            }
            ASSERT_NE(image, nullptr);
            const BITMAP v = ViewOf(image);
            ASSERT_EQ(v.bmWidthBytes, kImageStride);
            std::vector<BYTE> expected(std::size_t{kImageStride} * kHeight, 0);
            for (LONG b = 0; b < kHeight; ++b) {
                const LONG file_row = c == Case::kTopDown ? kHeight - 1 - b : b;
                for (LONG x = 0; x < kWidth; ++x) {
                    std::fill_n(expected.begin() + kImageStride * b + 3 * x, 3,
                                indices[std::size_t{kStride} * file_row + x]);
                }
            }
            auto* bits = static_cast<BYTE*>(v.bmBits);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bits)) << "load " << load;
            // Spoilt before it is released: the next load, given its block again, must write every byte of
            // it, the rows' padding too.
            std::fill_n(bits, expected.size(), BYTE{0xEE});
        }
    }
}
#endif

#ifndef _WIN32  // the stand-in loader's own row decoding
// Two file rows `in_stride` bytes apart into the two image rows `out` holds, the first file row into the
// second image row, as a top-down file's are.
void DecodeTwoRows(const BmpLayout& l, const RowDecoder& d, const BYTE* in, std::size_t in_stride,
                   std::vector<BYTE>* out) {
    const auto row = static_cast<std::ptrdiff_t>(out->size() / 2);
    DecodeRows(l, d, RowSpan{in, in_stride, out->data() + row, -row, 2});
}

// The fast paths for 8, 4 and 1-bit rows against the definition, for a full colour table and a short
// one, over every index, for rows of whole groups of 64 pixels (128 at 4 bits) and rows that leave
// pixels over, ending in part of a byte; nothing past a row may be written.
TEST(RowDecoder, FastPaletteRowsMatchTheDefinition) {
    std::vector<BYTE> palette(4 * 256);
    for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<BYTE>(i * 29 + i / 4 * 7);
    std::vector<BYTE> in(2 * 4096);  // two rows
    for (const WORD bpp : {8, 4, 1}) {
        for (const DWORD count : {1u << bpp, bpp == 1 ? 1u : 3u}) {
            // Pixel k's index, packed as the file holds it: the first pixel of a byte in its top bits.
            for (std::size_t x = 0; x < in.size(); ++x) {
                in[x] = 0;
                for (unsigned p = 0; p < 8u / bpp; ++p) {
                    const std::size_t k = x * (8 / bpp) + p;
                    in[x] = static_cast<BYTE>(in[x] | ((k * 151 + 7) % count) << (8 - bpp * (p + 1)));
                }
            }
            for (const LONG width : {1, 63, 64, 65, 127, 128, 129, 191, 4095}) {
                BmpLayout l;
                l.bpp = bpp;
                l.width = width;
                l.palette_count = count;
                RowDecoder d = MakeRowDecoder(l, palette.data());
                ASSERT_EQ(d.looks_up, UseByteTables());
                std::vector<BYTE> fast(2 * (3 * static_cast<std::size_t>(width) + 64), 7), plain = fast;
                DecodeTwoRows(l, d, in.data(), in.size() / 2, &fast);
                d.looks_up = false;
                DecodeTwoRows(l, d, in.data(), in.size() / 2, &plain);
                EXPECT_EQ(fast, plain) << bpp << " bits, " << count << " colours, " << width;
            }
        }
    }
}

// The fast paths for 16-bit rows against the definition's table, over every pixel value, for channels
// of every width they take wherever they sit (the widening: 1 to 8 bits, or none; the look-ups: at most
// 6), and rows that leave pixels over; a placement the widening cannot take exactly (6 bits from bit 6)
// must be left to the look-ups or the table.
TEST(RowDecoder, FastSixteenBitRowsMatchTheDefinition) {
    struct Masks {
        DWORD red, green, blue;
        bool widened, looked_up;
    };
    const Masks cases[] = {{0x7C00, 0x03E0, 0x001F, true, true},  {0xF800, 0x07E0, 0x001F, true, true},
                           {0x8000, 0x7F80, 0x0070, true, false}, {0x7F00, 0x00F8, 0x0007, true, false},
                           {0, 0x00FF, 0xFF00, true, false},      {0x0001, 0x0006, 0x0F00, true, true},
                           {0x0FC0, 0x003F, 0xF000, false, true}, {0xFC00, 0x03F0, 0x000F, true, true},
                           {0x8000, 0x7C00, 0x03E0, true, true}};
    std::vector<BYTE> in(4 * 65536);  // two rows: every value in order, then in a scattered order
    for (std::size_t p = 0; p < 2 * 65536; ++p) {
        const std::size_t value = p < 65536 ? p : p * 40503;
        in[2 * p] = static_cast<BYTE>(value);
        in[2 * p + 1] = static_cast<BYTE>(value >> 8);
    }
    for (const Masks& m : cases) {
        for (const LONG width : {65536, 65531, 31}) {
            BmpLayout l;
            l.bpp = 16;
            l.width = width;
            l.masks[0] = m.red;
            l.masks[1] = m.green;
            l.masks[2] = m.blue;
            RowDecoder d = MakeRowDecoder(l, nullptr);
            const std::string name = std::to_string(m.red) + " " + std::to_string(m.green) + " " +
                                     std::to_string(m.blue) + ", " + std::to_string(width);
            ASSERT_EQ(d.fast16, m.widened && UseFastPaths()) << name;
            ASSERT_EQ(d.looks_up, m.looked_up && UseByteTables()) << name;
            // The look-ups where taken, then the widening, then the table alone.
            std::vector<BYTE> plain(2 * (3 * static_cast<std::size_t>(width) + 1), 7), looked_up = plain,
                                                                                       widened = plain;
            DecodeTwoRows(l, d, in.data(), in.size() / 2, &looked_up);
            d.looks_up = false;
            DecodeTwoRows(l, d, in.data(), in.size() / 2, &widened);
            d.fast16 = false;
            DecodeTwoRows(l, d, in.data(), in.size() / 2, &plain);
            EXPECT_EQ(looked_up, plain) << name;
            EXPECT_EQ(widened, plain) << name;
        }
    }
}

// The fast path for 32-bit rows whose fields are bytes against the definition, for fields in several
// orders, with and without alpha, and rows that leave pixels over; fields that are not whole bytes are
// the definition's alone.
TEST(RowDecoder, FastThirtyTwoBitFieldsMatchTheDefinition) {
    const DWORD cases[][4] = {{0xFF0000, 0xFF00, 0xFF, 0},
                              {0xFF, 0xFF00, 0xFF0000, 0xFF000000},
                              {0xFF00, 0xFF0000, 0xFF000000, 0xFF},
                              {0xFF000000, 0, 0xFF, 0},
                              {0x3FF00000, 0xFFC00, 0x3FF, 0}};
    std::vector<BYTE> in(2 * 4 * 35);  // two rows
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<BYTE>(i * 97 + i / 4);
    for (const auto& masks : cases) {
        for (const LONG width : {35, 8, 1}) {
            BmpLayout l;
            l.bpp = 32;
            l.compression = BI_BITFIELDS;
            l.width = width;
            std::copy_n(masks, 4, l.masks);
            RowDecoder d = MakeRowDecoder(l, nullptr);
            const std::string name =
                std::to_string(masks[0]) + " " + std::to_string(masks[3]) + ", " + std::to_string(width);
            ASSERT_EQ(d.bytes32, masks[0] != 0x3FF00000 && UseFastPaths()) << name;
            std::vector<BYTE> fast(2 * (4 * static_cast<std::size_t>(width) + 1), 7), plain = fast;
            DecodeTwoRows(l, d, in.data(), in.size() / 2, &fast);
            d.bytes32 = false;
            DecodeTwoRows(l, d, in.data(), in.size() / 2, &plain);
            EXPECT_EQ(fast, plain) << name;
        }
    }
}
#endif

// Run-length files: a 5 × 2 picture with a palette of 16 grey levels (entry i is 10·i), its codes given
// as bytes; the loader gives its pixels as grey levels, bottom row first, or declines.
#ifndef _WIN32  // the stand-in loader's own decoding of run-length data
struct RunLength {
    const char* name;
    WORD bpp;
    LONG width, height;
    std::vector<BYTE> codes;
    std::vector<int> expected;  // empty: declined
    friend void PrintTo(const RunLength& c, std::ostream* os) { *os << c.name; }
};

class RunLengthFiles : public testing::TestWithParam<RunLength> {};

TEST_P(RunLengthFiles, DecodeOrAreDeclined) {
    const RunLength& c = GetParam();
    ScratchFolder dir;
    std::vector<BYTE> palette;
    for (int i = 0; i < 16; ++i) palette.insert(palette.end(), {BYTE(10 * i), BYTE(10 * i), BYTE(10 * i), 0});
    BmpBytes f = test::MakeBmpFile(c.width, c.height, c.bpp, palette, c.codes);
    f.U32(30, c.bpp == 8 ? BI_RLE8 : BI_RLE4);
    test::WriteFileBytes(dir / "rle.bmp", f.bytes);
    const test::Image image(static_cast<HBITMAP>(
        LoadImageA(nullptr, (dir / "rle.bmp").c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION)));
    if (c.expected.empty()) {
        EXPECT_EQ(image, nullptr);
    } else {
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(test::FirstBytes(image), c.expected);
    }
    EXPECT_EQ(ParseBitmapFileA((dir / "rle.bmp").c_str()), nullptr) << "the parser takes no run-length data";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunLengthFiles,
    testing::Values(
        // A run, three literals (padded to an even count of bytes), end of row; a move right by one,
        // a run of one, end of picture. Pixels never reached keep palette entry 0.
        RunLength{"Rle8",
                  8,
                  5,
                  2,
                  {2, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 1, 0, 1, 5, 0, 1},
                  {10, 10, 20, 30, 40, 0, 50, 0, 0, 0}},
        // A run alternating the two nibbles, end of row; three literal nibbles, end of picture.
        RunLength{"Rle4", 4, 5, 2, {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 1}, {10, 20, 10, 20, 10, 30, 40, 50, 0, 0}},
        RunLength{"DataEndsEarly", 8, 5, 2, {3, 7}, {70, 70, 70, 0, 0, 0, 0, 0, 0, 0}},
        // Literals that take the data to its very last byte, unpadded; a move cut off after its code.
        RunLength{"LiteralsToTheLastByte", 8, 5, 2, {0, 3, 1, 2, 3}, {10, 20, 30, 0, 0, 0, 0, 0, 0, 0}},
        RunLength{"MoveCutShort", 8, 5, 2, {1, 5, 0, 2, 1}, {50, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        RunLength{"RunPastTheRow", 8, 5, 2, {6, 1, 0, 1}, {}},
        RunLength{"LiteralsPastTheRow", 8, 5, 2, {2, 1, 0, 4, 1, 2, 3, 4, 0, 1}, {}},
        RunLength{"MovePastThePicture", 8, 5, 2, {0, 2, 0, 3, 0, 1}, {}},
        RunLength{"RunAfterTheLastRow", 8, 5, 2, {0, 0, 0, 0, 1, 1}, {}},
        RunLength{"IndexBeyondTheTable", 8, 5, 2, {1, 16, 0, 1}, {}},
        // Four bytes of codes claiming 5 × 1,000,000 pixels.
        RunLength{"HugePictureFromTinyData", 8, 5, 1000000, {0, 0, 0, 1}, {}}),
    [](const testing::TestParamInfo<RunLength>& info) { return info.param.name; });

#endif

TEST(SaveBitmap, FailsWithoutAFileWhereThePathCannotBeCreated) {
    ScratchFolder dir;
    test::WriteFileBytes(dir / "plain", {1});
    const test::Image image = Patterned(3, 3, 24);
    EXPECT_FALSE(SaveBitmapToFileA((dir / "plain/x.bmp").c_str(), image));
    EXPECT_FALSE(SaveBitmapToFileA((dir / "missing/x.bmp").c_str(), image));
    EXPECT_FALSE(SaveBitmapToFileA((dir / "y.bmp").c_str(), nullptr));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

#ifndef _WIN32  // the stand-in fails its own file calls on request; the real ones cannot be made to
// Every point of a save that changes files is failed in turn; each time the earlier file must stay
// whole and nothing else may be left in the folder.
TEST(SaveBitmap, FailureAtAnyPointKeepsTheEarlierFile) {
    ScratchFolder dir;
    const std::string path = dir / "out.bmp";
    const test::Image first = Patterned(5, 4, 24);
    const test::Image second = Patterned(7, 2, 32);
    ASSERT_TRUE(SaveBitmapToFileA(path.c_str(), first));
    const std::vector<BYTE> earlier = test::ReadFileBytes(path);

    StandInInjectFileFault(0, FileFault::kFail);
    ASSERT_TRUE(SaveBitmapToFileA((dir / "count.bmp").c_str(), second));
    const int points = StandInFileCallCount();
    fs::remove(dir / "count.bmp");
    ASSERT_GE(points, 6);  // create, three writes, flush, rename

    for (FileFault how : {FileFault::kFail, FileFault::kShortWrite}) {
        for (int n = 1; n <= points; ++n) {
            StandInInjectFileFault(n, how);
            EXPECT_FALSE(SaveBitmapToFileA(path.c_str(), second)) << "fault at point " << n;
            EXPECT_EQ(test::ReadFileBytes(path), earlier) << "fault at point " << n;
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
                << "fault at point " << n;
        }
    }
    StandInInjectFileFault(0, FileFault::kFail);
    StandInFailHeapAlloc(true);
    EXPECT_FALSE(SaveBitmapToFileA(path.c_str(), second));
    StandInFailHeapAlloc(false);
    EXPECT_EQ(test::ReadFileBytes(path), earlier);

    ASSERT_TRUE(SaveBitmapToFileA(path.c_str(), second));
    EXPECT_NE(test::ReadFileBytes(path), earlier);
}
#endif

}  // namespace
