// kernel_lab, run in-process on pictures in scratch folders.
#include "lab.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "SaveBitmapToFile.h"
#include "compare.h"
#include "kernel_family.h"
#include "pipeline.h"
#include "search.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

using Result = test::Outcome;

Result Lab(std::vector<std::string> args) {
    args.insert(args.begin(), "kernel_lab");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    Result r;
    r.status = RunLab(static_cast<int>(argv.size()), argv.data(), out, err);
    r.out = test::Drain(out);
    r.err = test::Drain(err);
    return r;
}

// A picture with detail: the sample the project ships.
void PutSample(const ScratchFolder& dir) { fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp"); }

std::vector<std::string> CsvRow(const fs::path& csv, int u) {
    std::ifstream in(csv);
    std::string line;
    for (int i = 0; i <= u + 1 && std::getline(in, line); ++i) {
    }
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string f; std::getline(split, f, ',');) fields.push_back(f);
    return fields;
}

TEST(Lab, SweepRowsAreWhatThePipelineGives) {
    ScratchFolder dir;
    PutSample(dir);
    const Result r = Lab({"sweep", "--source", dir / "ant.bmp", "--out", dir.path().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream header(dir.path() / "sweep.csv");
    std::string first;
    std::getline(header, first);
    EXPECT_EQ(first, "u,q,r,score,exact");
    for (int u : {0, 1234, 20000, kDrawMax}) {
        float kernel[kKernelSize];
        const Weights w = WeightsForDraw(u);
        BuildKernel(w, kernel);
        const test::Image a(ScaleSourceFile((dir / "ant.bmp").c_str(), 24, 24, kReferencePath, kernel));
        const test::Image b(ScaleSourceFile((dir / "ant.bmp").c_str(), 24, 24, kCandidatePath, kernel));
        int exact = 0;
        const DWORD score = GetScore(ViewOf(a), ViewOf(b), &exact);
        char q[32], rr[32];
        std::snprintf(q, sizeof q, "%.9g", static_cast<double>(w.q));
        std::snprintf(rr, sizeof rr, "%.9g", static_cast<double>(w.r));
        EXPECT_EQ(CsvRow(dir.path() / "sweep.csv", u),
                  (std::vector<std::string>{std::to_string(u), q, rr, std::to_string(score), std::to_string(exact)}));
    }
    // The report line and u of the best draw, and its pictures and chart.
    EXPECT_NE(r.out.find("dwHiScore = "), std::string::npos);
    EXPECT_NE(r.out.find("\nu = "), std::string::npos);
    for (const char* name : {"output0.bmp", "output1.bmp", "diff.bmp", "sweep.svg"}) {
        EXPECT_TRUE(fs::is_regular_file(dir.path() / name)) << name;
    }
}

TEST(Lab, ARenderedCandidateAsReferenceIsMatchedExactly) {
    ScratchFolder dir;
    PutSample(dir);
    const std::string out = dir.path().string();
    ASSERT_EQ(Lab({"render", "--u", "777", "--source", dir / "ant.bmp", "--out", out}).status, 0);
    fs::rename(dir.path() / "output1.bmp", dir.path() / "captured.bmp");
    const Result r = Lab({"sweep", "--source", dir / "ant.bmp", "--reference", dir / "captured.bmp", "--out", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("dwHiScore = 4032;"), std::string::npos) << r.out;
    const int best = std::stoi(r.out.substr(r.out.find("u = ") + 4));
    EXPECT_EQ(CsvRow(dir.path() / "sweep.csv", best).back(), "1");
}

TEST(Lab, CaptureWritesTheHalftoneReference) {
    ScratchFolder dir;
    PutSample(dir);
    ASSERT_EQ(Lab({"capture", "--source", dir / "ant.bmp", "--out", dir / "ref.bmp"}).status, 0);
    const float none[kKernelSize] = {};
    const test::Image expected(ScaleSourceFile((dir / "ant.bmp").c_str(), 24, 24, kReferencePath, none));
    const test::Image captured(LoadBitmapFromFileA((dir / "ref.bmp").c_str()));
    ASSERT_NE(captured, nullptr);
    EXPECT_EQ(test::ColourBytes(captured), test::ColourBytes(expected));
}

// Its own capture is identical; with one byte changed, check finds that pixel and byte.
TEST(Lab, CheckComparesACaptureWithTheStretch) {
    ScratchFolder dir;
    PutSample(dir);
    const std::string out = dir.path().string();
    ASSERT_EQ(Lab({"capture", "--source", dir / "ant.bmp", "--out", dir / "ref.bmp"}).status, 0);
    const Result same = Lab({"check", "--reference", dir / "ref.bmp", "--source", dir / "ant.bmp", "--out", out});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.out, "differing pixels = 0 of 576; differing bytes = 0 of 1728; largest difference = 0;\n");

    std::vector<BYTE> bytes = test::ReadFileBytes(dir.path() / "ref.bmp");
    bytes[54 + 72 * 5 + 3 * 7 + 1] ^= 4;  // green of pixel (7, 5)
    test::WriteFileBytes(dir.path() / "ref.bmp", bytes);
    const Result one = Lab({"check", "--reference", dir / "ref.bmp", "--source", dir / "ant.bmp", "--out", out});
    EXPECT_EQ(one.status, 3) << one.err;
    EXPECT_EQ(one.out, "differing pixels = 1 of 576; differing bytes = 1 of 1728; largest difference = 4;\n");
    const test::Image marked(LoadBitmapFromFileA((dir / "check.bmp").c_str()));
    ASSERT_NE(marked, nullptr);
    const BYTE* red = static_cast<const BYTE*>(ViewOf(marked).bmBits) + 72 * 5 + 3 * 7;
    EXPECT_EQ((std::vector<int>{red[0], red[1], red[2]}), (std::vector<int>{0, 0, 255}));
}

TEST(Lab, ZoomWritesTheThreePicturesSideBySide) {
    ScratchFolder dir;
    PutSample(dir);
    ASSERT_EQ(Lab({"render", "--q", "-0.125", "--zoom", "3", "--source", dir / "ant.bmp", "--out", dir.path().string()})
                  .status,
              0);
    const test::Image compare(LoadBitmapFromFileA((dir / "compare.bmp").c_str()));
    ASSERT_NE(compare, nullptr);
    const BITMAP v = ViewOf(compare);
    EXPECT_EQ(v.bmWidth, (3 * 24 + 2) * 3);
    EXPECT_EQ(v.bmHeight, 24 * 3);
}

struct BadCall {
    const char* name;
    std::vector<std::string> args;  // "@" stands for the scratch folder
    int status;
    friend void PrintTo(const BadCall& c, std::ostream* os) { *os << c.name; }
};

class LabRefuses : public testing::TestWithParam<BadCall> {};

TEST_P(LabRefuses, WithOneLineAndNoFiles) {
    ScratchFolder dir;
    PutSample(dir);
    std::vector<std::string> args = GetParam().args;
    for (std::string& a : args) {
        if (a[0] == '@') a = dir.path().string() + a.substr(1);
    }
    const Result r = Lab(args);
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    if (GetParam().status == 2) {
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LabRefuses,
    testing::Values(
        BadCall{"NoCommand", {}, 2}, BadCall{"UnknownCommand", {"sweeep"}, 2},
        BadCall{"UnknownOption", {"sweep", "--fast", "1"}, 2}, BadCall{"MissingValue", {"sweep", "--out"}, 2},
        BadCall{"BadSize", {"sweep", "--size", "24by24"}, 2},
        BadCall{"BadZoom", {"render", "--u", "1", "--zoom", "0"}, 2},
        BadCall{"DrawOutOfRange", {"render", "--u", "32768"}, 2}, BadCall{"RenderWithoutDraw", {"render"}, 2},
        BadCall{"RenderWithBoth", {"render", "--u", "1", "--q", "-0.1"}, 2},
        BadCall{"SearchWithoutSeed", {"search"}, 2}, BadCall{"CaptureWithoutOut", {"capture"}, 2},
        BadCall{"CheckWithoutReference", {"check", "--out", "@"}, 2},
        BadCall{"MissingSource", {"sweep", "--source", "@/none.bmp", "--out", "@"}, 1},
        BadCall{"GarbageSource", {"render", "--u", "1", "--source", "@/ant.bmp/x", "--out", "@"}, 1},
        BadCall{
            "ReferenceOfAnotherSize", {"sweep", "--source", "@/ant.bmp", "--reference", "@/ant.bmp", "--out", "@"}, 1},
        BadCall{"OutIsNoFolder", {"sweep", "--source", "@/ant.bmp", "--out", "@/missing"}, 1},
        BadCall{"SweepOfTwoSources", {"sweep", "--source", "@/ant.bmp", "--source", "@/ant.bmp", "--out", "@"}, 2},
        BadCall{"FitOfAnUnknownFamily", {"fit", "--family", "diagonal", "--out", "@"}, 2},
        BadCall{"FitWithFewerReferences",
                {"fit", "--source", "@/ant.bmp", "--source", "@/ant.bmp", "--reference", "@/ant.bmp", "--out", "@"},
                2},
        BadCall{"FitWithAReferenceOfAnotherSize",
                {"fit", "--source", "@/ant.bmp", "--source", "@/ant.bmp", "--reference", "@/ant.bmp", "--reference",
                 "@/ant.bmp", "--out", "@"},
                1}),
    [](const testing::TestParamInfo<BadCall>& info) { return info.param.name; });

// What fit prints: the nine weights, each picture's score and the sweep's best, the total.
struct FitReport {
    std::vector<float> kernel;
    std::vector<std::array<int, 3>> pictures;  // score, search best, exact
    long total = -1;
};

FitReport ReadFitReport(const std::string& out) {
    FitReport r;
    std::istringstream lines(out);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (line.rfind("kernel =", 0) == 0) {
            std::istringstream weights(line.substr(8));
            for (float w; weights >> w;) r.kernel.push_back(w);
        } else if (std::regex_search(line, m, std::regex(": score = (\\d+); search best = (\\d+); exact = ([01])$"))) {
            r.pictures.push_back({std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])});
        } else if (std::regex_match(line, m, std::regex("total = (\\d+)"))) {
            r.total = std::stol(m[1]);
        }
    }
    return r;
}

