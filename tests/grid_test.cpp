#include "grid.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using test::FirstBytes;

// The pattern as memory rows of a bottom-up image: device row y is memory row height − 1 − y.
std::vector<int> ExpectedGrid(int width, int height) {
    std::vector<int> v;
    for (int row = 0; row < height; ++row) {
        const int y = height - 1 - row;
        for (int x = 0; x < width; ++x) v.push_back(x % 2 == 1 && y % 2 == 1 ? 255 : 0);
    }
    return v;
}

TEST(Grid, FourByFourHasBlackEvenLines) {
    HDC dc = CreateCompatibleDC(nullptr);
    const test::Image image = test::MakeGrey(4, 4, std::vector<int>(16, 77));
    MyDrawBitmap(dc, image, 4, 4);
    // Memory rows 1 and 3 and columns 0 and 2 are black.
    EXPECT_EQ(FirstBytes(image), (std::vector<int>{0, 255, 0, 255, 0, 0, 0, 0, 0, 255, 0, 255, 0, 0, 0, 0}));
    DeleteDC(dc);
}

TEST(Grid, OddSizesAndDepths) {
    for (WORD bpp : {WORD{24}, WORD{32}}) {
        for (auto [w, h] : {std::pair{5, 3}, std::pair{1, 1}, std::pair{2, 7}}) {
            HDC dc = CreateCompatibleDC(nullptr);
            const test::Image image = test::MakeGrey(w, h, std::vector<int>(static_cast<std::size_t>(w * h), 77), bpp);
            MyDrawBitmap(dc, image, w, h);
            EXPECT_EQ(FirstBytes(image), ExpectedGrid(w, h)) << w << " x " << h << " at " << bpp;
            DeleteDC(dc);
        }
    }
}

TEST(Grid, EmptyDirectionsDrawNothing) {
    for (auto [w, h] : {std::pair{0, 4}, std::pair{4, 0}, std::pair{-1, -1}}) {
        HDC dc = CreateCompatibleDC(nullptr);
        const test::Image image = test::MakeGrey(4, 4, std::vector<int>(16, 77));
        MyDrawBitmap(dc, image, w, h);
        EXPECT_EQ(FirstBytes(image), std::vector<int>(16, 77)) << w << " x " << h;
        DeleteDC(dc);
    }
}

TEST(Grid, ContextKeepsItsImageAndTheBlackPen) {
    HDC dc = CreateCompatibleDC(nullptr);
    const test::Image held = test::MakeImage(1, 1, 24);
    HBITMAP image = test::MakeImage(4, 4, 24).release();
    HGDIOBJ original = SelectObject(dc, held);
    MyDrawBitmap(dc, image, 4, 4);
    EXPECT_EQ(SelectObject(dc, original), held);
    EXPECT_EQ(SelectObject(dc, GetStockObject(BLACK_PEN)), GetStockObject(BLACK_PEN));
    EXPECT_TRUE(DeleteObject(image)) << "the pattern's image is no longer selected";
    DeleteDC(dc);
}

}  // namespace
