// What the program's call sites rely on from the platform layer: checked against the stand-in here and
// against a real implementation of the API in the Windows build. At the end, the stand-in's own answers.
#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"
#include "win32.h"

namespace {

using test::FirstBytes;

struct Header {
    BITMAPINFOHEADER h;
    DWORD extra[256 + 3 + 21];  // masks or colour table, after a header of up to 124 bytes
};

Header MakeHeader(LONG width, LONG height, WORD bpp, DWORD compression = BI_RGB, DWORD size = 40) {
    Header info{};
    info.h.biSize = size;
    info.h.biWidth = width;
    info.h.biHeight = height;
    info.h.biPlanes = 1;
    info.h.biBitCount = bpp;
    info.h.biCompression = compression;
    return info;
}

HBITMAP Create(const Header& info, void** bits = nullptr) {
    return CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS, bits, nullptr, 0);
}

struct Accepted {
    const char* name;
    Header info;
    LONG stride;
    friend void PrintTo(const Accepted& c, std::ostream* os) { *os << c.name; }
};

// Masks follow a 40-byte header.
Header WithMasks(Header info, DWORD r, DWORD g, DWORD b) {
    info.extra[0] = r;
    info.extra[1] = g;
    info.extra[2] = b;
    return info;
}

class CreateDIBSectionAccepts : public testing::TestWithParam<Accepted> {};

TEST_P(CreateDIBSectionAccepts, ZeroedPaddedRows) {
    const Accepted& c = GetParam();
    void* bits = nullptr;
    HBITMAP image = Create(c.info, &bits);
    ASSERT_NE(image, nullptr);
    const BITMAP v = ViewOf(image);
    EXPECT_EQ(v.bmBits, bits);
    EXPECT_EQ(v.bmWidth, c.info.h.biWidth);
    EXPECT_EQ(v.bmHeight, c.info.h.biHeight < 0 ? -c.info.h.biHeight : c.info.h.biHeight);
    EXPECT_EQ(v.bmWidthBytes, c.stride);
    EXPECT_EQ(v.bmBitsPixel, c.info.h.biBitCount);
    EXPECT_EQ(v.bmPlanes, 1);
    const auto* p = static_cast<const BYTE*>(v.bmBits);
    for (LONG i = 0; i < v.bmWidthBytes * v.bmHeight; ++i) ASSERT_EQ(p[i], 0) << i;
    EXPECT_TRUE(DeleteObject(image));
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CreateDIBSectionAccepts,
    testing::Values(Accepted{"OneBit", MakeHeader(9, 2, 1), 4}, Accepted{"FourBits", MakeHeader(9, 2, 4), 8},
                    Accepted{"EightBits", MakeHeader(5, 2, 8), 8}, Accepted{"SixteenBits", MakeHeader(3, 2, 16), 8},
                    Accepted{"TwentyFourBits", MakeHeader(5, 3, 24), 16},
                    Accepted{"ThirtyTwoBits", MakeHeader(3, 1, 32), 12}, Accepted{"TopDown", MakeHeader(5, -3, 24), 16},
                    Accepted{"Bitfields16", WithMasks(MakeHeader(3, 2, 16, BI_BITFIELDS), 0xF800, 0x07E0, 0x001F), 8},
                    Accepted{"Bitfields32", WithMasks(MakeHeader(3, 2, 32, BI_BITFIELDS), 0xFF0000, 0xFF00, 0xFF), 12},
                    Accepted{"V4Header", MakeHeader(4, 4, 24, BI_RGB, 108), 12},
                    Accepted{"V5Header", MakeHeader(4, 4, 8, BI_RGB, 124), 4}),
    [](const testing::TestParamInfo<Accepted>& info) { return info.param.name; });

struct Refused {
    const char* name;
    Header info;
    friend void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }
};

Header Tweak(Header info, void (*change)(BITMAPINFOHEADER&)) {
    change(info.h);
    return info;
}

class CreateDIBSectionRefuses : public testing::TestWithParam<Refused> {};