// A reference made by filtering the bilinear shrink of the detailed sample with a known kernel of nine
// different weights: the full fit finds the weights again and reproduces the reference.
TEST(Fit, RecoversAKnownKernel) {
    ScratchFolder dir;
    const float known[kKernelSize] = {0.03f, -0.11f, 0.02f, -0.09f, 1.38f, -0.12f, -0.01f, -0.1f, 0.04f};
    test::Image reference(ScaleSourceFile(LARGE_SAMPLE_PATH, 24, 24, kCandidatePath, known));
    ASSERT_TRUE(SaveBitmapToFileA((dir / "known.bmp").c_str(), reference));
    const Result r = Lab({"fit", "--source", LARGE_SAMPLE_PATH, "--reference", dir / "known.bmp", "--family", "full",
                          "--out", dir.path().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const FitReport fit = ReadFitReport(r.out);
    ASSERT_EQ(fit.kernel.size(), 9u) << r.out;
    for (int k = 0; k < kKernelSize; ++k) EXPECT_NEAR(fit.kernel[k], known[k], 0.01) << k;
    ASSERT_EQ(fit.pictures.size(), 1u) << r.out;
    EXPECT_GE(fit.pictures[0][0], 0.99 * 24 * 24 * kMaxPixelScore) << r.out;
    for (const char* file : {"fit.csv", "output0.bmp", "output1.bmp", "diff.bmp"}) {
        EXPECT_TRUE(fs::exists(dir.path() / file)) << file;
    }
}

// The search's family with its sum set free, on the sample alone and together with the detailed
// sample (at half the size, to keep the sweeps short): never below the sweep's best, the same on every
// run, the total the sum of the pictures'.
TEST(Fit, CrossFitBeatsTheSweepAndIsReproducible) {
    ScratchFolder dir;
    const FitReport alone = ReadFitReport(Lab({"fit", "--source", SAMPLE_PATH, "--out", dir.path().string()}).out);
    ASSERT_EQ(alone.pictures.size(), 1u);
    EXPECT_GE(alone.pictures[0][0], alone.pictures[0][1]);

    const std::vector<std::string> both = {"fit",   "--source",          SAMPLE_PATH, "--source", LARGE_SAMPLE_PATH,
                                           "--out", dir.path().string(), "--size",    "12x12"};
    const Result first = Lab(both);
    const std::vector<BYTE> csv = test::ReadFileBytes(dir.path() / "fit.csv");
    const Result second = Lab(both);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, second.out);
    EXPECT_EQ(test::ReadFileBytes(dir.path() / "fit.csv"), csv);
    const FitReport fit = ReadFitReport(first.out);
    ASSERT_EQ(fit.pictures.size(), 2u) << first.out;
    EXPECT_EQ(fit.total, fit.pictures[0][0] + fit.pictures[1][0]);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
}

// A flat picture tells no weight from another: the fit must still give finite weights that match it.
// A flat picture, under a name that CSV must quote: matched exactly, and its row of fit.csv holds the
// name whole.
TEST(Fit, MatchesAFlatPicture) {
    ScratchFolder dir;
    test::Image flat = test::MakeGrey(48, 48, std::vector<int>(48 * 48, 77));
#ifdef _WIN32
    const std::string name = dir / "a flat, grey.bmp";  // Windows takes no quote in a file name
#else
    const std::string name = dir / "a \"flat\", grey.bmp";
#endif
    ASSERT_TRUE(SaveBitmapToFileA(name.c_str(), flat));
    const Result r = Lab({"fit", "--source", name, "--family", "full", "--out", dir.path().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const FitReport fit = ReadFitReport(r.out);
    ASSERT_EQ(fit.pictures.size(), 1u) << r.out;
    EXPECT_EQ(fit.pictures[0][2], 1) << r.out;
    for (const float w : fit.kernel) EXPECT_TRUE(std::isfinite(w)) << r.out;
    std::ifstream csv(dir.path() / "fit.csv");
    std::string header, row;
    std::getline(csv, header);
    std::getline(csv, row);
    std::string quoted = "\"";
    for (const char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    EXPECT_EQ(row.rfind(quoted + "\",,", 0), 0u) << row;
}

// The seeded search of kernel_lab is kernel_search's, on the picture given: the same lines.
TEST(Lab, SearchIsTheSearchOfTheSeed) {
    ScratchFolder dir;
    PutSample(dir);
    const Result r =
        Lab({"search", "--seed", "3", "--attempts", "1000", "--source", dir / "ant.bmp", "--out", dir.path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    const test::Outcome search = test::Search(dir, 3, 1000);
    EXPECT_EQ(search.status, 0);
    EXPECT_EQ(r.out, search.out);
    if (!test::UnderWine()) {  // where the search improves, so that there is something to compare
        EXPECT_GE(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
    }
}

// The report of two pictures: one page with a section each, the deep-link fields of the first picture
// under their plain ids and the second's numbered; the page's path and each best report line printed.
TEST(Lab, ReportWritesOnePageWithASectionPerPicture) {
    ScratchFolder dir;
    PutSample(dir);
    const test::Image grey = test::MakeGrey(30, 30, std::vector<int>(900, 120));
    ASSERT_TRUE(SaveBitmapToFileA((dir / "grey.bmp").c_str(), grey));
    const Result r =
        Lab({"report", "--source", dir / "ant.bmp", "--source", dir / "grey.bmp", "--out", dir.path().string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const Result sweep = Lab({"sweep", "--source", dir / "ant.bmp", "--out", dir.path().string()});
    const std::string best_line = sweep.out.substr(0, sweep.out.find('\n') + 1);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1 + best_line.size()),
              InFolder(dir.path().string(), "report.html") + "\n" + best_line);
    std::ifstream in(dir.path() / "report.html");
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* id : {"id=\"u\"", "id=\"score\"", "id=\"exact\"", "id=\"u-2\"", "id=\"score-2\""}) {
        EXPECT_NE(page.find(id), std::string::npos) << id;
    }
    EXPECT_EQ(page.find("{{"), std::string::npos) << "a field of the template left unfilled";
}

TEST(Lab, HelpListsTheCommandsAndVersionNamesTheRelease) {
    for (const char* ask : {"--help", "-h", "help"}) {
        const Result r = Lab({ask});
        EXPECT_EQ(r.status, 0) << ask;
        for (const char* word :
             {"sweep", "search", "render", "capture", "check", "--reference", "--zoom", "--version"}) {
            EXPECT_NE(r.out.find(word), std::string::npos) << ask << " " << word;
        }
    }
    // One command's help: its usage and its own options alone.
    for (const std::vector<std::string>& ask : {std::vector<std::string>{"help", "render"}, {"render", "-h"}}) {
        const Result r = Lab(ask);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: kernel_lab render (--u N | --q Q) [OPTIONS]\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("--u N"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("--seed"), std::string::npos) << r.out;
    }
    EXPECT_EQ(Lab({"help", "sweeep"}).status, 2);
    for (const char* ask : {"--version", "-V"}) {
        const Result v = Lab({"sweep", ask});
        EXPECT_EQ(v.status, 0);
        EXPECT_TRUE(std::regex_match(v.out, std::regex("kernel_lab [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << v.out;
    }
}

// "--option=value" reads as "--option value".
TEST(Lab, TakesOptionsJoinedToTheirValues) {
    ScratchFolder dir;
    PutSample(dir);
    const Result joined = Lab({"render", "--u=5", "--source=" + (dir / "ant.bmp"), "--out=" + dir.path().string()});
    const Result apart = Lab({"render", "--u", "5", "--source", dir / "ant.bmp", "--out", dir.path().string()});
    EXPECT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(joined.out, apart.out);
}

}  // namespace
