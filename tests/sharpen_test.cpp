#include "sharpen.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace {

using test::ColourBytes;
using test::FirstBytes;
using test::MakeGrey;

constexpr float kIdentity[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
// The search's starting kernel family at q = −0.125: weights summing to exactly 1.
constexpr float kSharp[9] = {0, -0.125f, 0, -0.125f, 1.5f, -0.125f, 0, -0.125f, 0};
// The draw u = 32767: the exact sum of these single-precision weights is 0.99999997.
constexpr float kQ = -0.07360000163316727f, kR = 1.2943999767303467f;
constexpr float kBelowOne[9] = {0, kQ, 0, kQ, kR, kQ, 0, kQ, 0};

std::vector<int> Sharpened(HBITMAP image, const float* kernel) {
    HBITMAP out = sharpen(image, kernel);
    if (out == nullptr) return {};
    std::vector<int> bytes = ColourBytes(out);
    DeleteObject(out);
    return bytes;
}

TEST(Sharpen, IdentityKernelCopiesEveryByteAndKeepsTheFourth) {
    std::vector<int> bytes;
    for (int i = 0; i < 5 * 4 * 3; ++i) bytes.push_back((i * 53 + 7) % 256);
    for (WORD bpp : {WORD{24}, WORD{32}}) {
        HBITMAP image = test::MakeImage(5, 4, bpp, bytes, 0xA5);
        HBITMAP out = sharpen(image, kIdentity);
        ASSERT_NE(out, nullptr);
        ASSERT_NE(out, image);
        const BITMAP a = test::ViewOf(image), b = test::ViewOf(out);
        EXPECT_EQ(b.bmBitsPixel, bpp);
        EXPECT_EQ(std::memcmp(a.bmBits, b.bmBits, static_cast<std::size_t>(a.bmWidthBytes) * a.bmHeight), 0);
        DeleteObject(out);
        DeleteObject(image);
    }
}

struct GreyCase {
    const char* name;
    LONG width, height;
    std::vector<int> pixels;
    const float* kernel;
    std::vector<int> expected;
    friend void PrintTo(const GreyCase& c, std::ostream* os) { *os << c.name; }
};

class SharpenGrey : public testing::TestWithParam<GreyCase> {};

TEST_P(SharpenGrey, GivesExactBytes) {
    const GreyCase& c = GetParam();
    HBITMAP image = MakeGrey(c.width, c.height, c.pixels);
    HBITMAP out = sharpen(image, c.kernel);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(FirstBytes(out), c.expected);
    EXPECT_EQ(FirstBytes(image), c.pixels) << "the input is only read";
    DeleteObject(out);
    DeleteObject(image);
}

std::vector<int> Uniform(int count, int value) { return std::vector<int>(static_cast<std::size_t>(count), value); }

std::vector<int> LonePixel(int value) {
    std::vector<int> v = Uniform(25, 0);
    v[12] = value;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SharpenGrey,
    testing::Values(
        GreyCase{"UniformUnchanged", 4, 3, Uniform(12, 123), kSharp, Uniform(12, 123)},
        // 382.5 clamps to 255; the edge neighbours' −31.875 clamps to 0.
        GreyCase{"LoneBrightPixelClamps", 5, 5, LonePixel(255), kSharp, LonePixel(255)},
        GreyCase{"LoneDimPixelSpreadsNothingBelowZero", 5, 5, LonePixel(100), kSharp, LonePixel(150)},
        GreyCase{"OneRowUsesItselfAboveAndBelow", 3, 1, {10, 50, 90}, kSharp, {5, 50, 95}},
        GreyCase{"OneColumn", 1, 3, {10, 50, 90}, kSharp, {5, 50, 95}},
        // Each product is exact, so a 1 × 1 image is its value times the exact sum of the weights.
        GreyCase{"SinglePixelBelowOne", 1, 1, {255}, kBelowOne, {254}},
        GreyCase{"UniformBelowOneLowers255", 3, 3, Uniform(9, 255), kBelowOne, Uniform(9, 254)},
        GreyCase{"UniformBelowOneLowers200", 3, 3, Uniform(9, 200), kBelowOne, Uniform(9, 199)},
        GreyCase{"UniformBelowOneLowers100", 3, 3, Uniform(9, 100), kBelowOne, Uniform(9, 99)}),
    [](const testing::TestParamInfo<GreyCase>& info) { return info.param.name; });

TEST(Sharpen, ColourBytesAreFilteredSeparately) {
    // A lone pixel 200, 100, 10 on black becomes 255, 150, 15; its neighbours stay black.
    std::vector<int> bytes(25 * 3, 0);
    bytes[36] = 200;
    bytes[37] = 100;
    bytes[38] = 10;
    HBITMAP image = test::MakeImage(5, 5, 24, bytes);
    std::vector<int> expected(25 * 3, 0);
    expected[36] = 255;
    expected[37] = 150;
    expected[38] = 15;
    EXPECT_EQ(Sharpened(image, kSharp), expected);
    DeleteObject(image);
}

TEST(Sharpen, BordersReuseTheirOwnRowAndColumn) {
    // An asymmetric kernel shows which neighbour each border term takes.
    const float left_only[9] = {0, 0, 0, 1, 0, 0, 0, 0, 0};
    const float below_only[9] = {0, 0, 0, 0, 0, 0, 0, 1, 0};
    HBITMAP image = MakeGrey(3, 2, {1, 2, 3, 4, 5, 6});
    HBITMAP left = sharpen(image, left_only), below = sharpen(image, below_only);
    EXPECT_EQ(FirstBytes(left), (std::vector<int>{1, 1, 2, 4, 4, 5}));
    EXPECT_EQ(FirstBytes(below), (std::vector<int>{4, 5, 6, 4, 5, 6}));
    DeleteObject(left);
    DeleteObject(below);
    DeleteObject(image);
}

TEST(Sharpen, RefusesOtherDepthsAndBadHandles) {
    HBITMAP indexed = test::MakeImage(3, 3, 8);
    EXPECT_EQ(sharpen(indexed, kIdentity), nullptr);
    DeleteObject(indexed);
    EXPECT_EQ(sharpen(indexed, kIdentity), nullptr);
    EXPECT_EQ(sharpen(nullptr, kIdentity), nullptr);
}

}  // namespace
