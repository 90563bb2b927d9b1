#include "pipeline.h"

#include "SaveBitmapToFile.h"
#include "bilinear.h"
#include "copy_image.h"
#include "image_view.h"

bool HalftoneStretchInto(HBITMAP target, HBITMAP source) {
    BITMAP target_view{}, source_view{};
    if (GetObjectA(target, sizeof target_view, &target_view) == 0 ||
        GetObjectA(source, sizeof source_view, &source_view) == 0) {
        return false;
    }
    HDC from = CreateCompatibleDC(nullptr);
    HDC to = CreateCompatibleDC(nullptr);
    bool stretched = false;
    if (from != nullptr && to != nullptr) {
        HGDIOBJ kept_from = SelectObject(from, source);
        HGDIOBJ kept_to = SelectObject(to, target);
        if (kept_from != nullptr && kept_to != nullptr) {
            SetStretchBltMode(to, HALFTONE);
            stretched = StretchBlt(to, 0, 0, target_view.bmWidth, target_view.bmHeight, from, 0, 0, source_view.bmWidth,
                                   source_view.bmHeight, SRCCOPY) != FALSE;
        }
        if (kept_from != nullptr) SelectObject(from, kept_from);
        if (kept_to != nullptr) SelectObject(to, kept_to);
    }
    if (from != nullptr) DeleteDC(from);
    if (to != nullptr) DeleteDC(to);
    return stretched;
}

HBITMAP Create24BppBitmap(HDC context, int width, int height) {
    // The header with one zeroed colour entry after it, which a 24-bit image does not use.
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(context, &info, DIB_RGB_COLORS, nullptr, nullptr, 0);
}

HBITMAP JustDoIt(int width, int height, int flag, const float kernel[kKernelSize]) {
    return ScaleSourceFile(kSourceFile, width, height, flag, kernel);
}

HBITMAP ScaleSourceFile(LPCSTR source_path, int width, int height, int flag, const float kernel[kKernelSize]) {
    HBITMAP source = LoadBitmapFromFileA(source_path);
    if (source == nullptr) return nullptr;
    HBITMAP result = ScaleImage(source, width, height, flag, kernel);
    DeleteObject(source);
    return result;
}

HBITMAP ScaleImage(HBITMAP source, int width, int height, int flag, const float kernel[kKernelSize]) {
    HDC context = CreateCompatibleDC(nullptr);
    HBITMAP target = Create24BppBitmap(context, width, height);
    BITMAP source_view{}, target_view{};
    HBITMAP result = nullptr;
    // A source that is not a plain colour picture leaves nothing to scale.
    if (target != nullptr && GetObjectA(source, sizeof source_view, &source_view) != 0 &&
        GetObjectA(target, sizeof target_view, &target_view) != 0 && IsTrueColour(source_view)) {
        if (flag != kReferencePath) {
            bilinear_interpolation(target_view, source_view);
            result = sharpen(target, kernel);
        } else if (HalftoneStretchInto(target, source)) {
            result = CopyBitmap(target);
        }
    }
    if (target != nullptr) DeleteObject(target);
    if (context != nullptr) DeleteDC(context);
    return result;
}
