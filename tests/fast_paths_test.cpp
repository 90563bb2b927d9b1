// The faster paths of the filter, the resampler and the score against their definitions, computed here the
// straightforward way in extended precision, over many inputs: not one byte may differ.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>

#include "bilinear.h"
#include "compare.h"
#include "search.h"
#include "sharpen.h"
#include "test_support.h"

namespace {

std::vector<int> RandomBytes(std::mt19937& random, std::size_t count) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<int> v(count);
    for (int& b : v) b = byte(random);
    return v;
}

// The filter by its definition: the sum from 0 in kernel order, in extended precision.
std::vector<int> SharpenByDefinition(const std::vector<int>& bytes, int w, int h, const float* k) {
    std::vector<int> out(bytes.size());
    const auto at = [&](int x, int y, int c) { return bytes[(static_cast<std::size_t>(y) * w + x) * 3 + c]; };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int xs[3] = {x == 0 ? 0 : x - 1, x, x + 1 == w ? x : x + 1};
            const int ys[3] = {y == 0 ? 0 : y - 1, y, y + 1 == h ? y : y + 1};
            for (int c = 0; c < 3; ++c) {
                long double sum = 0;
                for (int n = 0; n < 9; ++n) sum += static_cast<long double>(k[n]) * at(xs[n % 3], ys[n / 3], c);
                out[(static_cast<std::size_t>(y) * w + x) * 3 + c] = sum < 0 ? 0 : sum > 255 ? 255 : static_cast<int>(sum);
            }
        }
    }
    return out;
}

TEST(FastPaths, SharpenMatchesItsDefinitionForEveryKindOfKernel) {
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> weight(-2.0f, 2.0f);
    for (int trial = 0; trial < 600; ++trial) {
        // Widths from 1 to 30: rows with no inside, an inside shorter than a vector step, and longer.
        const int w = 1 + trial % 30, h = 1 + trial / 30 % 7;
        const std::vector<int> bytes = RandomBytes(random, static_cast<std::size_t>(w * h * 3));
        float k[9];
        if (trial % 5 == 4) {
            // Crosses of every magnitude and sign: the integer path where its bounds allow, the
            // extended one beyond them (tiny, denormal or huge weights).
            const auto any = [&] { return std::ldexp(weight(random), static_cast<int>(random() % 80) - 60); };
            BuildKernel(Weights{any(), trial % 3 == 0 ? weight(random) : any()}, k);
        } else if (trial % 4 == 3) {
            for (float& x : k) x = weight(random);  // arbitrary weights
            k[trial % 9] = 1e-42f;                   // a denormal forces the extended path
        } else if (trial % 4 == 2) {
            // Arbitrary weights with some of them zero, in every pattern the fast path might special-case.
            for (float& x : k) x = random() % 2 == 0 ? 0.0f : weight(random);
        } else {
            BuildKernel(WeightsForDraw(static_cast<int>(random() % (kDrawMax + 1))), k);
        }
        for (WORD bpp : {WORD{24}, WORD{32}}) {
            HBITMAP image = test::MakeImage(w, h, bpp, bytes);
            HBITMAP out = sharpen(image, k);
            ASSERT_NE(out, nullptr);
            ASSERT_EQ(test::ColourBytes(out), SharpenByDefinition(bytes, w, h, k)) << "trial " << trial << ", " << bpp;
            DeleteObject(out);
            DeleteObject(image);
        }
    }
}

// The resampler by its definition.
std::vector<int> BilinearByDefinition(const std::vector<int>& bytes, std::uint32_t sw, std::uint32_t sh,
                                      std::uint32_t dw, std::uint32_t dh) {
    std::vector<int> out;
    const auto at = [&](std::uint32_t x, std::uint32_t y, int c) { return bytes[(std::size_t{y} * sw + x) * 3 + c]; };
    for (std::uint32_t i = 0; i < dh; ++i) {
        long double y = static_cast<long double>(i * sh) / dh + 0.5L;
        if (y > sh - 1) y = sh - 1;
        const auto y0 = static_cast<std::uint32_t>(y), y1 = y0 + 1 == sh ? y0 : y0 + 1;
        const long double fy = y - y0;
        for (std::uint32_t j = 0; j < dw; ++j) {
            long double x = static_cast<long double>(j * sw) / dw + 0.5L;
            if (x > sw - 1) x = sw - 1;
            const auto x0 = static_cast<std::uint32_t>(x), x1 = x0 + 1 == sw ? x0 : x0 + 1;
            const long double fx = x - x0;
            for (int c = 0; c < 3; ++c) {
                const long double top = static_cast<long double>(at(x1, y0, c) - at(x0, y0, c)) * fx + at(x0, y0, c);
                const long double bottom = static_cast<long double>(at(x1, y1, c) - at(x0, y1, c)) * fx + at(x0, y1, c);
                const long double v = top + (bottom - top) * fy;
                out.push_back(static_cast<std::uint16_t>(static_cast<long>(v + 0.5L)) & 0xFF);
            }
        }
    }
    return out;
}

