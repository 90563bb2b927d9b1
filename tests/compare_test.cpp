#include "compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_support.h"

namespace {

using test::ColourBytes;

std::vector<int> Pattern(int pixels) {
    std::vector<int> bytes;
    for (int i = 0; i < pixels * 3; ++i) bytes.push_back((i * 29 + 3) % 250 + 2);
    return bytes;
}

struct OnePixel {
    const char* name;
    int change[3];  // added to bytes 0, 1, 2 of one pixel of the second image
    DWORD pixel_score;
    friend void PrintTo(const OnePixel& c, std::ostream* os) { *os << c.name; }
};

class ScoreOfOneDifferentPixel : public testing::TestWithParam<OnePixel> {};

TEST_P(ScoreOfOneDifferentPixel, CountsEveryTerm) {
    const OnePixel& c = GetParam();
    const std::vector<int> bytes = Pattern(24 * 24);
    std::vector<int> other = bytes;
    for (int b = 0; b < 3; ++b) other[3 * 100 + b] += c.change[b];
    const test::Image first = test::MakeImage(24, 24, 24, bytes), second = test::MakeImage(24, 24, 24, other);
    int exact = -1;
    EXPECT_EQ(GetScore(ViewOf(first), ViewOf(second), &exact), 4032 - 7 + c.pixel_score);
    EXPECT_EQ(exact, c.pixel_score == 7 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScoreOfOneDifferentPixel,
                         testing::Values(OnePixel{"Identical", {0, 0, 0}, 7}, OnePixel{"Byte2OffByOne", {0, 0, 1}, 6},
                                         OnePixel{"Byte1OffByOne", {0, -1, 0}, 6},
                                         OnePixel{"Byte0OffByOne", {1, 0, 0}, 5},
                                         OnePixel{"Byte0OffByTwo", {-2, 0, 0}, 4},
                                         OnePixel{"Bytes1And2Far", {0, 2, -2}, 2},
                                         OnePixel{"AllOffByOne", {1, 1, 1}, 3}, OnePixel{"AllFar", {9, 9, 9}, 0}),
                         [](const testing::TestParamInfo<OnePixel>& info) { return info.param.name; });

TEST(Score, IgnoresTheFourthByteAndMixesDepths) {
    const std::vector<int> bytes = Pattern(24 * 24);
    const test::Image a = test::MakeImage(24, 24, 32, bytes, 1), b = test::MakeImage(24, 24, 32, bytes, 2);
    const test::Image c = test::MakeImage(24, 24, 24, bytes);
    int exact = 0;
    EXPECT_EQ(GetScore(ViewOf(a), ViewOf(b), &exact), 4032u);
    EXPECT_EQ(exact, 1);
    EXPECT_EQ(GetScore(ViewOf(a), ViewOf(c), &exact), 4032u);
    EXPECT_EQ(exact, 1);
}

TEST(Score, EmptyFirstImageScoresNothingAndMatches) {
    const test::Image a = test::MakeGrey(2, 2, {1, 2, 3, 4});
    BITMAP empty = ViewOf(a);
    empty.bmHeight = 0;
    int exact = 0;
    EXPECT_EQ(GetScore(empty, ViewOf(a), &exact), 0u);
    EXPECT_EQ(exact, 1);
}

TEST(Score, PixelsBeyondASmallerSecondImageCountAsDiffering) {
    const test::Image big = test::MakeGrey(3, 2, {1, 2, 3, 4, 5, 6});
    const test::Image small = test::MakeGrey(2, 1, {1, 2});
    int exact = 1;
    EXPECT_EQ(GetScore(ViewOf(big), ViewOf(small), &exact), 2 * 7u);
    EXPECT_EQ(exact, 0);
    GetDiff(ViewOf(big), ViewOf(small));
    EXPECT_EQ(ColourBytes(big), (std::vector<int>{1, 1, 1, 2, 2, 2, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255}));
}

TEST(Diff, PaintsExactlyTheDifferingPixelsRed) {
    const test::Image first = test::MakeImage(3, 1, 24, {10, 20, 30, 10, 20, 30, 10, 20, 30});
    const test::Image second = test::MakeImage(3, 1, 32, {10, 20, 30, 10, 21, 30, 11, 20, 30}, 7);
    const std::vector<int> before = ColourBytes(second);
    GetDiff(ViewOf(first), ViewOf(second));
    EXPECT_EQ(ColourBytes(first), (std::vector<int>{10, 20, 30, 0, 0, 255, 0, 0, 255}));
    EXPECT_EQ(ColourBytes(second), before);
    // A first image that is not true colour is left as it is: its bytes are no pixels of three.
    const test::Image indexed = test::MakeImage(8, 1, 8);
    const BITMAP v = ViewOf(indexed);
    const std::vector<BYTE> untouched(static_cast<BYTE*>(v.bmBits), static_cast<BYTE*>(v.bmBits) + v.bmWidthBytes);
    GetDiff(v, ViewOf(second));
    EXPECT_EQ(std::vector<BYTE>(static_cast<BYTE*>(v.bmBits), static_cast<BYTE*>(v.bmBits) + v.bmWidthBytes),
              untouched);
}

TEST(Score, FastPathMatchesTheDefinitionAtEveryWidthAndDepth) {
    std::uniform_int_distribution<int> nudge(-2, 2);
    test::RandomTrials(5, 300, [&](std::mt19937& random, int trial) {
        // Widths across whole chunks of 16 pixels and a partial last one.
        const LONG w = 1 + trial % 40, h = 1 + trial / 40 % 3;
        const std::vector<int> a = test::RandomBytes(random, static_cast<std::size_t>(w * h * 3));
        std::vector<int> b = a;
        const int changes = trial % 7 == 0 ? 0 : 1 + static_cast<int>(random() % (w * h * 3));
        for (int n = 0; n < changes; ++n) {
            int& v = b[random() % b.size()];
            v = std::clamp(v + nudge(random), 0, 255);
        }
        for (WORD bpp : {WORD{24}, WORD{32}}) {
            const test::Image first = test::MakeImage(w, h, bpp, a), second = test::MakeImage(w, h, bpp, b);
            int fast_exact = -1, plain_exact = -1;
            const DWORD fast = GetScore(ViewOf(first), ViewOf(second), &fast_exact);
            ASSERT_EQ(fast, GetScorePlain(ViewOf(first), ViewOf(second), &plain_exact))
                << "trial " << trial << ", " << bpp;
            ASSERT_EQ(fast_exact, plain_exact) << "trial " << trial << ", " << bpp;
        }
    });
}

}  // namespace
