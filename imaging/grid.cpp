#include "grid.h"

void MyDrawBitmap(HDC context, HBITMAP image, int width, int height) {
    HGDIOBJ previous = SelectObject(context, image);
    // An empty rectangle is not handed on: the platforms do not agree on what an inverted one fills
    // (Wine paints a pixel of one that Windows leaves alone), and there is nothing to fill in any case.
    if (width > 0 && height > 0) {
        const RECT all = {0, 0, width, height};
        FillRect(context, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    SelectObject(context, GetStockObject(BLACK_PEN));
    if (width > 0) {
        for (int x = 0; x < width; x += 2) {
            MoveToEx(context, x, 0, nullptr);
            LineTo(context, x, height);
        }
    }
    if (height > 0) {
        for (int y = 0; y < height; y += 2) {
            MoveToEx(context, 0, y, nullptr);
            LineTo(context, width, y);
        }
    }
    SelectObject(context, previous);
}
