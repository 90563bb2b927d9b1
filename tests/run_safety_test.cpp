// Runs side by side in one folder, and runs stopped by a signal: every picture lands whole, and no
// temporary file is left behind. POSIX processes and signals, and the stand-in's file seam.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include <regex>

#include "SaveBitmapToFile.h"
#include "interrupt.h"
#include "lab.h"
#include "search.h"
#include "test_support.h"
#include "win32_standin.h"

namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

// The size of a saved 24 × 24 picture: the headers and 24 rows of 72 bytes.
constexpr std::uintmax_t kPictureFileSize = 14 + 40 + 24 * 72;

// A search of the sample in `dir` (copied there by the caller), with a seed under which it climbs, its
// output to temporary files.
SearchRun SampleSearch(const ScratchFolder& dir) {
    SearchRun run;
    run.folder = dir.path().string();
    run.seed = 7;
    run.out = std::tmpfile();
    run.err = std::tmpfile();
    return run;
}

void ExpectWholePictures(const ScratchFolder& dir) {
    for (const char* name : {kReferenceFile, kCandidateFile, kDiffFile}) {
        ASSERT_EQ(fs::file_size(dir.path() / name), kPictureFileSize) << name;
        test::Image image(LoadBitmapFromFileA((dir / name).c_str()));
        EXPECT_NE(image, nullptr) << name;
    }
}

// Four searches started together in one folder with one seed, so that they improve, and save, at the
// same attempts, several times over: every save must land, whole, whatever the others do meanwhile.
TEST(SideBySide, EverySearchSavesWholePictures) {
    ScratchFolder dir;
    fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp");
    constexpr int kRuns = 4, kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        // The children wait for the start until the parent closes the pipe, so that they run in step.
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        pid_t children[kRuns];
        for (pid_t& child : children) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(start[1]);
                char byte;
                (void)!read(start[0], &byte, 1);
                SearchRun run = SampleSearch(dir);
                run.attempts = 1500;
                const int status = RunSearch(run);
                _exit(status == 0 && test::Drain(run.err).empty() ? 0 : 1);
            }
        }
        close(start[0]);
        close(start[1]);
        for (const pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp", "diff.bmp", "output0.bmp", "output1.bmp"}));
        ExpectWholePictures(dir);
    }
}

// A run stopped by a signal: after an attempt, or in the middle of a save (the first improvement's
// first write, through the file seam), by Ctrl-C or a request to terminate.
struct Stop {
    const char* name;
    int signal;
    bool in_a_save;
    int status;
    friend void PrintTo(const Stop& c, std::ostream* os) { *os << c.name; }
};

class SearchStops : public testing::TestWithParam<Stop> {
protected:
    void SetUp() override {
        CatchInterrupts();
        ForgetStopRequest();
        StandInInjectFileFault(0, FileFault::kFail);  // counts the file calls from here
    }
    void TearDown() override {
        StandInBeforeFileCall(nullptr);
        ForgetStopRequest();
    }
};

