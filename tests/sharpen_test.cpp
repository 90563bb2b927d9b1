#include "sharpen.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "kernel_family.h"
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
    const test::Image out(sharpen(image, kernel));
    if (out == nullptr) return {};
    std::vector<int> bytes = ColourBytes(out);
    return bytes;
}

TEST(Sharpen, IdentityKernelCopiesEveryByteAndKeepsTheFourth) {
    std::vector<int> bytes;
    for (int i = 0; i < 5 * 4 * 3; ++i) bytes.push_back((i * 53 + 7) % 256);
    for (WORD bpp : {WORD{24}, WORD{32}}) {
        const test::Image image = test::MakeImage(5, 4, bpp, bytes, 0xA5);
        const test::Image out(sharpen(image, kIdentity));
        ASSERT_NE(out, nullptr);
        ASSERT_NE(out, image);
        const BITMAP a = ViewOf(image), b = ViewOf(out);
        EXPECT_EQ(b.bmBitsPixel, bpp);
        EXPECT_EQ(std::memcmp(a.bmBits, b.bmBits, static_cast<std::size_t>(a.bmWidthBytes) * a.bmHeight), 0);
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
    const test::Image image = MakeGrey(c.width, c.height, c.pixels);
    const test::Image out(sharpen(image, c.kernel));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(FirstBytes(out), c.expected);
    EXPECT_EQ(FirstBytes(image), c.pixels) << "the input is only read";
}

std::vector<int> Uniform(int count, int value) { return std::vector<int>(static_cast<std::size_t>(count), value); }

std::vector<int> LonePixel(int value) {
    std::vector<int> v = Uniform(25, 0);
    v[12] = value;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SharpenGrey,
    testing::Values(GreyCase{"UniformUnchanged", 4, 3, Uniform(12, 123), kSharp, Uniform(12, 123)},
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
    const test::Image image = test::MakeImage(5, 5, 24, bytes);
    std::vector<int> expected(25 * 3, 0);
    expected[36] = 255;
    expected[37] = 150;
    expected[38] = 15;
    EXPECT_EQ(Sharpened(image, kSharp), expected);
}

TEST(Sharpen, BordersReuseTheirOwnRowAndColumn) {
    // An asymmetric kernel shows which neighbour each border term takes.
    const float left_only[9] = {0, 0, 0, 1, 0, 0, 0, 0, 0};
    const float below_only[9] = {0, 0, 0, 0, 0, 0, 0, 1, 0};
    const test::Image image = MakeGrey(3, 2, {1, 2, 3, 4, 5, 6});
    const test::Image left(sharpen(image, left_only)), below(sharpen(image, below_only));
    EXPECT_EQ(FirstBytes(left), (std::vector<int>{1, 1, 2, 4, 4, 5}));
    EXPECT_EQ(FirstBytes(below), (std::vector<int>{4, 5, 6, 4, 5, 6}));
}

TEST(Sharpen, RefusesOtherDepthsAndBadHandles) {
    const test::Image indexed = test::MakeImage(3, 3, 8), sixteen = test::MakeImage(3, 3, 16);
    EXPECT_EQ(sharpen(indexed, kIdentity), nullptr);
    EXPECT_EQ(sharpen(sixteen, kIdentity), nullptr);
    EXPECT_EQ(sharpen(nullptr, kIdentity), nullptr);
}

// A weight 2^-50 beside a weight 1 needs 57 bits for its sums: extended precision holds them, a double
// does not. On a picture of 100s the exact sum 100 − 100·2^-50 truncates to 99, which a sum rounded to
// 53 bits (100) would miss: such a kernel must take the definition, not the path in doubles.
TEST(Sharpen, SumsBeyondADoubleTakeTheDefinition) {
    const float kernel[9] = {0, 0, 0, 0, 1, -0x1p-50f, 0, 0, 0};
    const test::Image image = test::MakeImage(8, 3, 24, std::vector<int>(8 * 3 * 3, 100));
    EXPECT_EQ(Sharpened(image, kernel), std::vector<int>(8 * 3 * 3, 99));
}

TEST(Sharpen, FastPathMatchesTheDefinitionForEveryKindOfKernel) {
    std::uniform_real_distribution<float> weight(-2.0f, 2.0f);
    test::RandomTrials(2024, 600, [&](std::mt19937& random, int trial) {
        // Widths from 1 to 30: rows with no inside, an inside shorter than a vector step, and longer.
        const int w = 1 + trial % 30, h = 1 + trial / 30 % 7;
        const std::vector<int> bytes = test::RandomBytes(random, static_cast<std::size_t>(w * h * 3));
        float k[9];
        // Weights of every magnitude and sign: the fast paths where their bounds allow, the definition
        // beyond them (tiny, denormal or huge weights).
        const auto any = [&] { return std::ldexp(weight(random), static_cast<int>(random() % 80) - 60); };
        if (trial % 5 == 4) {
            BuildKernel(Weights{any(), trial % 3 == 0 ? weight(random) : any()}, k);  // crosses
        } else if (trial % 4 == 3) {
            for (float& x : k) x = trial % 8 == 3 ? weight(random) : any();  // arbitrary weights
            if (trial % 16 == 3) k[trial % 9] = 1e-42f;                      // a denormal among them
        } else if (trial % 4 == 2) {
            // Arbitrary weights with some of them zero, in every pattern the fast path might special-case.
            for (float& x : k) x = random() % 2 == 0 ? 0.0f : weight(random);
        } else {
            BuildKernel(WeightsForDraw(static_cast<int>(random() % (kDrawMax + 1))), k);
        }
        for (WORD bpp : {WORD{24}, WORD{32}}) {
            const test::Image image = test::MakeImage(w, h, bpp, bytes);
            const test::Image fast(sharpen(image, k)), plain(SharpenPlain(image, k));
            ASSERT_NE(fast, nullptr);
            ASSERT_EQ(test::ColourBytes(fast), test::ColourBytes(plain)) << "trial " << trial << ", " << bpp;
        }
    });
}

}  // namespace
