#include "bilinear.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "test_support.h"

namespace {

using test::FirstBytes;
using test::MakeGrey;

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
        const test::Image source = MakeGrey(c.source_width, c.source_height, c.source, bpp);
        const test::Image target = test::MakeImage(c.width, c.height, 24);
        bilinear_interpolation(ViewOf(target), ViewOf(source));
        EXPECT_EQ(FirstBytes(target), c.expected) << bpp << "-bit source";
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
        GreyCase{"SameSizeAveragesForward",
                 3,
                 3,
                 {10, 20, 30, 40, 50, 61, 70, 80, 90},
                 3,
                 3,
                 {30, 40, 46, 60, 70, 76, 75, 85, 90}},
        GreyCase{"ColumnNarrowed", 1, 4, {0, 100, 200, 255}, 1, 2, {50, 228}}),
    [](const testing::TestParamInfo<GreyCase>& info) { return info.param.name; });

TEST(Bilinear, ChannelsAreInterpolatedSeparately) {
    const test::Image source = test::MakeImage(2, 1, 24, {10, 20, 30, 50, 60, 71});
    const test::Image target = test::MakeImage(1, 1, 24);
    bilinear_interpolation(ViewOf(target), ViewOf(source));
    EXPECT_EQ(test::ColourBytes(target), (std::vector<int>{30, 40, 51}));
}

// Both when the weights are halves (a source twice as wide, the search's case) and when they are not.
TEST(Bilinear, LeavesFourthByteOfDestinationAlone) {
    for (LONG source_width : {2, 8}) {
        const test::Image source = test::MakeImage(source_width, 1, 32, std::vector<int>(3 * source_width, 200), 9);
        const test::Image target = test::MakeImage(4, 1, 32, std::vector<int>(12, 1), 77);
        bilinear_interpolation(ViewOf(target), ViewOf(source));
        const BYTE* p = static_cast<const BYTE*>(ViewOf(target).bmBits);
        EXPECT_EQ(FirstBytes(target), (std::vector<int>{200, 200, 200, 200})) << source_width;
        for (int x = 0; x < 4; ++x) EXPECT_EQ(p[4 * x + 3], 77) << source_width << ", " << x;
    }
}

TEST(Bilinear, LeavesDestinationUntouchedWhenNothingCanBeDone) {
    const test::Image grey = MakeGrey(2, 2, {1, 2, 3, 4});
    const test::Image indexed = test::MakeImage(2, 2, 8);
    const test::Image target = MakeGrey(2, 1, {42, 43});
    BITMAP empty = ViewOf(grey);
    empty.bmWidth = 0;  // an empty source
    bilinear_interpolation(ViewOf(target), empty);
    bilinear_interpolation(ViewOf(target), ViewOf(indexed));
    EXPECT_EQ(FirstBytes(target), (std::vector<int>{42, 43}));

    BITMAP no_rows = ViewOf(target);
    no_rows.bmHeight = 0;  // an empty destination is not written at all
    bilinear_interpolation(no_rows, ViewOf(grey));
    EXPECT_EQ(FirstBytes(target), (std::vector<int>{42, 43}));
}

TEST(Bilinear, FastPathMatchesTheDefinitionForWholeAndBrokenRatios) {
    test::RandomTrials(7, 300, [](std::mt19937& random, int trial) {
        // Every third source is a whole multiple of the target, the sizes of the first fast path; the
        // others take the second, whose floats must give way to the definition near ties, which pictures
        // of few levels (every fifth) make common.
        const std::uint32_t dw = 1 + random() % 12, dh = 1 + random() % 12;
        const std::uint32_t sw = trial % 3 == 0 ? dw * (1 + random() % 5) : 1 + random() % 40;
        const std::uint32_t sh = trial % 3 == 0 ? dh * (1 + random() % 5) : 1 + random() % 40;
        std::vector<int> bytes = test::RandomBytes(random, std::size_t{sw} * sh * 3);
        if (trial % 5 == 4) {
            for (int& b : bytes) b %= 3;
        }
        // Both depths on both sides: the wide reads and writes of the fast path must mind the pixel
        // step and the end of the image.
        const WORD source_bpp = trial % 4 < 2 ? 24 : 32, target_bpp = trial % 2 == 0 ? 24 : 32;
        const test::Image source = test::MakeImage(static_cast<LONG>(sw), static_cast<LONG>(sh), source_bpp, bytes, 77);
        const test::Image fast = test::MakeImage(static_cast<LONG>(dw), static_cast<LONG>(dh), target_bpp);
        const test::Image plain = test::MakeImage(static_cast<LONG>(dw), static_cast<LONG>(dh), target_bpp);
        bilinear_interpolation(ViewOf(fast), ViewOf(source));
        BilinearPlain(ViewOf(plain), ViewOf(source));
        ASSERT_EQ(test::ColourBytes(fast), test::ColourBytes(plain))
            << sw << "x" << sh << " to " << dw << "x" << dh << ", " << source_bpp << " to " << target_bpp;
    });
}

}  // namespace
