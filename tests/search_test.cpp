// Whole searches in scratch folders with fixed seeds, the weights of a draw, and the pipeline.
#include "search.h"
#include "kernel_family.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>

#include "SaveBitmapToFile.h"
#include "bilinear.h"
#include "compare.h"
#include "pipeline.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

constexpr char kStartLine[] = "p_max = 0.000000; q_max = -0.124999; r_max = 1.499997; dwHiScore = 3860;\n";

using test::Outcome;
using test::Search;

void SaveSource(const ScratchFolder& dir, const test::Image& image) {
    ASSERT_TRUE(SaveBitmapToFileA((dir / "ant.bmp").c_str(), image));
}

// Pictures as grey levels of one value per pixel, row after row.
std::vector<int> Noise(int count) {
    std::vector<int> v;
    std::uint32_t state = 12345;
    for (int i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        v.push_back(static_cast<int>(state >> 24));
    }
    return v;
}

std::vector<int> Ramp(int width, int height) {
    std::vector<int> v;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) v.push_back((x * 5 + y * 3) % 256);
    }
    return v;
}

// The single-precision bits of q and r for some draws, worked out once apart from the program from
// u / 32767 × 0.1 − 0.1236 − 0.05 in extended precision and r = 1 − 4q: the ends of the range, its
// middle, and the sample's best draw.
TEST(Weights, FollowTheDrawExactly) {
    struct Draw {
        int u;
        std::uint32_t q, r;
    };
    for (const Draw d :
         {Draw{0, 0xBE31C433, 0x3FD8E21A}, Draw{1, 0xBE31C366, 0x3FD8E1B3}, Draw{15786, 0xBE006F03, 0x3FC03782},
          Draw{16384, 0xBDFD2132, 0x3FBF484C}, Draw{32767, 0xBD96BB99, 0x3FA5AEE6}}) {
        const Weights w = WeightsForDraw(d.u);
        std::uint32_t q, r;
        std::memcpy(&q, &w.q, sizeof q);
        std::memcpy(&r, &w.r, sizeof r);
        EXPECT_EQ(q, d.q) << d.u;
        EXPECT_EQ(r, d.r) << d.u;
    }
    const Weights start = StartingWeights();
    char line[128];
    std::snprintf(line, sizeof line, "%f %f", static_cast<double>(start.q), static_cast<double>(start.r));
    EXPECT_STREQ(line, "-0.124999 1.499997");
}

TEST(Weights, DrawsStayWithin15Bits) {
    std::srand(7);
    int low = 0, high = 0;
    for (int i = 0; i < 20000; ++i) {
        const int u = DrawU();
        ASSERT_GE(u, 0);
        ASSERT_LE(u, kDrawMax);
        (u < 16384 ? low : high)++;
    }
    EXPECT_GT(low, 9000);
    EXPECT_GT(high, 9000);
}

TEST(Search, UniformSourceEndsWithGotcha) {
    ScratchFolder dir;
    SaveSource(dir, test::MakeImage(48, 48, 24, [] {
                   std::vector<int> v;
                   for (int i = 0; i < 48 * 48; ++i) v.insert(v.end(), {90, 140, 200});
                   return v;
               }()));
    const Outcome o = Search(dir, 1, 1000);
    EXPECT_EQ(o.status, 0);
    const std::regex shape(
        R"((p_max = 0\.000000; q_max = -0\.\d{6}; r_max = 1\.\d{6}; dwHiScore = 4032;\n)gotcha\n\1)");
    EXPECT_TRUE(std::regex_match(o.out, shape)) << o.out;
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp", "diff.bmp", "output0.bmp", "output1.bmp"}));
    EXPECT_EQ(test::ReadFileBytes(dir.path() / "diff.bmp"), test::ReadFileBytes(dir.path() / "output0.bmp"));
    EXPECT_EQ(test::ReadFileBytes(dir.path() / "output1.bmp"), test::ReadFileBytes(dir.path() / "output0.bmp"));
}

