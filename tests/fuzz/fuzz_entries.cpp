#include "fuzz_entries.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "SaveBitmapToFile.h"
#include "compare.h"
#include "image_view.h"
#include "pipeline.h"
#include "search.h"

namespace {

// One scratch folder per process, made on first use and removed when the process ends.
struct ScratchFolder {
    std::string path;
    ScratchFolder() {
        const auto dir = std::filesystem::temp_directory_path() / ("kernel_search_fuzz_" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        path = dir.string();
    }
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
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        for (std::size_t done = 0; done < size;) {
            const ssize_t put = write(fd, data + done, size - done);
            if (put <= 0) break;
            done += static_cast<std::size_t>(put);
        }
        close(fd);
    }
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
