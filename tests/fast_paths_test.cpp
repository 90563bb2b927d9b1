// The faster paths of the filter and the resampler against their definitions, computed here the
// straightforward way in extended precision, over many inputs: not one byte may differ.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "bilinear.h"
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
            const int xm = x == 0 ? 0 : x - 1, xp = x + 1 == w ? x : x + 1;
            const int ym = y == 0 ? 0 : y - 1, yp = y + 1 == h ? y : y + 1;
            for (int c = 0; c < 3; ++c) {
                long double sum = 0;
                sum += static_cast<long double>(k[0]) * at(xm, ym, c);
                sum += static_cast<long double>(k[1]) * at(x, ym, c);
                sum += static_cast<long double>(k[2]) * at(xp, ym, c);
                sum += static_cast<long double>(k[3]) * at(xm, y, c);
                sum += static_cast<long double>(k[4]) * at(x, y, c);
                sum += static_cast<long double>(k[5]) * at(xp, y, c);
                sum += static_cast<long double>(k[6]) * at(xm, yp, c);
                sum += static_cast<long double>(k[7]) * at(x, yp, c);
                sum += static_cast<long double>(k[8]) * at(xp, yp, c);
                out[(static_cast<std::size_t>(y) * w + x) * 3 + c] = sum < 0 ? 0 : sum > 255 ? 255 : static_cast<int>(sum);
            }
        }
    }
    return out;
}

TEST(FastPaths, SharpenMatchesItsDefinitionForEveryKindOfKernel) {
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> weight(-2.0f, 2.0f);
    for (int trial = 0; trial < 400; ++trial) {
        const int w = 1 + trial % 9, h = 1 + trial / 9 % 7;
        const std::vector<int> bytes = RandomBytes(random, static_cast<std::size_t>(w * h * 3));
        float k[9];
        if (trial % 4 == 3) {
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
        HBITMAP source = test::MakeImage(static_cast<LONG>(sw), static_cast<LONG>(sh), 24, bytes);
        HBITMAP target = test::MakeImage(static_cast<LONG>(dw), static_cast<LONG>(dh), 24);
        bilinear_interpolation(test::ViewOf(target), test::ViewOf(source));
        ASSERT_EQ(test::ColourBytes(target), BilinearByDefinition(bytes, sw, sh, dw, dh))
            << sw << "x" << sh << " to " << dw << "x" << dh;
        DeleteObject(source);
        DeleteObject(target);
    }
}

}  // namespace