TEST(Search, NothingBeatsTheStartOnNoise) {
    ScratchFolder dir;
    SaveSource(dir, test::MakeGrey(96, 96, Noise(96 * 96)));
    const Outcome o = Search(dir, 2, 300);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, kStartLine);
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"ant.bmp"});
    EXPECT_NE(o.err.find("no attempt beat the starting score 3860"), std::string::npos) << o.err;
}

void CopySample(const ScratchFolder& dir) { fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp"); }

// On the shipped sample the search climbs: seed 3 makes seven improvements within 3000 attempts.
constexpr unsigned kClimbingSeed = 3;
constexpr int kClimbingAttempts = 3000;

TEST(Search, ImprovementsStrictlyIncreaseAndEndTheRun) {
    SKIP_UNDER_WINE();
    ScratchFolder dir;
    CopySample(dir);
    const Outcome o = Search(dir, kClimbingSeed, kClimbingAttempts);
    EXPECT_EQ(o.status, 0);
    const std::regex line(R"(p_max = 0\.000000; q_max = (-?[\d.]+); r_max = ([\d.]+); dwHiScore = (\d+);\n)");
    std::vector<std::smatch> lines;
    for (auto it = std::sregex_iterator(o.out.begin(), o.out.end(), line); it != std::sregex_iterator(); ++it) {
        lines.push_back(*it);
    }
    ASSERT_GE(lines.size(), 4u) << o.out << "(several improvements and the final line)";
    EXPECT_EQ(o.out.find("gotcha"), std::string::npos);
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_GT(std::stoul(lines[i][3]), std::stoul(lines[i - 1][3])) << o.out;
    }
    // The final line repeats the last improvement.
    EXPECT_EQ(lines.back().str(), lines[lines.size() - 2].str());
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp", "diff.bmp", "output0.bmp", "output1.bmp"}));
}

TEST(Search, SameSeedSameOutput) {
    SKIP_UNDER_WINE();
    ScratchFolder dir;
    CopySample(dir);
    const std::string first = Search(dir, kClimbingSeed, 1000).out;
    EXPECT_GE(std::count(first.begin(), first.end(), '\n'), 3) << first << "(improvements to compare)";
    EXPECT_EQ(Search(dir, kClimbingSeed, 1000).out, first);
}

// An unreadable ant.bmp, and what the one line on standard error must say of it.
struct BadSource {
    const char* name;
    std::function<void(const fs::path& picture)> make;  // nothing: no file at all
    const char* reason;
    bool wine_reads = false;  // Wine's own loader takes it, so the search runs
    friend void PrintTo(const BadSource& c, std::ostream* os) { *os << c.name; }
};

// An 8 × 8 24-bit file with one header field changed.
std::function<void(const fs::path&)> WithField(std::size_t offset, std::uint32_t value, bool wide) {
    return [=](const fs::path& p) {
        test::BmpBytes file = test::MakeBmpFile(8, 8, 24, {}, std::vector<BYTE>(8 * 24));
        wide ? file.U32(offset, value) : file.U16(offset, value);
        test::WriteFileBytes(p, file.bytes);
    };
}

std::function<void(const fs::path&)> Starting(std::string bytes) {
    bytes.resize(64, '\0');
    return [=](const fs::path& p) { test::WriteFileBytes(p, std::vector<BYTE>(bytes.begin(), bytes.end())); };
}

class SearchRefuses : public testing::TestWithParam<BadSource> {};

