// Runs side by side in one folder: every picture lands whole, and no temporary file is left behind.
// POSIX processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>


#include "SaveBitmapToFile.h"
#include "search.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::ScratchFolder;

// The size of a saved 24 × 24 picture: the headers and 24 rows of 72 bytes.
constexpr std::uintmax_t kPictureFileSize = 14 + 40 + 24 * 72;

std::vector<std::string> Files(const ScratchFolder& dir) {
    std::vector<std::string> names;
    for (const auto& f : fs::directory_iterator(dir.path())) names.push_back(f.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
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
    constexpr int kRuns = 4, kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        pid_t children[kRuns];
        for (pid_t& child : children) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                SearchRun run;
                run.folder = dir.path().string();
                run.seed = 7;
                run.attempts = 3000;
                run.out = std::tmpfile();
                run.err = std::tmpfile();
                const int status = RunSearch(run);
                _exit(status == 0 && test::Drain(run.err).empty() ? 0 : 1);
            }
        }
        for (const pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        EXPECT_EQ(Files(dir), (std::vector<std::string>{"ant.bmp", "diff.bmp", "output0.bmp", "output1.bmp"}));
        ExpectWholePictures(dir);
    }
}

}  // namespace