TEST(FastPaths, BilinearMatchesItsDefinitionForWholeAndBrokenRatios) {
    std::mt19937 random(7);
    for (int trial = 0; trial < 300; ++trial) {
        // Every third source is a whole multiple of the target, the sizes of the fast path.
        const std::uint32_t dw = 1 + random() % 12, dh = 1 + random() % 12;
        const std::uint32_t sw = trial % 3 == 0 ? dw * (1 + random() % 5) : 1 + random() % 40;
        const std::uint32_t sh = trial % 3 == 0 ? dh * (1 + random() % 5) : 1 + random() % 40;
        const std::vector<int> bytes = RandomBytes(random, std::size_t{sw} * sh * 3);
        // Both depths on both sides: the wide reads and writes of the fast path must mind the pixel
        // step, the fourth byte and the end of the image.
        const WORD source_bpp = trial % 4 < 2 ? 24 : 32, target_bpp = trial % 2 == 0 ? 24 : 32;
        HBITMAP source = test::MakeImage(static_cast<LONG>(sw), static_cast<LONG>(sh), source_bpp, bytes, 77);
        HBITMAP target = test::MakeImage(static_cast<LONG>(dw), static_cast<LONG>(dh), target_bpp);
        bilinear_interpolation(test::ViewOf(target), test::ViewOf(source));
        ASSERT_EQ(test::ColourBytes(target), BilinearByDefinition(bytes, sw, sh, dw, dh))
            << sw << "x" << sh << " to " << dw << "x" << dh << ", " << source_bpp << " to " << target_bpp;
        if (target_bpp == 32) {
            const BITMAP t = test::ViewOf(target);
            for (LONG y = 0; y < t.bmHeight; ++y) {
                for (LONG x = 0; x < t.bmWidth; ++x) {
                    ASSERT_EQ(static_cast<const BYTE*>(t.bmBits)[y * t.bmWidthBytes + 4 * x + 3], 0) << "fourth byte";
                }
            }
        }
        DeleteObject(source);
        DeleteObject(target);
    }
}

// The score by its definition, pixel by pixel.
struct Scored {
    DWORD score;
    int exact;
    bool operator==(const Scored&) const = default;
};

Scored ScoreByDefinition(const std::vector<int>& a, const std::vector<int>& b) {
    Scored s{0, 1};
    const auto near = [](int x, int y) { return std::abs(x - y) == 0 ? 2u : std::abs(x - y) == 1 ? 1u : 0u; };
    for (std::size_t p = 0; p < a.size(); p += 3) {
        if (a[p] != b[p] || a[p + 1] != b[p + 1] || a[p + 2] != b[p + 2]) s.exact = 0;
        if (a[p] == b[p] && (a[p + 1] == b[p + 1] || a[p + 2] == b[p + 2])) s.score += 1;
        s.score += near(a[p], b[p]) + near(a[p + 1], b[p + 1]) + near(a[p + 2], b[p + 2]);
    }
    return s;
}

TEST(FastPaths, ScoreMatchesItsDefinitionAtEveryWidthAndDepth) {
    std::mt19937 random(5);
    std::uniform_int_distribution<int> nudge(-2, 2);
    for (int trial = 0; trial < 300; ++trial) {
        // Widths across whole chunks of 16 pixels and a partial last one.
        const LONG w = 1 + trial % 40, h = 1 + trial / 40 % 3;
        const std::vector<int> a = RandomBytes(random, static_cast<std::size_t>(w * h * 3));
        std::vector<int> b = a;
        const int changes = trial % 7 == 0 ? 0 : 1 + static_cast<int>(random() % (w * h * 3));
        for (int n = 0; n < changes; ++n) {
            int& v = b[random() % b.size()];
            v = std::clamp(v + nudge(random), 0, 255);
        }
        for (WORD bpp : {WORD{24}, WORD{32}}) {
            HBITMAP first = test::MakeImage(w, h, bpp, a), second = test::MakeImage(w, h, bpp, b);
            Scored got{};
            got.score = GetScore(test::ViewOf(first), test::ViewOf(second), &got.exact);
            ASSERT_EQ(got, ScoreByDefinition(a, b)) << "trial " << trial << ", " << bpp << " bits";
            DeleteObject(first);
            DeleteObject(second);
        }
    }
}

}  // namespace
