#include "compare.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test::ColourBytes;
using test::ViewOf;

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
    HBITMAP first = test::MakeImage(24, 24, 24, bytes), second = test::MakeImage(24, 24, 24, other);
    int exact = -1;
    EXPECT_EQ(GetScore(ViewOf(first), ViewOf(second), &exact), 4032 - 7 + c.pixel_score);
    EXPECT_EQ(exact, c.pixel_score == 7 ? 1 : 0);
    DeleteObject(first);
    DeleteObject(second);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScoreOfOneDifferentPixel,
                         testing::Values(OnePixel{"Identical", {0, 0, 0}, 7},
                                         OnePixel{"Byte2OffByOne", {0, 0, 1}, 6},
                                         OnePixel{"Byte1OffByOne", {0, -1, 0}, 6},
                                         OnePixel{"Byte0OffByOne", {1, 0, 0}, 5},
                                         OnePixel{"Byte0OffByTwo", {-2, 0, 0}, 4},
                                         OnePixel{"Bytes1And2Far", {0, 2, -2}, 2},
                                         OnePixel{"AllOffByOne", {1, 1, 1}, 3},
                                         OnePixel{"AllFar", {9, 9, 9}, 0}),
                         [](const testing::TestParamInfo<OnePixel>& info) { return info.param.name; });

TEST(Score, IgnoresTheFourthByteAndMixesDepths) {
    const std::vector<int> bytes = Pattern(24 * 24);
    HBITMAP a = test::MakeImage(24, 24, 32, bytes, 1), b = test::MakeImage(24, 24, 32, bytes, 2);
    HBITMAP c = test::MakeImage(24, 24, 24, bytes);
    int exact = 0;
    EXPECT_EQ(GetScore(ViewOf(a), ViewOf(b), &exact), 4032u);
    EXPECT_EQ(exact, 1);
    EXPECT_EQ(GetScore(ViewOf(a), ViewOf(c), &exact), 4032u);
    EXPECT_EQ(exact, 1);
    DeleteObject(a);
    DeleteObject(b);
    DeleteObject(c);
}

TEST(Score, EmptyFirstImageScoresNothingAndMatches) {
    HBITMAP a = test::MakeGrey(2, 2, {1, 2, 3, 4});
    BITMAP empty = ViewOf(a);
    empty.bmHeight = 0;
    int exact = 0;
    EXPECT_EQ(GetScore(empty, ViewOf(a), &exact), 0u);
    EXPECT_EQ(exact, 1);
    DeleteObject(a);
}

TEST(Score, PixelsBeyondASmallerSecondImageCountAsDiffering) {
    HBITMAP big = test::MakeGrey(3, 2, {1, 2, 3, 4, 5, 6});
    HBITMAP small = test::MakeGrey(2, 1, {1, 2});
    int exact = 1;
    EXPECT_EQ(GetScore(ViewOf(big), ViewOf(small), &exact), 2 * 7u);
    EXPECT_EQ(exact, 0);
    GetDiff(ViewOf(big), ViewOf(small));
    EXPECT_EQ(ColourBytes(big), (std::vector<int>{1, 1, 1, 2, 2, 2, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255}));
    DeleteObject(big);
    DeleteObject(small);
}

TEST(Diff, PaintsExactlyTheDifferingPixelsRed) {
    HBITMAP first = test::MakeImage(3, 1, 24, {10, 20, 30, 10, 20, 30, 10, 20, 30});
    HBITMAP second = test::MakeImage(3, 1, 32, {10, 20, 30, 10, 21, 30, 11, 20, 30}, 7);
    const std::vector<int> before = ColourBytes(second);
    GetDiff(ViewOf(first), ViewOf(second));
    EXPECT_EQ(ColourBytes(first), (std::vector<int>{10, 20, 30, 0, 0, 255, 0, 0, 255}));
    EXPECT_EQ(ColourBytes(second), before);
    DeleteObject(first);
    DeleteObject(second);
}

}  // namespace
