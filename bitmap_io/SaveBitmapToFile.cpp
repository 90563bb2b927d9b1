#include "SaveBitmapToFile.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "bmp_format.h"
#include "temporary_files.h"

namespace {

// The parser keeps the info header and colour table in one buffer: a 40-byte header and 256 entries.
// That also caps bfOffBits at 14 + 1064 = 1078, so the info part of every file it accepts fits.
constexpr DWORD kInfoBufferSize = kInfoHeaderSize + 256 * sizeof(RGBQUAD);
constexpr DWORD kMaxOffBits = kFileHeaderSize + kInfoBufferSize;

// The info header and colour table as one aligned block, so it can be handed over as a BITMAPINFO.
union InfoBuffer {
    BITMAPINFO info;
    BYTE bytes[kInfoBufferSize];
};

// A read that delivers fewer bytes than asked is a failure: the file is shorter than it claims.
bool ReadExactly(HANDLE file, void* buffer, DWORD size) {
    DWORD got = 0;
    return ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

}  // namespace

HBITMAP LoadBitmapFromFileA(LPCSTR path) {
    HBITMAP image =
        static_cast<HBITMAP>(LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    return image != nullptr ? image : ParseBitmapFileA(path);
}

HBITMAP ParseBitmapFileA(LPCSTR path) {
    HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    BITMAPFILEHEADER fh;
    DWORD size_high = 0;
    const DWORD size_low = GetFileSize(file, &size_high);
    const std::uint64_t file_size = std::uint64_t{size_high} << 32 | size_low;
    if (!ReadExactly(file, &fh, sizeof fh) || size_low == INVALID_FILE_SIZE || !CheckBmpFileHeader(fh, file_size) ||
        fh.bfOffBits < kFileHeaderSize + kInfoHeaderSize || fh.bfOffBits > kMaxOffBits) {
        CloseHandle(file);
        return nullptr;
    }
    // Bounded by the file's real size, checked above.
    const DWORD pixel_bytes = fh.bfSize - fh.bfOffBits;
    void* pixels = HeapAlloc(GetProcessHeap(), 0, pixel_bytes);
    if (pixels == nullptr) {
        CloseHandle(file);
        return nullptr;
    }
    InfoBuffer info;
    std::memset(&info, 0, sizeof info);
    const DWORD info_size = fh.bfOffBits - kFileHeaderSize;
    BmpLayout layout;
    const bool valid = ReadExactly(file, info.bytes, info_size) && ReadExactly(file, pixels, pixel_bytes) &&
                       ReadBmpLayout(fh, info.bytes, info_size, &layout) && layout.header_size >= kInfoHeaderSize &&
                       BmpIndicesWithinPalette(layout, static_cast<const BYTE*>(pixels));
    CloseHandle(file);
    if (!valid) {
        HeapFree(GetProcessHeap(), 0, pixels);
        return nullptr;
    }

    HBITMAP image = CreateDIBSection(nullptr, &info.info, DIB_RGB_COLORS, nullptr, nullptr, 0);
    if (image != nullptr) {
        HDC context = CreateCompatibleDC(nullptr);
        if (SetDIBits(context, image, 0, static_cast<UINT>(layout.rows), pixels, &info.info, DIB_RGB_COLORS) !=
            layout.rows) {
            DeleteObject(image);
            image = nullptr;
        }
        DeleteDC(context);
    }
    HeapFree(GetProcessHeap(), 0, pixels);
    return image;
}

namespace {

// A BMP file of an image in its three parts, as they are written: the file header, the info header with
// its colour table, and the pixel rows (from the process heap, released by the destructor).
struct BitmapFileParts {
    BITMAPFILEHEADER fh;
    InfoBuffer info;
    DWORD info_bytes = 0;
    void* pixels = nullptr;
    ~BitmapFileParts() {
        if (pixels != nullptr) HeapFree(GetProcessHeap(), 0, pixels);
    }
};

// Reads an image into the parts of its file: FALSE, with GetLastError set, when it cannot be read.
BOOL ReadBitmapFileParts(HBITMAP image, BitmapFileParts* parts) {
    BITMAP view;
    if (GetObjectA(image, sizeof(BITMAP), &view) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // One size serves the buffer, biSizeImage, bfSize and the pixel write; it assumes rows padded to
    // 4 bytes, as every image made here has.
    const std::uint64_t size_image =
        std::uint64_t{static_cast<std::uint32_t>(view.bmHeight)} * static_cast<std::uint32_t>(view.bmWidthBytes);
    const DWORD table_bytes = view.bmBitsPixel <= 8 ? DWORD{4} << view.bmBitsPixel : 0;
    if (view.bmWidth <= 0 || view.bmHeight <= 0 || view.bmWidthBytes % 4 != 0 || size_image > kMaxPixelBytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    std::memset(&parts->info, 0, sizeof parts->info);
    BITMAPINFOHEADER& h = parts->info.info.bmiHeader;
    h.biSize = kInfoHeaderSize;
    h.biWidth = view.bmWidth;
    h.biHeight = view.bmHeight;
    h.biPlanes = 1;
    h.biBitCount = view.bmBitsPixel;
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(size_image);
    parts->info_bytes = kInfoHeaderSize + table_bytes;
    BITMAPFILEHEADER& fh = parts->fh;
    fh.bfType = kBmpSignature;
    fh.bfOffBits = kFileHeaderSize + parts->info_bytes;
    fh.bfSize = fh.bfOffBits + h.biSizeImage;
    fh.bfReserved1 = 0;
    fh.bfReserved2 = 0;

    parts->pixels = HeapAlloc(GetProcessHeap(), 0, h.biSizeImage);
    if (parts->pixels == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    HDC context = CreateCompatibleDC(nullptr);
    const int rows = context == nullptr ? 0
                                        : GetDIBits(context, image, 0, static_cast<UINT>(view.bmHeight), parts->pixels,
                                                    &parts->info.info, DIB_RGB_COLORS);
    if (context != nullptr) DeleteDC(context);
    if (rows != view.bmHeight) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

BOOL SaveBitmapToFileA(LPCSTR path, HBITMAP image) {
    BitmapFileParts parts;
    if (path == nullptr) SetLastError(ERROR_INVALID_PARAMETER);
    if (path == nullptr || !ReadBitmapFileParts(image, &parts)) return FALSE;
    // Written under a neighbouring name of its own and renamed over the target only when whole and on
    // disk.
    std::string temporary;
    HANDLE file = CreateTemporaryFile(path, &temporary);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    const int kept = KeepTemporaryFile(temporary);
    // Why the save failed, taken where it failed: the clean-up calls after it may change GetLastError.
    DWORD error = 0;
    bool ok = WriteExactly(file, &parts.fh, sizeof parts.fh) && WriteExactly(file, &parts.info, parts.info_bytes) &&
              WriteExactly(file, parts.pixels, parts.info.info.bmiHeader.biSizeImage) && FlushFileBuffers(file);
    if (!ok) error = GetLastError();
    if (!CloseHandle(file) && ok) {
        error = GetLastError();
        ok = false;
    }
    if (ok && !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        ok = false;
    }
    if (!ok) DeleteFileA(temporary.c_str());
    ForgetTemporaryFile(kept);
    if (!ok) SetLastError(error);
    return ok ? TRUE : FALSE;
}

bool BitmapFileBytes(HBITMAP image, std::vector<BYTE>* bytes) {
    BitmapFileParts parts;
    if (!ReadBitmapFileParts(image, &parts)) return false;
    const auto* fh = reinterpret_cast<const BYTE*>(&parts.fh);
    const auto* info = reinterpret_cast<const BYTE*>(&parts.info);
    const auto* pixels = static_cast<const BYTE*>(parts.pixels);
    bytes->assign(fh, fh + sizeof parts.fh);
    bytes->insert(bytes->end(), info, info + parts.info_bytes);
    bytes->insert(bytes->end(), pixels, pixels + parts.info.info.bmiHeader.biSizeImage);
    return true;
}
