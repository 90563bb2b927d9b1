#include "test_support.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "pipeline.h"
#include "scratch_folder.h"
#include "search.h"

namespace test {

Image MakeImage(LONG width, LONG height, WORD bpp) {
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[256];
    } info{};
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = width;
    info.header.biHeight = height;
    info.header.biPlanes = 1;
    info.header.biBitCount = bpp;
    info.header.biCompression = BI_RGB;
    for (int i = 0; i < 256; ++i) {
        info.colours[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(255 - i), static_cast<BYTE>(i / 2), 0};
    }
    Image image(CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, nullptr, nullptr, 0));
    if (image == nullptr) throw std::runtime_error("test image could not be made");
    return image;
}

Image MakeImage(LONG width, LONG height, WORD bpp, const std::vector<int>& bytes, BYTE fourth) {
    Image image = MakeImage(width, height, bpp);
    const BITMAP view = ViewOf(image);
    const std::size_t step = bpp / 8;
    std::size_t k = 0;
    for (LONG y = 0; y < view.bmHeight; ++y) {
        BYTE* row = static_cast<BYTE*>(view.bmBits) + static_cast<std::size_t>(y) * view.bmWidthBytes;
        for (LONG x = 0; x < width; ++x) {
            for (std::size_t c = 0; c < 3; ++c) row[x * step + c] = static_cast<BYTE>(bytes.at(k++));
            if (step == 4) row[x * step + 3] = fourth;
        }
    }
    return image;
}

Image MakeGrey(LONG width, LONG height, const std::vector<int>& values, WORD bpp) {
    std::vector<int> bytes;
    for (int v : values) bytes.insert(bytes.end(), {v, v, v});
    return MakeImage(width, height, bpp, bytes);
}

bool UnderWine() {
#ifdef _WIN32
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
#else
    return false;
#endif
}

std::vector<int> RandomBytes(std::mt19937& random, std::size_t count) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<int> v(count);
    for (int& b : v) b = byte(random);
    return v;
}

std::vector<int> ColourBytes(HBITMAP image) {
    const BITMAP view = ViewOf(image);
    const std::size_t step = view.bmBitsPixel / 8;
    std::vector<int> out;
    for (LONG y = 0; y < view.bmHeight; ++y) {
        const BYTE* row = static_cast<const BYTE*>(view.bmBits) + static_cast<std::size_t>(y) * view.bmWidthBytes;
        for (LONG x = 0; x < view.bmWidth; ++x) {
            for (std::size_t c = 0; c < 3; ++c) out.push_back(row[x * step + c]);
        }
    }
    return out;
}

std::vector<int> HalftoneColourBytes(HBITMAP source, LONG width, LONG height, WORD bpp) {
    const Image target = MakeImage(width, height, bpp);
    return HalftoneStretchInto(target, source) ? ColourBytes(target) : std::vector<int>{};
}

std::vector<int> FirstBytes(HBITMAP image) {
    const std::vector<int> all = ColourBytes(image);
    std::vector<int> out;
    for (std::size_t i = 0; i < all.size(); i += 3) out.push_back(all[i]);
    return out;
}

std::string Drain(std::FILE* f) {
    std::string text;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(f);
    return text;
}

std::vector<BYTE> ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<BYTE>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Outcome Search(const ScratchFolder& dir, unsigned seed, int attempts, std::function<void(int)> after_attempt) {
    SearchRun run;
    run.folder = dir.path().string();
    run.seed = seed;
    run.attempts = attempts;
    run.out = std::tmpfile();
    run.err = std::tmpfile();
    run.after_attempt = std::move(after_attempt);
    Outcome o;
    o.status = RunSearch(run);
    o.out = Drain(run.out);
    o.err = Drain(run.err);
    return o;
}

ScratchFolder::ScratchFolder() : path_(NewScratchFolder("kernel_search_test_")) {}

std::vector<std::string> ScratchFolder::Files() const {
    std::vector<std::string> names;
    for (const auto& f : std::filesystem::directory_iterator(path_)) names.push_back(f.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

void BmpBytes::U16(std::size_t offset, unsigned value) {
    bytes.at(offset) = static_cast<BYTE>(value);
    bytes.at(offset + 1) = static_cast<BYTE>(value >> 8);
}

void BmpBytes::U32(std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<BYTE>(value >> (8 * i));
}

BmpBytes MakeBmpFile(LONG width, LONG height, WORD bpp, const std::vector<BYTE>& palette,
                     const std::vector<BYTE>& pixels) {
    BmpBytes f;
    const std::uint32_t off = 54 + static_cast<std::uint32_t>(palette.size());
    f.bytes.assign(off, 0);
    f.bytes.insert(f.bytes.end(), pixels.begin(), pixels.end());
    std::copy(palette.begin(), palette.end(), f.bytes.begin() + 54);
    f.bytes[0] = 'B';
    f.bytes[1] = 'M';
    f.U32(2, static_cast<std::uint32_t>(f.bytes.size()));
    f.U32(10, off);
    f.U32(14, 40);
    f.U32(18, static_cast<std::uint32_t>(width));
    f.U32(22, static_cast<std::uint32_t>(height));
    f.U16(26, 1);
    f.U16(28, bpp);
    f.U32(34, static_cast<std::uint32_t>(pixels.size()));
    f.U32(46, static_cast<std::uint32_t>(palette.size() / 4));
    return f;
}

}  // namespace test
