// The public BMP conformance suite: good files decode to their reference pictures, broken ones are
// refused by the platform loader and by this program's parser alike, questionable ones do no harm.
// The suite lives outside the project; BMPSUITE_DIR points at it, and without it these tests skip.
#include <png.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SaveBitmapToFile.h"
#include "bmp_format.h"
#include "test_support.h"
#include "win32.h"

namespace {

namespace fs = std::filesystem;

struct Entry {
    std::string file;       // relative to the suite, e.g. "g/pal8.bmp"
    std::string reference;  // in reference/, or "-"
};

fs::path SuiteDir() { return fs::path(BMPSUITE_DIR); }

std::vector<Entry> Entries() {
    std::vector<Entry> entries;
    if (std::string(BMPSUITE_DIR).empty()) return entries;
    std::ifstream in(SuiteDir() / "expected.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Entry e;
        fields >> e.file >> e.reference;
        entries.push_back(e);
    }
    return entries;
}

// A reference picture as rows of red, green, blue bytes, top row first.
struct Picture {
    int width = 0, height = 0;
    std::vector<BYTE> rgb;
};

bool ReadPng(const fs::path& path, Picture* out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->rgb.resize(PNG_IMAGE_SIZE(image));
    // Transparent references are composed onto black, as a BMP viewer that ignores alpha shows them.
    png_color black{0, 0, 0};
    const bool ok = png_image_finish_read(&image, &black, out->rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

bool HasFewerThan8BitsPerChannel(const fs::path& path) {
    const std::vector<BYTE> bytes = test::ReadFileBytes(path);
    return bytes.size() >= 30 && ReadLe16(bytes.data() + 28) == 16;
}

#define SKIP_WITHOUT_SUITE()                                                           \
    if (std::string(BMPSUITE_DIR).empty() || !fs::exists(SuiteDir() / "expected.txt")) \
    GTEST_SKIP() << "BMPSUITE_DIR is not set or holds no expected.txt: the conformance suite is skipped"

TEST(BmpSuite, GoodFilesDecodeToTheirReferences) {
    SKIP_WITHOUT_SUITE();
    int checked = 0;
    for (const Entry& e : Entries()) {
        if (e.file.rfind("g/", 0) != 0 || e.reference == "-") continue;
        const fs::path file = SuiteDir() / e.file;
        SCOPED_TRACE(e.file);
        const test::Image image(LoadBitmapFromFileA(file.c_str()));
        ASSERT_NE(image, nullptr);
        // A file of non-square pixels is paired with its picture as viewed ("-v"); the loader gives its
        // pixels as stored, which the "-e" picture beside it shows.
        std::string reference = e.reference;
        if (const auto at = reference.rfind("-v.png"); at != std::string::npos) reference.replace(at, 6, "-e.png");
        Picture ref;
        ASSERT_TRUE(ReadPng(SuiteDir() / "reference" / reference, &ref));
        const BITMAP v = ViewOf(image);
        ASSERT_EQ(v.bmWidth, ref.width);
        ASSERT_EQ(v.bmHeight, ref.height);
        ASSERT_TRUE(v.bmBitsPixel == 24 || v.bmBitsPixel == 32);
        const int tolerance = HasFewerThan8BitsPerChannel(file) ? 1 : 0;
        const std::size_t step = v.bmBitsPixel / 8;
        int worst = 0;
        for (int y = 0; y < ref.height; ++y) {
            // The image is bottom-up: memory row 0 is the reference's last row.
            const int image_row = v.bmHeight - 1 - y * v.bmHeight / ref.height;
            const BYTE* row = static_cast<const BYTE*>(v.bmBits) + static_cast<std::size_t>(image_row) * v.bmWidthBytes;
            for (int x = 0; x < ref.width; ++x) {
                const BYTE* rgb = &ref.rgb[(static_cast<std::size_t>(y) * ref.width + x) * 3];
                for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(row[x * step + c] - rgb[2 - c]));
            }
        }
        EXPECT_LE(worst, tolerance);
        ++checked;
    }
    EXPECT_GE(checked, 20);
}

TEST(BmpSuite, BrokenFilesAreRefused) {
    SKIP_WITHOUT_SUITE();
    int checked = 0;
    for (const auto& f : fs::directory_iterator(SuiteDir() / "b")) {
        SCOPED_TRACE(f.path().string());
        EXPECT_EQ(
            LoadImageA(nullptr, f.path().string().c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION),
            nullptr);
        EXPECT_EQ(ParseBitmapFileA(f.path().string().c_str()), nullptr);
        ++checked;
    }
    EXPECT_GE(checked, 15);
}

TEST(BmpSuite, QuestionableFilesDecodeOrAreDeclined) {
    SKIP_WITHOUT_SUITE();
    for (const char* folder : {"q", "x"}) {
        for (const auto& f : fs::directory_iterator(SuiteDir() / folder)) {
            SCOPED_TRACE(f.path().string());
            HBITMAP image = LoadBitmapFromFileA(f.path().string().c_str());
            if (image == nullptr) continue;
            const BITMAP v = ViewOf(image);
            EXPECT_GT(v.bmWidth, 0);
            EXPECT_GT(v.bmHeight, 0);
            EXPECT_TRUE(DeleteObject(image));
        }
    }
}

// Every file of the suite as the search's picture: it runs, or it stops at once with its one line.
TEST(BmpSuite, SearchRunsOrRefusesEveryFile) {
    SKIP_WITHOUT_SUITE();
    int ran = 0, refused = 0;
    for (const char* folder : {"g", "q", "b", "x"}) {
        for (const auto& f : fs::directory_iterator(SuiteDir() / folder)) {
            SCOPED_TRACE(f.path().string());
            test::ScratchFolder dir;
            fs::copy_file(f.path(), dir.path() / "ant.bmp");
            const test::Outcome o = test::Search(dir, 11, 3);
            if (o.status == 0) {
                ++ran;
            } else {
                EXPECT_EQ(o.status, 1);
                EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1);
                ++refused;
            }
        }
    }
    EXPECT_GE(ran, 27);
    EXPECT_GE(refused, 20);
}

}  // namespace