TEST_P(SearchStops, WithWholePicturesAndANote) {
    const Stop& c = GetParam();
    ScratchFolder dir;
    fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp");
    SearchRun run = SampleSearch(dir);
    if (c.in_a_save) {
        StandInBeforeFileCall([&](int call) {
            if (call == 2) std::raise(c.signal);
        });
    } else {
        run.after_attempt = [&](int done) {
            if (done == 2000) std::raise(c.signal);
        };
    }
    EXPECT_EQ(RunSearch(run), c.status);
    const std::string out = test::Drain(run.out), err = test::Drain(run.err);
    std::smatch note;
    ASSERT_TRUE(std::regex_search(
        err, note,
        std::regex("after (\\d+) of 100000 attempts; the best so far is (\\d+) of 4032 at q = \\S+, r = \\S+\n$")))
        << err;
    // Standard output holds the improvements alone, each once, the last of them the best so far: no
    // final report line repeats it. Stopped in the first save, there is one.
    const auto lines = std::count(out.begin(), out.end(), '\n');
    if (c.in_a_save) {
        EXPECT_EQ(lines, 1) << out;
    } else {
        EXPECT_EQ(note[1], "2000");
        EXPECT_GE(lines, 2) << out;
    }
    const std::string last = out.substr(out.rfind("p_max"));
    EXPECT_EQ(last.substr(last.find("dwHiScore")), "dwHiScore = " + note[2].str() + ";\n") << out;
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp", "diff.bmp", "output0.bmp", "output1.bmp"}));
    ExpectWholePictures(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchStops,
                         testing::Values(Stop{"InterruptedAfterAnAttempt", SIGINT, false, kInterruptedStatus},
                                         Stop{"TerminatedAfterAnAttempt", SIGTERM, false, kTerminatedStatus},
                                         Stop{"InterruptedInASave", SIGINT, true, kInterruptedStatus},
                                         Stop{"TerminatedInASave", SIGTERM, true, kTerminatedStatus}),
                         [](const testing::TestParamInfo<Stop>& info) { return info.param.name; });

// Stopped before any attempt beat the starting score, the note says so, and names the best score seen
// rather than the starting weights, which no attempt had.
TEST(SearchStopsBeforeAnyImprovement, SaysNothingBeatTheStart) {
    CatchInterrupts();
    ForgetStopRequest();
    ScratchFolder dir;
    std::mt19937 random(5);
    test::Image noise = test::MakeImage(96, 96, 24, test::RandomBytes(random, 96 * 96 * 3));
    ASSERT_TRUE(SaveBitmapToFileA((dir / "ant.bmp").c_str(), noise));
    SearchRun run = SampleSearch(dir);
    run.after_attempt = [](int done) {
        if (done == 20) std::raise(SIGINT);
    };
    EXPECT_EQ(RunSearch(run), kInterruptedStatus);
    ForgetStopRequest();
    EXPECT_EQ(test::Drain(run.out), "");
    const std::string err = test::Drain(run.err);
    EXPECT_TRUE(std::regex_match(err, std::regex("kernel_search: interrupted after 20 of 100000 attempts; no attempt "
                                                 "beat the starting score 3860 of 4032; the best of the run was "
                                                 "\\d+ at q = \\S+, r = \\S+\n")))
        << err;
    EXPECT_EQ(err.find("-0.124999"), std::string::npos) << err;
}

// Saves that fail: each file and reason is told once, with whether an earlier file of that name stays;
// the search goes on to its end and its status is 1.
TEST(SearchSavesThatFail, AreToldOnceEachAndEndWithStatus1) {
    ScratchFolder dir;
    fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp");
    fs::create_directory(dir.path() / "output0.bmp");  // nothing can be renamed over a folder
    SearchRun run = SampleSearch(dir);
    run.attempts = 3000;
    run.after_attempt = [&](int) {
        // From the first improvement on, the disk is full.
        if (fs::exists(dir.path() / "diff.bmp")) StandInFailEveryFileCall(ERROR_DISK_FULL);
    };
    const int status = RunSearch(run);
    StandInFailEveryFileCall(0);
    EXPECT_EQ(status, 1);
    const std::string out = test::Drain(run.out), err = test::Drain(run.err);
    EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 4) << out << "(improvements after the disk filled)";
    const auto line = [&](const char* name, const char* reason, bool earlier) {
        return "kernel_search: could not save " + (dir / name) + ": " + reason + "; " +
               (earlier ? "the earlier file of that name is kept\n" : "there is no earlier file of that name\n");
    };
    EXPECT_EQ(err, line("output0.bmp", "Is a directory", false) +
                       line("output0.bmp", "No space left on device", false) +
                       line("output1.bmp", "No space left on device", true) +
                       line("diff.bmp", "No space left on device", true));
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp", "diff.bmp", "output0.bmp", "output1.bmp"}));
}

// A lab command whose later output cannot be written leaves the folder as it was: the earlier outputs
// it had already written whole are taken back, and an earlier file of the same name stays.
TEST(LabOutputs, AreAllOrNothing) {
    ScratchFolder dir;
    fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp");
    test::WriteFileBytes(dir.path() / "output0.bmp", {1, 2, 3});
    const std::string missing = dir / "missing/s.csv", source = dir / "ant.bmp";
    const char* argv[] = {"kernel_lab", "sweep", "--out",         dir.path().c_str(), "--zoom",
                          "2",          "--csv", missing.c_str(), "--source",         source.c_str()};
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(RunLab(static_cast<int>(std::size(argv)), argv, out, err), 1);
    EXPECT_EQ(test::Drain(out), "");
    EXPECT_EQ(test::Drain(err), "kernel_lab: could not write " + missing + ": No such file or directory\n");
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp", "output0.bmp"}));
    EXPECT_EQ(test::ReadFileBytes(dir.path() / "output0.bmp"), (std::vector<BYTE>{1, 2, 3}));
}

// A second signal in the middle of a save ends the process at once, taking the save's temporary file
// with it: nothing but the source is left.
TEST(SearchStopsAtOnce, OnASecondSignal) {
    ScratchFolder dir;
    fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CatchInterrupts();
        StandInInjectFileFault(0, FileFault::kFail);
        StandInBeforeFileCall([](int call) {
            if (call == 2 || call == 3) std::raise(SIGINT);  // the first save's first two writes
        });
        RunSearch(SampleSearch(dir));
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kInterruptedStatus) << status;
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp"}));
}

// kernel_lab's commands that write files, asked to stop before they do: one line, status 130, nothing
// written.
class LabStops : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(LabStops, WritingNothing) {
    ScratchFolder dir;
    fs::copy_file(SAMPLE_PATH, dir.path() / "ant.bmp");
    std::vector<std::string> args = {"kernel_lab"};
    for (const std::string& a : GetParam()) args.push_back(a == "@" ? dir.path().string() : a);
    args.insert(args.end(), {"--source", dir / "ant.bmp"});
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    CatchInterrupts();
    std::raise(SIGINT);
    const int status = RunLab(static_cast<int>(argv.size()), argv.data(), out, err);
    ForgetStopRequest();
    EXPECT_EQ(status, kInterruptedStatus);
    EXPECT_EQ(test::Drain(out), "");
    EXPECT_EQ(test::Drain(err), "kernel_lab: interrupted; nothing written\n");
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"ant.bmp"}));
}

INSTANTIATE_TEST_SUITE_P(Commands, LabStops,
                         testing::Values(std::vector<std::string>{"sweep", "--out", "@"},
                                         std::vector<std::string>{"fit", "--out", "@"},
                                         std::vector<std::string>{"render", "--u", "1", "--out", "@"},
                                         std::vector<std::string>{"capture", "--out", "@/ref.bmp"}));

}  // namespace