TEST_P(SearchRefuses, WithOneLineSayingWhy) {
    if (test::UnderWine() && GetParam().wine_reads) GTEST_SKIP() << "Wine's loader takes this file";
    ScratchFolder dir;
    if (GetParam().make) GetParam().make(dir.path() / "ant.bmp");
    const std::vector<std::string> before = dir.Files();
    const Outcome o = Search(dir, 4, 10);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    // One line: the file, then why (a long reason is checked as far as the table gives it).
    const std::string path = dir.path().string() + "/ant.bmp";  // as the search names it, on Windows too
    EXPECT_EQ(o.err.rfind("kernel_search: " + path + " " + GetParam().reason, 0), 0u) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_EQ(dir.Files(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SearchRefuses,
    testing::Values(
        BadSource{"Missing", nullptr, "does not exist"},
        BadSource{"AFolder", [](const fs::path& p) { fs::create_directory(p); }, "is a folder, not a picture file"},
        BadSource{"Empty", [](const fs::path& p) { test::WriteFileBytes(p, {}); }, "is empty"},
        BadSource{"CutShort",
                  [](const fs::path& p) {
                      auto bytes = test::MakeBmpFile(8, 8, 24, {}, std::vector<BYTE>(8 * 24)).bytes;
                      bytes.resize(100);
                      test::WriteFileBytes(p, bytes);
                  },
                  "is cut short: it has 100 bytes, and its header promises 246", true},
        BadSource{"Png", Starting("\x89PNG\r\n\x1a\n"), "is a PNG picture, not a BMP: "},
        BadSource{"Garbage", Starting("xxxx"), "is not a BMP picture: it does not start with \"BM\""},
        BadSource{"HeaderOf64Bytes", WithField(14, 64, true),
                  "has an info header of 64 bytes; the headers read are of 12, 40, 52, 56, 108 and 124 bytes"},
        BadSource{"TwoBitsPerPixel", WithField(28, 2, false),
                  "has 2 bits per pixel; the depths read are 1, 4, 8, 16, 24 and 32"},
        BadSource{"JpegCompression", WithField(30, 4, true), "uses compression 4 (JPEG) at 24 bits; read are ", true},
        BadSource{"TooLarge", WithField(22, 20000000, true),
                  "is too large: 8 x 20000000 pixels at 24 bits take 457 MiB, and a picture may take at most 256 MiB"}),
    [](const testing::TestParamInfo<BadSource>& info) { return info.param.name; });

TEST(Search, AFailedSaveIsReportedAndTheSearchGoesOn) {
    ScratchFolder dir;
    SaveSource(dir, test::MakeGrey(24, 24, std::vector<int>(24 * 24, 200)));
    fs::create_directory(dir.path() / "output0.bmp");  // nothing can be renamed over a folder
    const Outcome o = Search(dir, 5, 1000);
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("gotcha\n"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("output0.bmp"), std::string::npos) << o.err;
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "output1.bmp"));
    EXPECT_TRUE(fs::is_regular_file(dir.path() / "diff.bmp"));
}

// The picture spoilt in the middle of a run, after the first improvement has written its pictures.
struct Spoil {
    const char* name;
    void (*apply)(const fs::path& picture);
    friend void PrintTo(const Spoil& c, std::ostream* os) { *os << c.name; }
};

class SearchStopsWhenThePictureIsSpoilt : public testing::TestWithParam<Spoil> {};

TEST_P(SearchStopsWhenThePictureIsSpoilt, KeepingEarlierPictures) {
    SKIP_UNDER_WINE();
    ScratchFolder dir;
    CopySample(dir);
    std::map<std::string, std::vector<BYTE>> earlier;
    const test::Outcome o = test::Search(dir, kClimbingSeed, kClimbingAttempts, [&](int) {
        if (!earlier.empty() || !fs::exists(dir.path() / "diff.bmp")) return;
        for (const char* name : {"output0.bmp", "output1.bmp", "diff.bmp"}) {
            earlier[name] = test::ReadFileBytes(dir.path() / name);
        }
        GetParam().apply(dir.path() / "ant.bmp");
    });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_NE(o.err.find("ant.bmp"), std::string::npos) << o.err;
    ASSERT_EQ(earlier.size(), 3u);
    for (const auto& [name, bytes] : earlier) EXPECT_EQ(test::ReadFileBytes(dir.path() / name), bytes) << name;
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchStopsWhenThePictureIsSpoilt,
                         testing::Values(Spoil{"Removed", [](const fs::path& p) { fs::remove(p); }},
                                         Spoil{"Truncated", [](const fs::path& p) { fs::resize_file(p, 100); }},
                                         Spoil{"Garbage",
                                               [](const fs::path& p) {
                                                   test::WriteFileBytes(p, std::vector<BYTE>(5000, 0xEE));
                                               }}),
                         [](const testing::TestParamInfo<Spoil>& info) { return info.param.name; });

