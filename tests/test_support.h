// Small helpers the tests share: images made from byte lists, their views, scratch folders and files.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "win32.h"

namespace test {

// A new bottom-up image of `bpp` bits (negative `height`: top-down) with every pixel byte zero.
HBITMAP MakeImage(LONG width, LONG height, WORD bpp);

// A new 24 or 32-bit image whose rows, in memory order, hold the given colour bytes: `bytes` lists
// three bytes (blue, green, red) per pixel, row after row, without padding. The fourth byte of a
// 32-bit pixel is set to `fourth`.
HBITMAP MakeImage(LONG width, LONG height, WORD bpp, const std::vector<int>& bytes, BYTE fourth = 0);

// A 24-bit image whose bytes 0, 1, 2 of every pixel all hold the same value: a grey picture given by
// one value per pixel, row after row in memory order.
HBITMAP MakeGrey(LONG width, LONG height, const std::vector<int>& values, WORD bpp = 24);

BITMAP ViewOf(HBITMAP image);

// The colour bytes of an image: three per pixel, row after row in memory order.
std::vector<int> ColourBytes(HBITMAP image);

// Byte 0 of every pixel, row after row: enough to check a grey picture.
std::vector<int> FirstBytes(HBITMAP image);

// The colour bytes of the platform's halftone stretch of the whole of `source` into a new image of
// width × height at `bpp` bits; empty when the stretch refuses.
std::vector<int> HalftoneColourBytes(HBITMAP source, LONG width, LONG height, WORD bpp = 24);

// Everything written to a temporary stream (from std::tmpfile), which is closed.
std::string Drain(std::FILE* f);

std::vector<BYTE> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<BYTE>& bytes);

// A fresh empty folder under the system's temporary folder, removed again by the destructor.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A BMP file in memory, built field by field so tests can damage any one of them.
struct BmpBytes {
    std::vector<BYTE> bytes;
    void U16(std::size_t offset, unsigned value);
    void U32(std::size_t offset, std::uint32_t value);
};

// An uncompressed BMP file with a 40-byte header: `palette` entries (4 bytes each) follow the header,
// then `pixels`. bfSize, bfOffBits and biSizeImage are filled in consistently.
BmpBytes MakeBmpFile(LONG width, LONG height, WORD bpp, const std::vector<BYTE>& palette,
                     const std::vector<BYTE>& pixels);

}  // namespace test

#endif  // TESTS_TEST_SUPPORT_H
