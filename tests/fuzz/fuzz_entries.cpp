#include "fuzz_entries.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "SaveBitmapToFile.h"
#include "compare.h"
#include "image_view.h"
#include "pipeline.h"
#include "scratch_folder.h"
#include "search.h"

namespace {

// One scratch folder per process, made on first use and removed when the process ends.
struct ScratchFolder {
    std::string path;
    ScratchFolder() { path = test::NewScratchFolder("kernel_search_fuzz_").string(); }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
};

const std::string& Folder() {
    static const ScratchFolder folder;
    return folder.path;
}

std::string WriteInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = Folder() + "/ant.bmp";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

// Reads every byte of an image the way the program's image processing does.
void Touch(HBITMAP image) {
    const BITMAP view = ViewOf(image);
    volatile unsigned sum = 0;
    const auto* p = static_cast<const BYTE*>(view.bmBits);
    for (LONG i = 0; i < view.bmWidthBytes * view.bmHeight; ++i) sum = sum + p[i];
}

}  // namespace

void FuzzParser(const std::uint8_t* data, std::size_t size) {
    HBITMAP image = ParseBitmapFileA(WriteInput(data, size).c_str());
    if (image != nullptr) {
        Touch(image);
        DeleteObject(image);
    }
}

void FuzzLoader(const std::uint8_t* data, std::size_t size) {
    HBITMAP image = static_cast<HBITMAP>(
        LoadImageA(nullptr, WriteInput(data, size).c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    if (image != nullptr) {
        Touch(image);
        DeleteObject(image);
    }
}

void FuzzPipeline(const std::uint8_t* data, std::size_t size) {
    const std::string path = WriteInput(data, size);
    float kernel[kKernelSize];
    BuildKernel(WeightsForDraw(static_cast<int>(size % (kDrawMax + 1))), kernel);
    HBITMAP reference = ScaleSourceFile(path.c_str(), kTargetSize, kTargetSize, kReferencePath, kernel);
    HBITMAP candidate = ScaleSourceFile(path.c_str(), kTargetSize, kTargetSize, kCandidatePath, kernel);
    if (reference != nullptr && candidate != nullptr) {
        const BITMAP a = ViewOf(reference), b = ViewOf(candidate);
        int exact;
        GetScore(a, b, &exact);
        GetDiff(a, b);
        SaveBitmapToFileA((Folder() + "/diff.bmp").c_str(), reference);
    }
    if (reference != nullptr) DeleteObject(reference);
    if (candidate != nullptr) DeleteObject(candidate);
}
