// The halftone stretch: Windows' arithmetic on its worked examples, the choice of path, picture order,
// both depths, and the fast paths against the plain definition.
#include "halftone.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "pipeline.h"
#include "test_support.h"

namespace {

// A picture given row by row from the top, `step` bytes per pixel (a fourth byte set to `fourth`),
// bottom-up in memory unless `top_down`.
test::Image MakePicture(LONG width, LONG height, const std::vector<int>& bytes, WORD bpp = 24, bool top_down = false,
                        BYTE fourth = 0) {
    std::vector<int> memory_order;
    const std::size_t row = 3 * static_cast<std::size_t>(width);
    for (LONG y = 0; y < height; ++y) {
        const std::size_t from = row * static_cast<std::size_t>(top_down ? y : height - 1 - y);
        memory_order.insert(memory_order.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                            bytes.begin() + static_cast<std::ptrdiff_t>(from + row));
    }
    return test::MakeImage(width, top_down ? -height : height, bpp, memory_order, fourth);
}

// The colour bytes of an image's picture, row by row from the top.
std::vector<int> PictureBytes(HBITMAP image) {
    const BITMAP view = ViewOf(image);
    const std::vector<int> memory = test::ColourBytes(image);
    std::vector<int> out;
    const std::size_t row = 3 * static_cast<std::size_t>(view.bmWidth);
    for (LONG y = view.bmHeight; y-- > 0;) {  // the images made here are bottom-up
        out.insert(out.end(), memory.begin() + static_cast<std::ptrdiff_t>(row * y),
                   memory.begin() + static_cast<std::ptrdiff_t>(row * (y + 1)));
    }
    return out;
}

// The stretch of the whole `source` into a new bottom-up image of `width` × `height`, as picture bytes.
std::vector<int> Stretched(HBITMAP source, LONG width, LONG height, WORD bpp = 24) {
    const std::vector<int> memory = test::HalftoneColourBytes(source, width, height, bpp);
    const test::Image copy = test::MakeImage(width, height, 24, memory);
    std::vector<int> picture = PictureBytes(copy);
    return picture;
}

std::vector<int> Grey(const std::vector<int>& values) {
    std::vector<int> bytes;
    for (int v : values) bytes.insert(bytes.end(), {v, v, v});
    return bytes;
}

std::vector<int> Repeated(std::vector<int> pixel, std::size_t times) {
    std::vector<int> bytes;
    for (std::size_t n = 0; n < times; ++n) bytes.insert(bytes.end(), pixel.begin(), pixel.end());
    return bytes;
}

struct Example {
    const char* name;
    LONG sw, sh;
    std::vector<int> source;  // grey values, rows from the top
    LONG dw, dh;
    std::vector<int> expected;
    friend void PrintTo(const Example& e, std::ostream* os) { *os << e.name; }
};

class HalftoneExample : public testing::TestWithParam<Example> {};

TEST_P(HalftoneExample, GivesWindowsBytes) {
    const Example& e = GetParam();
    const test::Image source = MakePicture(e.sw, e.sh, Grey(e.source));
    EXPECT_EQ(Stretched(source, e.dw, e.dh), Grey(e.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HalftoneExample,
    testing::Values(
        // One axis shrinks: the sharpening takes a plain average of 85, 85 to 85, 84.
        Example{"OneRowThirds", 3, 1, {0, 255, 0}, 2, 1, {85, 84}},
        // 9 → 5 weighs cell 0 as 4551, 3641 and cell 1 as 910, 4551, 2731 (cell 2 starts with 1820): one
        // bright pixel shows them through the 6/−1 sharpening. Pixel 1: (5·3641 − 910)·255 >> 15 = 134,
        // (6·910 − 3641)·255 >> 15 = 14. Pixel 3: (6·2731 − 1820)·255 >> 15 = 113,
        // (6·1820 − 2731)·255 >> 15 = 63, and the cells beside go below zero.
        Example{"NineToFiveFirstCells", 9, 1, {0, 255, 0, 0, 0, 0, 0, 0, 0}, 5, 1, {134, 14, 0, 0, 0}},
        Example{"NineToFiveMiddleCells", 9, 1, {0, 0, 0, 255, 0, 0, 0, 0, 0}, 5, 1, {0, 113, 63, 0, 0}},
        // The same weights down a column.
        Example{"NineToFiveDown", 1, 9, {0, 255, 0, 0, 0, 0, 0, 0, 0}, 1, 5, {134, 14, 0, 0, 0}},
        // Both axes shrink: each row is rounded to bytes first (85, 85, not the 85.01 and 84.98 the
        // one-row case sharpens to 85, 84), and the cross of equal values gives them back.
        Example{"TwoRowsThirds", 3, 2, {0, 255, 0, 0, 255, 0}, 2, 1, {85, 85}},
        // Equal size is a copy; 7 × 5 to 5 × 7 keeps more than 2/3 of each axis and as many pixels, so it
        // replicates: columns 0, 2, 3, 5, 6 (the last of each run), rows 0, 1, 1, 2, 3, 3, 4 (nearest
        // centre, ties to the earlier).
        Example{"SameSizeCopies", 2, 2, {1, 2, 3, 4}, 2, 2, {1, 2, 3, 4}},
        Example{"SevenByFiveReplicated",
                7,
                5,
                {0,  1,  2,  3,  4,  5,  6,  10, 11, 12, 13, 14, 15, 16, 20, 21, 22, 23,
                 24, 25, 26, 30, 31, 32, 33, 34, 35, 36, 40, 41, 42, 43, 44, 45, 46},
                5,
                7,
                {0,  2,  3,  5,  6,  10, 12, 13, 15, 16, 10, 12, 13, 15, 16, 20, 22, 23,
                 25, 26, 30, 32, 33, 35, 36, 30, 32, 33, 35, 36, 40, 42, 43, 45, 46}},
        // One axis shrinks while the other grows (4 → 2 keeps too little to replicate): the row is
        // reduced as in the one-axis case, (5·30·8192 − 145·8192) >> 15 = 1 and
        // (5·145·8192 − 30·8192) >> 15 = 173 from the cells 10, 50 and 200, 90, and the one row is spread
        // over two by its area, which repeats it.
        Example{"MixedShrinksAcrossAndSpreadsDown", 4, 1, {10, 50, 200, 90}, 2, 2, {1, 173, 1, 173}},
        // 6 → 13 takes scan 2 at j = 6.
        Example{"SixToThirteen", 6, 1, {0, 1, 2, 3, 4, 5}, 13, 1, {0, 0, 1, 1, 2, 2, 2, 3, 3, 4, 4, 5, 5}}),
    [](const testing::TestParamInfo<Example>& info) { return info.param.name; });

TEST(Halftone, ConstantPictureStaysConstantThroughEveryPath) {
    const std::vector<int> colour = {17, 128, 255};
    for (WORD bpp : {WORD{24}, WORD{32}}) {
        const test::Image source = MakePicture(3, 3, Repeated(colour, 9), bpp);
        for (LONG w = 1; w <= 5; ++w) {  // up to 5: the mixed case, where one axis grows
            for (LONG h = 1; h <= 5; ++h) {
                EXPECT_EQ(Stretched(source, w, h, bpp), Repeated(colour, static_cast<std::size_t>(w * h)))
                    << w << " x " << h << ", " << bpp << " bits";
            }
        }
    }
}

// Replicated or filtered: a replicated picture holds exactly the source pixels the indices name.
TEST(Halftone, ReplicatesOnlyWhatKeepsItsLengthAndPixels) {
    struct Case {
        LONG sw, sh, dw, dh;
        bool replicated;
    };
    const Case cases[] = {
        {3, 2, 17, 1, true}, {9, 2, 17, 1, false}, {9, 2, 61, 1, true}, {3, 3, 17, 1, false}, {7, 9, 5, 13, true}};
    const auto index = [](LONG j, LONG s, LONG d) {
        return s > d ? (2 * (j + 1) * s - d - 1) / (2 * d) : s < d ? ((2 * j + 1) * s - 1) / (2 * d) : j;
    };
    std::mt19937 random(3);
    for (const Case& c : cases) {
        std::vector<int> bytes(static_cast<std::size_t>(3 * c.sw * c.sh));
        for (int& b : bytes) b = static_cast<int>(random() % 256);
        std::vector<int> replicated;
        for (LONG i = 0; i < c.dh; ++i) {
            for (LONG j = 0; j < c.dw; ++j) {
                const std::size_t at = 3 * static_cast<std::size_t>(index(i, c.sh, c.dh) * c.sw + index(j, c.sw, c.dw));
                replicated.insert(replicated.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                  bytes.begin() + static_cast<std::ptrdiff_t>(at + 3));
            }
        }
        const test::Image source = MakePicture(c.sw, c.sh, bytes);
        EXPECT_EQ(Stretched(source, c.dw, c.dh) == replicated, c.replicated)
            << c.sw << " x " << c.sh << " to " << c.dw << " x " << c.dh;
    }
}

// Rows count from the top of the picture whatever the memory order, and a fourth byte is neither read
// nor written.
TEST(Halftone, PictureOrderAndFourthByte) {
    std::mt19937 random(11);
    std::vector<int> bytes(3 * 37 * 29);
    for (int& b : bytes) b = static_cast<int>(random() % 256);
    const test::Image bottom_up = MakePicture(37, 29, bytes);
    const test::Image top_down = MakePicture(37, 29, bytes, 24, true);
    const test::Image wide = MakePicture(37, 29, bytes, 32, false, 0xA5);
    const std::vector<int> expected = Stretched(bottom_up, 11, 7);
    EXPECT_EQ(Stretched(top_down, 11, 7), expected);
    EXPECT_EQ(Stretched(wide, 11, 7), expected);

    const test::Image target = test::MakeImage(11, 7, 32, std::vector<int>(3 * 11 * 7, 0), 0x5A);
    ASSERT_TRUE(HalftoneStretchInto(target, wide));
    const BITMAP t = ViewOf(target);
    for (LONG p = 0; p < 11 * 7; ++p) EXPECT_EQ(static_cast<const BYTE*>(t.bmBits)[4 * p + 3], 0x5A) << p;
    EXPECT_EQ(PictureBytes(target), expected);
}

TEST(Halftone, RefusesWhatItDoesNotSupportAndLeavesTheTarget) {
    const test::Image source = test::MakeGrey(2, 2, {1, 2, 3, 4});
    const test::Image indexed = test::MakeImage(2, 2, 8);
    const test::Image target = test::MakeGrey(1, 1, {99});
    HDC from = CreateCompatibleDC(nullptr), to = CreateCompatibleDC(nullptr);
    HGDIOBJ old_from = SelectObject(from, source), old_to = SelectObject(to, target);
    EXPECT_FALSE(StretchBlt(to, 0, 0, 1, 1, from, 0, 0, 2, 2, SRCCOPY)) << "not in halftone mode";
    SetStretchBltMode(to, HALFTONE);
    EXPECT_FALSE(StretchBlt(to, 0, 0, 1, 1, from, 0, 0, 1, 1, SRCCOPY)) << "part of the source";
    EXPECT_FALSE(StretchBlt(to, 0, 0, 1, 1, from, 0, 0, 2, 2, 0)) << "another raster operation";
    SelectObject(from, indexed);
    EXPECT_FALSE(StretchBlt(to, 0, 0, 1, 1, from, 0, 0, 2, 2, SRCCOPY)) << "8-bit source";
    SelectObject(from, old_from);
    SelectObject(to, old_to);
    EXPECT_EQ(test::FirstBytes(target), (std::vector<int>{99}));
    DeleteDC(from);
    DeleteDC(to);
}

// A picture in a buffer of its own, for the definition-against-fast-path comparison.
struct Buffer {
    std::vector<BYTE> bytes;
    HalftonePicture picture;
    Buffer(LONG width, LONG height, std::size_t step, bool top_down, std::mt19937& random) {
        const std::size_t stride = (static_cast<std::size_t>(width) * step + 3) / 4 * 4;
        bytes.resize(stride * static_cast<std::size_t>(height));
        for (BYTE& b : bytes) b = static_cast<BYTE>(random());
        picture.width = width;
        picture.height = height;
        picture.step = step;
        picture.top = bytes.data() + (top_down ? 0 : stride * static_cast<std::size_t>(height - 1));
        picture.pitch = top_down ? static_cast<std::ptrdiff_t>(stride) : -static_cast<std::ptrdiff_t>(stride);
    }
};

// The fast stretch of `source` into a copy of `destination` against the definition's into `destination`:
// the bytes of both, for the caller to compare.
std::pair<std::vector<BYTE>, std::vector<BYTE>> FastAndPlain(const Buffer& source, Buffer plain) {
    Buffer fast = plain;
    fast.picture.top = fast.bytes.data() + (plain.picture.top - plain.bytes.data());
    // The fast path first: the stretch keeps its working sums from call to call, and a fast path that left
    // some unwritten would otherwise find the definition's, just made for the same sizes.
    HalftoneStretch(fast.picture, source.picture);
    HalftoneStretchPlain(plain.picture, source.picture);
    return {fast.bytes, plain.bytes};
}

// Sizes of every kind (whole and broken ratios, long and short boxes, one-axis shrinks, the search's own
// 2:1 and 1024/24-like ratios), both depths and orientations on each side: not one byte may differ, and
// the destination's padding and fourth bytes stay as they were.
TEST(Halftone, FastPathsMatchTheDefinition) {
    test::RandomTrials(2026, 400, [](std::mt19937& random, int trial) {
        const LONG dw = 1 + static_cast<LONG>(random() % 30), dh = 1 + static_cast<LONG>(random() % 30);
        LONG sw = 1 + static_cast<LONG>(random() % 200), sh = 1 + static_cast<LONG>(random() % 120);
        if (trial % 4 == 0) sw = dw * (1 + static_cast<LONG>(random() % 8));
        if (trial % 4 == 1) sh = dh;
        if (trial % 8 == 2) sw = dw;
        if (trial % 8 == 6) sw = 2 * dw;  // the halving fast path
        const Buffer source(sw, sh, trial % 3 == 0 ? 4 : 3, trial % 5 == 0, random);
        const auto [fast, plain] = FastAndPlain(source, Buffer(dw, dh, trial % 2 == 0 ? 4 : 3, trial % 7 == 0, random));
        ASSERT_EQ(fast, plain) << sw << " x " << sh << " to " << dw << " x " << dh << ", trial " << trial;
    });
    // Source pixels by the hundred per destination pixel: sums of bytes beyond 2^15 in the 16-bit lanes,
    // and beyond 256 of them too many for those lanes, so that those rows take the plain way. Sources up
    // to twice as wide as the destination, whose rows are taken as they lie: two columns a destination
    // byte, two or three, eight or six destination bytes from one window, 32-bit pixels as they lie or
    // first copied to 24 bits, and rows summed down as they are made (from three rows a destination
    // row) or not. And 342 to 24, whose weights' low parts (of 574 and 575) add up beyond what a 16-bit
    // lane holds, so that its columns are summed rather than multiplied two by two. And tall sources whose
    // rows are turned and summed down on their side, forty rows a destination row, the last block short.
    // And narrow sources of 82 rows a destination row, weights below 128: 21 groups of four rows each,
    // the last of two. And a destination too narrow for byte windows (five pixels), four columns each.
    const struct {
        LONG width, height, step, to = 24;
    } kCases[] = {{24 * 255, 20, 3}, {24 * 260, 20, 3}, {25, 400, 3}, {29, 90, 3},   {40, 90, 3},  {40, 9, 3},
                  {25, 8, 3},        {30, 60, 4},       {45, 60, 4},  {45, 9, 4},    {342, 20, 3}, {97, 203, 3},
                  {97, 203, 4},      {24, 410, 3},      {20, 410, 4}, {20, 60, 4, 5}};
    for (const auto& c : kCases) {
        std::mt19937 random(257);
        const Buffer source(c.width, c.height, c.step, false, random);
        const auto [fast, plain] = FastAndPlain(source, Buffer(c.to, 5, 3, false, random));
        EXPECT_EQ(fast, plain) << c.width << " x " << c.height << ", " << 8 * c.step << "-bit";
    }
}

}  // namespace
