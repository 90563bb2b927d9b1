#include "bilinear.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test::FirstBytes;
using test::MakeGrey;
using test::ViewOf;

struct GreyCase {
    const char* name;
    LONG source_width, source_height;
    std::vector<int> source;
    LONG width, height;
    std::vector<int> expected;
    friend void PrintTo(const GreyCase& c, std::ostream* os) { *os << c.name; }
};

class BilinearGrey : public testing::TestWithParam<GreyCase> {};

TEST_P(BilinearGrey, GivesExactBytes) {
    const GreyCase& c = GetParam();
    for (WORD bpp : {WORD{24}, WORD{32}}) {
        HBITMAP source = MakeGrey(c.source_width, c.source_height, c.source, bpp);
        HBITMAP target = test::MakeImage(c.width, c.height, 24);
        bilinear_interpolation(ViewOf(target), ViewOf(source));
        EXPECT_EQ(FirstBytes(target), c.expected) << bpp << "-bit source";
        DeleteObject(source);
        DeleteObject(target);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BilinearGrey,
    testing::Values(
        GreyCase{"TwoWidenedToFour", 2, 1, {0, 255}, 4, 1, {128, 255, 255, 255}},
        GreyCase{"FourNarrowedToTwo", 4, 1, {0, 100, 200, 255}, 2, 1, {50, 228}},
        GreyCase{"ThreeNarrowedToOne", 3, 1, {0, 10, 20}, 1, 1, {5}},
        GreyCase{"TwoByTwoEnlarged", 2, 2, {0, 100, 200, 255}, 3, 3, {139, 178, 178, 228, 255, 255, 228, 255, 255}},
        // 2/6 + 0.5 + 0.5 is 2 only in exact arithmetic; in 64 bits it lands below and truncates to 1.
        GreyCase{"ExtendedPrecisionTieRoundsDown", 2, 1, {9, 0}, 6, 1, {5, 1, 0, 0, 0, 0}},
        // Double precision would give 5, 7, 0.
        GreyCase{"ExtendedPrecisionDecidesMiddle", 4, 1, {9, 0, 9, 0}, 3, 1, {5, 8, 0}},
        GreyCase{"OnePixelFillsAll", 1, 1, {77}, 3, 2, {77, 77, 77, 77, 77, 77}},
        // Same size is no copy: each pixel averages with its right and next-row neighbours, clamped.
        GreyCase{"SameSizeAveragesForward", 3, 3, {10, 20, 30, 40, 50, 61, 70, 80, 90}, 3, 3,
                 {30, 40, 46, 60, 70, 76, 75, 85, 90}},
        GreyCase{"ColumnNarrowed", 1, 4, {0, 100, 200, 255}, 1, 2, {50, 228}}),
    [](const testing::TestParamInfo<GreyCase>& info) { return info.param.name; });

TEST(Bilinear, ChannelsAreInterpolatedSeparately) {
    HBITMAP source = test::MakeImage(2, 1, 24, {10, 20, 30, 50, 60, 71});
    HBITMAP target = test::MakeImage(1, 1, 24);
    bilinear_interpolation(ViewOf(target), ViewOf(source));
    EXPECT_EQ(test::ColourBytes(target), (std::vector<int>{30, 40, 51}));
    DeleteObject(source);
    DeleteObject(target);
}

TEST(Bilinear, LeavesFourthByteOfDestinationAlone) {
    HBITMAP source = test::MakeImage(2, 1, 32, {0, 0, 0, 255, 255, 255}, 9);
    HBITMAP target = test::MakeImage(4, 1, 32, std::vector<int>(12, 1), 77);
    bilinear_interpolation(ViewOf(target), ViewOf(source));
    const BITMAP view = ViewOf(target);
    const BYTE* p = static_cast<const BYTE*>(view.bmBits);
    EXPECT_EQ(FirstBytes(target), (std::vector<int>{128, 255, 255, 255}));
    for (int x = 0; x < 4; ++x) EXPECT_EQ(p[4 * x + 3], 77) << x;
    DeleteObject(source);
    DeleteObject(target);
}

TEST(Bilinear, LeavesDestinationUntouchedWhenNothingCanBeDone) {
    HBITMAP grey = MakeGrey(2, 2, {1, 2, 3, 4});
    HBITMAP indexed = test::MakeImage(2, 2, 8);
    HBITMAP target = MakeGrey(2, 1, {42, 43});
    BITMAP empty = ViewOf(grey);
    empty.bmWidth = 0;  // an empty source
    bilinear_interpolation(ViewOf(target), empty);
    bilinear_interpolation(ViewOf(target), ViewOf(indexed));
    EXPECT_EQ(FirstBytes(target), (std::vector<int>{42, 43}));

    BITMAP no_rows = ViewOf(target);
    no_rows.bmHeight = 0;  // an empty destination is not written at all
    bilinear_interpolation(no_rows, ViewOf(grey));
    EXPECT_EQ(FirstBytes(target), (std::vector<int>{42, 43}));
    DeleteObject(grey);
    DeleteObject(indexed);
    DeleteObject(target);
}

}  // namespace
