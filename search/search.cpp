#include "search.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <utility>

#include "SaveBitmapToFile.h"
#include "bmp_diagnosis.h"
#include "compare.h"
#include "image_view.h"
#include "interrupt.h"
#include "pipeline.h"
#include "progress.h"
#include "temporary_files.h"

namespace {

// How many bits of each rand() value to drop so that 15 remain.
constexpr int RandShift() {
    int bits = 0;
    for (unsigned long long top = RAND_MAX; top > 0; top >>= 1) ++bits;
    return bits - 15;
}
static_assert(RAND_MAX >= kDrawMax, "the runtime's generator must yield at least 15 bits");

// What a run remembers of its failed saves: each file and reason is told once, however often it recurs,
// and any failure makes the run's status 1 at its end.
struct SaveFailures {
    std::set<std::pair<std::string, DWORD>> told;
    bool any = false;
};

void Save(const SearchRun& run, const char* name, HBITMAP image, SaveFailures* failures) {
    const std::string path = InFolder(run.folder, name);
    if (SaveBitmapToFileA(path.c_str(), image)) return;
    const DWORD error = GetLastError();
    failures->any = true;
    if (!failures->told.insert({name, error}).second) return;
    // A save never touches the file of that name until it is whole, so whatever file is there is the
    // earlier one.
    std::error_code ignored;
    const bool earlier = std::filesystem::is_regular_file(path, ignored);
    std::fflush(run.out);
    std::fprintf(run.err, "%s: could not save %s: %s; %s\n", run.program, path.c_str(), SystemErrorText(error).c_str(),
                 earlier ? "the earlier file of that name is kept" : "there is no earlier file of that name");
}

}  // namespace

std::string InFolder(const std::string& folder, const char* name) {
    return folder.empty() ? std::string(name) : folder + "/" + name;
}

int DrawU() { return std::rand() >> RandShift(); }

void PrintReport(std::FILE* out, Weights w, DWORD score) {
    std::fprintf(out, "p_max = %f; q_max = %f; r_max = %f; dwHiScore = %u;\n", 0.0, static_cast<double>(w.q),
                 static_cast<double>(w.r), static_cast<unsigned>(score));
}

std::string LoadSource(const std::string& path, HBITMAP* loaded) {
    HBITMAP image = LoadBitmapFromFileA(path.c_str());
    if (image == nullptr) return ExplainUnreadablePicture(path);
    const BITMAP view = ViewOf(image);
    std::string problem;
    if (view.bmWidth <= 0 || view.bmHeight <= 0) {
        problem = "holds no pixels";
    } else if (!IsTrueColour(view)) {
        problem = "has " + std::to_string(view.bmBitsPixel) + " bits per pixel; the search needs 24 or 32";
    }
    if (problem.empty() && loaded != nullptr) {
        *loaded = image;
    } else {
        DeleteObject(image);
    }
    return problem;
}

DWORD MaxScore(int width, int height) {
    return kMaxPixelScore * static_cast<DWORD>(width) * static_cast<DWORD>(height);
}

int RunSearch(const SearchRun& run) {
    const std::string source = run.source.empty() ? InFolder(run.folder, kSourceFile) : run.source;
    if (const std::string problem = LoadSource(source, nullptr); !problem.empty()) {
        std::fprintf(run.err, "%s: %s %s\n", run.program, source.c_str(), problem.c_str());
        return 1;
    }
    std::srand(run.seed);

    const unsigned max_score = MaxScore(kTargetSize, kTargetSize);
    DWORD dwHiScore = kStartingScore;
    Weights best = StartingWeights();
    DWORD best_seen = 0;  // the highest score of any attempt, reported when none beats the start
    Weights best_seen_weights = best;
    SaveFailures failures;
    Progress progress(run.err, run.progress, "attempt", run.attempts, max_score);
    // What a note says of the best, when no attempt beat the starting score.
    const auto nothing_beat_the_start = [&] {
        char text[200];
        std::snprintf(text, sizeof text,
                      "no attempt beat the starting score %u of %u; the best of the run was %u at q = %.9g, r = %.9g",
                      static_cast<unsigned>(kStartingScore), max_score, static_cast<unsigned>(best_seen),
                      static_cast<double>(best_seen_weights.q), static_cast<double>(best_seen_weights.r));
        return std::string(text);
    };
    for (int done = 0; done < run.attempts; ++done) {
        const Weights w = WeightsForDraw(DrawU());
        float kernel[kKernelSize];
        BuildKernel(w, kernel);
        HBITMAP reference = ScaleSourceFile(source.c_str(), kTargetSize, kTargetSize, kReferencePath, kernel);
        HBITMAP candidate = ScaleSourceFile(source.c_str(), kTargetSize, kTargetSize, kCandidatePath, kernel);
        if (reference == nullptr || candidate == nullptr) {
            progress.Clear();
            std::fflush(run.out);
            const std::string problem = LoadSource(source, nullptr);
            std::fprintf(run.err, "%s: %s %s; stopping\n", run.program, source.c_str(),
                         problem.empty() ? "could not be scaled" : problem.c_str());
            if (reference != nullptr) DeleteObject(reference);
            if (candidate != nullptr) DeleteObject(candidate);
            return 1;
        }
        const BITMAP reference_view = ViewOf(reference), candidate_view = ViewOf(candidate);
        int exact_match = 0;
        const DWORD score = GetScore(reference_view, candidate_view, &exact_match);
        if (done == 0 || score > best_seen) {
            best_seen = score;
            best_seen_weights = w;
        }
        if (score > dwHiScore) {
            progress.Clear();
            PrintReport(run.out, w, score);
            Save(run, kReferenceFile, reference, &failures);
            Save(run, kCandidateFile, candidate, &failures);
            GetDiff(reference_view, candidate_view);  // marks the reference itself, now saved
            Save(run, kDiffFile, reference, &failures);
            if (exact_match == 1) {
                std::fprintf(run.out, "gotcha\n");
                PrintReport(run.out, w, score);
                // The two images of this attempt are left to the ending process.
                return 0;
            }
            dwHiScore = score;
            best = w;
        }
        DeleteObject(reference);
        DeleteObject(candidate);
        progress.Update(done + 1, dwHiScore);
        if (run.after_attempt) run.after_attempt(done + 1);
        if (const int status = StopRequested(); status != 0) {
            // Standard output keeps only the improvements; the pictures saved so far are whole.
            progress.Clear();
            std::fflush(run.out);
            char best_so_far[200];
            std::snprintf(best_so_far, sizeof best_so_far, "the best so far is %u of %u at q = %.9g, r = %.9g",
                          static_cast<unsigned>(dwHiScore), max_score, static_cast<double>(best.q),
                          static_cast<double>(best.r));
            std::fprintf(run.err, "%s: %s after %d of %d attempts; %s\n", run.program, StopWord(status), done + 1,
                         run.attempts, dwHiScore == kStartingScore ? nothing_beat_the_start().c_str() : best_so_far);
            return status;
        }
    }
    progress.Clear();
    PrintReport(run.out, best, dwHiScore);
    std::fflush(run.out);  // the report comes before the note below when both go to one terminal or file
    if (dwHiScore == kStartingScore && run.attempts > 0) {
        std::fprintf(run.err, "%s: %s\n", run.program, nothing_beat_the_start().c_str());
    }
    return failures.any ? 1 : 0;
}