// ---- The pipeline ----

const float kIdentity[9] = {0, 0, 0, 0, 1, 0, 0, 0, 0};

TEST(Pipeline, BothPathsGiveIndependent24BitImagesOfTheRequestedSize) {
    ScratchFolder dir;
    SaveSource(dir, test::MakeGrey(40, 30, Ramp(40, 30), 32));
    const std::string source = dir / "ant.bmp";
    float kernel[9];
    BuildKernel(WeightsForDraw(100), kernel);
    const test::Image a(ScaleSourceFile(source.c_str(), 24, 20, kReferencePath, kernel));
    const test::Image b(ScaleSourceFile(source.c_str(), 24, 20, kCandidatePath, kernel));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    for (HBITMAP image : {HBITMAP{a}, HBITMAP{b}}) {
        const BITMAP v = ViewOf(image);
        EXPECT_EQ(v.bmWidth, 24);
        EXPECT_EQ(v.bmHeight, 20);
        EXPECT_EQ(v.bmBitsPixel, 24);
    }
    EXPECT_NE(ViewOf(a).bmBits, ViewOf(b).bmBits);
    const std::vector<int> before = test::ColourBytes(b);
    static_cast<BYTE*>(ViewOf(a).bmBits)[0] ^= 0xFF;
    EXPECT_EQ(test::ColourBytes(b), before);
}

TEST(Pipeline, ReferenceIgnoresTheKernel) {
    ScratchFolder dir;
    SaveSource(dir, test::MakeGrey(50, 50, Noise(2500)));
    float k1[9], k2[9];
    BuildKernel(WeightsForDraw(0), k1);
    BuildKernel(WeightsForDraw(kDrawMax), k2);
    const std::string source = dir / "ant.bmp";
    const test::Image a(ScaleSourceFile(source.c_str(), 24, 24, kReferencePath, k1));
    const test::Image b(ScaleSourceFile(source.c_str(), 24, 24, kReferencePath, k2));
    EXPECT_NE(a, b);
    EXPECT_EQ(test::ColourBytes(a), test::ColourBytes(b));
}

TEST(Pipeline, CandidateWithIdentityKernelIsTheBilinearImage) {
    ScratchFolder dir;
    const std::vector<int> grey = Noise(50 * 37);
    SaveSource(dir, test::MakeGrey(50, 37, grey));
    const std::string cwd = fs::current_path().string();
    fs::current_path(dir.path());
    const test::Image candidate(JustDoIt(24, 24, 7, kIdentity));  // any flag but 0 takes this path
    fs::current_path(cwd);
    ASSERT_NE(candidate, nullptr);
    const test::Image source = test::MakeGrey(50, 37, grey);
    const test::Image expected = test::MakeImage(24, 24, 24);
    bilinear_interpolation(ViewOf(expected), ViewOf(source));
    EXPECT_EQ(test::ColourBytes(candidate), test::ColourBytes(expected));
}

TEST(Pipeline, GivesNullForAnUnusableSource) {
    ScratchFolder dir;
    test::WriteFileBytes(dir.path() / "ant.bmp", std::vector<BYTE>(300, 'x'));
    for (int path : {kReferencePath, kCandidatePath}) {
        EXPECT_EQ(ScaleSourceFile((dir / "ant.bmp").c_str(), 24, 24, path, kIdentity), nullptr);
        EXPECT_EQ(ScaleSourceFile((dir / "none.bmp").c_str(), 24, 24, path, kIdentity), nullptr);
    }
}

}  // namespace
