// Small helpers the tests share: images made from byte lists, their views, scratch folders and files.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "image_view.h"
#include "win32.h"

namespace test {

// An image a test owns: released when it goes out of scope, whichever assertion ends the test. It
// stands for its handle wherever one is asked for; a temporary one does not, since it would be
// released before the handle is used.
class Image {
public:
    Image() = default;
    explicit Image(HBITMAP image) : image_(image) {}
    Image(Image&& other) noexcept : image_(std::exchange(other.image_, nullptr)) {}
    Image& operator=(Image&& other) noexcept {
        std::swap(image_, other.image_);
        return *this;
    }
    ~Image() {
        if (image_ != nullptr) DeleteObject(image_);
    }
    operator HBITMAP() const& { return image_; }
    operator HBITMAP() const&& = delete;
    // The handle, no longer owned: for tests of releasing itself.
    HBITMAP release() { return std::exchange(image_, nullptr); }

private:
    HBITMAP image_ = nullptr;
};

// A new bottom-up image of `bpp` bits (negative `height`: top-down) with every pixel byte zero.
Image MakeImage(LONG width, LONG height, WORD bpp);

// A new 24 or 32-bit image whose rows, in memory order, hold the given colour bytes: `bytes` lists
// three bytes (blue, green, red) per pixel, row after row, without padding. The fourth byte of a
// 32-bit pixel is set to `fourth`.
Image MakeImage(LONG width, LONG height, WORD bpp, const std::vector<int>& bytes, BYTE fourth = 0);

// A 24-bit image whose bytes 0, 1, 2 of every pixel all hold the same value: a grey picture given by
// one value per pixel, row after row in memory order.
Image MakeGrey(LONG width, LONG height, const std::vector<int>& values, WORD bpp = 24);

// True when the tests run under Wine: its halftone stretch is its own bilinear filter, not Windows'
// arithmetic, so what depends on the reference's bytes cannot hold there (it does on Windows and off it).
bool UnderWine();

#define SKIP_UNDER_WINE() \
    if (test::UnderWine()) GTEST_SKIP() << "Wine's halftone stretch is its own, not Windows'"

// `count` bytes drawn at random, for the comparisons of fast paths with their definitions.
std::vector<int> RandomBytes(std::mt19937& random, std::size_t count);

// Runs `trial(random, n)` for n = 0 … count − 1 with one generator seeded with `seed`, stopping at the
// first fatal failure: every comparison of a fast path with its shipped definition, over many random
// inputs, is written this way.
template <typename Trial>
void RandomTrials(unsigned seed, int count, Trial trial) {
    std::mt19937 random(seed);
    for (int n = 0; n < count && !::testing::Test::HasFatalFailure(); ++n) trial(random, n);
}

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
    // The names of the files in the folder, sorted.
    std::vector<std::string> Files() const;

private:
    std::filesystem::path path_;
};

// How a run of a program ended and what it wrote on its two streams.
struct Outcome {
    int status;
    std::string out, err;
};

// A search of `dir`'s ant.bmp with `seed` for `attempts` attempts, its streams caught in temporary files;
// `after_attempt`, if given, is called after each attempt as the search would call it.
Outcome Search(const ScratchFolder& dir, unsigned seed, int attempts, std::function<void(int)> after_attempt = {});

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