TEST_P(CreateDIBSectionRefuses, WithNull) {
    void* bits = reinterpret_cast<void*>(1);
    EXPECT_EQ(Create(GetParam().info, &bits), nullptr);
    EXPECT_EQ(bits, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, CreateDIBSectionRefuses,
    testing::Values(Refused{"TwoPlanes", Tweak(MakeHeader(2, 2, 24), [](BITMAPINFOHEADER& h) { h.biPlanes = 2; })},
                    Refused{"ZeroWidth", MakeHeader(0, 2, 24)}, Refused{"NegativeWidth", MakeHeader(-2, 2, 24)},
                    Refused{"ZeroHeight", MakeHeader(2, 0, 24)}, Refused{"TwoBits", MakeHeader(2, 2, 2)},
                    Refused{"SixtyFourBits", MakeHeader(2, 2, 64)}, Refused{"Rle8", MakeHeader(2, 2, 8, BI_RLE8)},
                    Refused{"Bitfields24", MakeHeader(2, 2, 24, BI_BITFIELDS)},
                    Refused{"BitfieldsWithoutMasks", MakeHeader(2, 2, 32, BI_BITFIELDS)},
                    Refused{"CoreHeader", MakeHeader(2, 2, 24, BI_RGB, 12)},
                    Refused{"LargestNegativeHeight", MakeHeader(2, INT32_MIN, 24)}),
    [](const testing::TestParamInfo<Refused>& info) { return info.param.name; });

TEST(GetObject, NeedsRoomForTheWholeRecord) {
    HBITMAP image = test::MakeImage(3, 3, 24).release();
    BITMAP view{};
    // The record is 32 bytes on 64-bit systems; 24 bytes would cut the pixel pointer off.
    EXPECT_EQ(GetObjectA(image, 24, &view), 0);
    EXPECT_EQ(GetObjectA(image, sizeof view, &view), static_cast<int>(sizeof(BITMAP)));
    EXPECT_NE(view.bmBits, nullptr);
    DeleteObject(image);
    EXPECT_EQ(GetObjectA(image, sizeof view, &view), 0);
}

TEST(CopyImage, GivesADistinctIndependentImage) {
    HBITMAP image = test::MakeImage(3, 2, 8).release();
    auto* p = static_cast<BYTE*>(ViewOf(image).bmBits);
    p[0] = 5;
    HBITMAP copy = static_cast<HBITMAP>(CopyImage(image, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION | LR_COPYRETURNORG));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, image);
    const BITMAP a = ViewOf(image), b = ViewOf(copy);
    EXPECT_NE(a.bmBits, b.bmBits);
    EXPECT_EQ(std::memcmp(a.bmBits, b.bmBits, static_cast<std::size_t>(a.bmWidthBytes) * a.bmHeight), 0);
    EXPECT_EQ(b.bmBitsPixel, 8);
    static_cast<BYTE*>(b.bmBits)[0] = 6;
    EXPECT_EQ(p[0], 5);

    // The colour table travels with the copy.
    HDC dc = CreateCompatibleDC(nullptr);
    Header info = MakeHeader(3, 2, 8);
    std::vector<BYTE> rows(8);
    ASSERT_EQ(GetDIBits(dc, copy, 0, 2, rows.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS), 2);
    EXPECT_EQ(info.extra[3], 0x0001FC03u);  // entry 3: blue 3, green 252, red 1
    EXPECT_EQ(rows[0], 6);
    DeleteDC(dc);
    DeleteObject(copy);
    DeleteObject(image);
}

TEST(DIBits, BufferOrientationFollowsItsHeader) {
    HBITMAP image = test::MakeImage(1, 3, 24).release();  // bottom-up: memory row 0 is the bottom row
    HDC dc = CreateCompatibleDC(nullptr);
    const BYTE top_down_rows[12] = {30, 30, 30, 0, 20, 20, 20, 0, 10, 10, 10, 0};
    Header down = MakeHeader(1, -3, 24);
    ASSERT_EQ(SetDIBits(dc, image, 0, 3, top_down_rows, reinterpret_cast<BITMAPINFO*>(&down), DIB_RGB_COLORS), 3);
    EXPECT_EQ(FirstBytes(image), (std::vector<int>{10, 20, 30}));

    BYTE bottom_up[12] = {};
    Header up = MakeHeader(1, 3, 24);
    ASSERT_EQ(GetDIBits(dc, image, 0, 3, bottom_up, reinterpret_cast<BITMAPINFO*>(&up), DIB_RGB_COLORS), 3);
    EXPECT_EQ(bottom_up[0], 10);
    EXPECT_EQ(bottom_up[8], 30);
    DeleteDC(dc);
    DeleteObject(image);
}

#ifndef _WIN32  // the stand-in's own answers: its limits and its handle table; Windows answers for itself

// A colour table longer than the depth allows, and 20000 × 20000 × 4 bytes, far beyond the pixel memory
// limit.
INSTANTIATE_TEST_SUITE_P(StandInLimits, CreateDIBSectionRefuses,
                         testing::Values(Refused{"TooManyColours", Tweak(MakeHeader(2, 2, 1),
                                                                         [](BITMAPINFOHEADER& h) { h.biClrUsed = 3; })},
                                         Refused{"TooLarge", MakeHeader(20000, 20000, 32)}),
                         [](const testing::TestParamInfo<Refused>& info) { return info.param.name; });

TEST(DIBits, RefuseABufferOfAnotherDepth) {
    HBITMAP image = test::MakeImage(1, 3, 24).release();
    HDC dc = CreateCompatibleDC(nullptr);
    BYTE rows[12] = {};
    Header wrong = MakeHeader(1, 3, 32);
    EXPECT_EQ(GetDIBits(dc, image, 0, 3, rows, reinterpret_cast<BITMAPINFO*>(&wrong), DIB_RGB_COLORS), 0);
    EXPECT_EQ(SetDIBits(dc, image, 0, 3, rows, reinterpret_cast<BITMAPINFO*>(&wrong), DIB_RGB_COLORS), 0);
    DeleteDC(dc);
    DeleteObject(image);
}

TEST(PixelBlocks, AnImageTakesTheBlockReleasedLast) {
    // Large enough to be kept when released.
    void *first_bits = nullptr, *last_bits = nullptr, *bits = nullptr;
    HBITMAP first = Create(MakeHeader(256, 256, 24), &first_bits);
    HBITMAP last = Create(MakeHeader(256, 256, 24), &last_bits);
    DeleteObject(first);
    DeleteObject(last);
    HBITMAP image = Create(MakeHeader(256, 256, 24), &bits);
    EXPECT_EQ(bits, last_bits);
    DeleteObject(image);
}

TEST(Handles, MisuseFailsCleanly) {
    HDC dc = CreateCompatibleDC(nullptr);
    HDC other = CreateCompatibleDC(nullptr);
    HBITMAP image = test::MakeImage(2, 2, 24).release();
    HGDIOBJ original = SelectObject(dc, image);
    ASSERT_NE(original, nullptr);
    EXPECT_EQ(SelectObject(other, image), nullptr) << "an image is in one context at a time";
    EXPECT_FALSE(DeleteObject(image)) << "a selected image cannot be released";
    EXPECT_EQ(SelectObject(dc, original), image);
    EXPECT_TRUE(DeleteObject(image));
    EXPECT_FALSE(DeleteObject(image)) << "double release";
    EXPECT_EQ(SelectObject(dc, image), nullptr) << "use after release";
    BITMAP view;
    EXPECT_EQ(GetObjectA(dc, sizeof view, &view), 0) << "a context is not an image";
    EXPECT_FALSE(DeleteObject(dc)) << "contexts go with DeleteDC";
    EXPECT_EQ(CopyImage(dc, IMAGE_BITMAP, 0, 0, 0), nullptr);
    EXPECT_TRUE(DeleteDC(dc));
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(SelectObject(dc, original), nullptr);
    EXPECT_EQ(SetStretchBltMode(dc, HALFTONE), 0);
    EXPECT_FALSE(DeleteObject(nullptr));
    EXPECT_EQ(CopyImage(nullptr, IMAGE_BITMAP, 0, 0, 0), nullptr);

    // Deleting a context frees the image it held.
    HBITMAP held = test::MakeImage(2, 2, 24).release();
    SelectObject(other, held);
    EXPECT_TRUE(DeleteDC(other));
    EXPECT_TRUE(DeleteObject(held));
}

#endif

}  // namespace
