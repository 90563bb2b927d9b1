#include "search.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "SaveBitmapToFile.h"
#include "compare.h"
#include "extended_precision.h"
#include "image_view.h"
#include "interrupt.h"
#include "pipeline.h"
#include "progress.h"

namespace {

// How many bits of each rand() value to drop so that 15 remain.
constexpr int RandShift() {
    int bits = 0;
    for (unsigned long long top = RAND_MAX; top > 0; top >>= 1) ++bits;
    return bits - 15;
}
static_assert(RAND_MAX >= kDrawMax, "the runtime's generator must yield at least 15 bits");

float FromBits(DWORD bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void Save(const SearchRun& run, const char* name, HBITMAP image) {
    const std::string path = InFolder(run.folder, name);
    if (!SaveBitmapToFileA(path.c_str(), image)) {
        std::fflush(run.out);
        std::fprintf(run.err, "%s: could not save %s; the earlier file of that name is kept\n", run.program,
                     path.c_str());
    }
}

}  // namespace

std::string InFolder(const std::string& folder, const char* name) {
    return folder.empty() ? std::string(name) : folder + "/" + name;
}

Weights WeightsForDraw(int u) {
    const long double q = static_cast<long double>(u) / kDrawMax * static_cast<long double>(0.1) -
                          static_cast<long double>(0.1236) - static_cast<long double>(0.05);
    return WeightsForEdge(static_cast<float>(q));
}

Weights WeightsForEdge(float q) { return Weights{q, static_cast<float>(1.0L - 4.0L * q)}; }

Weights StartingWeights() { return Weights{FromBits(kStartingEdgeBits), FromBits(kStartingCentreBits)}; }

void BuildKernel(Weights w, float kernel[kKernelSize]) {
    const float k[kKernelSize] = {0, w.q, 0, w.q, w.r, w.q, 0, w.q, 0};
    std::memcpy(kernel, k, sizeof k);
}

int DrawU() { return std::rand() >> RandShift(); }

void PrintReport(std::FILE* out, Weights w, DWORD score) {
    std::fprintf(out, "p_max = %f; q_max = %f; r_max = %f; dwHiScore = %u;\n", 0.0, static_cast<double>(w.q),
                 static_cast<double>(w.r), static_cast<unsigned>(score));
}

std::string LoadSource(const std::string& path, HBITMAP* loaded) {
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) return std::string("cannot be opened: ") + std::strerror(errno);
    std::fclose(probe);
    HBITMAP image = LoadBitmapFromFileA(path.c_str());
    if (image == nullptr) return "is not a BMP picture this program can read";
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

int RunSearch(const SearchRun& run) {
    const std::string source = run.source.empty() ? InFolder(run.folder, kSourceFile) : run.source;
    if (const std::string problem = LoadSource(source, nullptr); !problem.empty()) {
        std::fprintf(run.err, "%s: %s %s\n", run.program, source.c_str(), problem.c_str());
        return 1;
    }
    std::srand(run.seed);

    DWORD dwHiScore = kStartingScore;
    Weights best = StartingWeights();
    DWORD best_seen = 0;  // the highest score of any attempt, reported when none beats the start
    Weights best_seen_weights = best;
    Progress progress(run.err, run.progress, "attempt", run.attempts);
    for (int done = 0; done < run.attempts; ++done) {
        const Weights w = WeightsForDraw(DrawU());
        float kernel[kKernelSize];
        BuildKernel(w, kernel);
        HBITMAP reference = ScaleSourceFile(source.c_str(), kTargetSize, kTargetSize, kReferencePath, kernel);
        HBITMAP candidate = ScaleSourceFile(source.c_str(), kTargetSize, kTargetSize, kCandidatePath, kernel);
        if (reference == nullptr || candidate == nullptr) {
            progress.Clear();
            std::fflush(run.out);
            std::fprintf(run.err, "%s: %s could no longer be read as a 24 or 32-bit picture; stopping\n", run.program,
                         source.c_str());
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
            Save(run, kReferenceFile, reference);
            Save(run, kCandidateFile, candidate);
            GetDiff(reference_view, candidate_view);  // marks the reference itself, now saved
            Save(run, kDiffFile, reference);
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
            std::fprintf(run.err, "%s: %s after %d of %d attempts; the best so far is %u at q = %.9g, r = %.9g\n",
                         run.program, StopWord(status), done + 1, run.attempts, static_cast<unsigned>(dwHiScore),
                         static_cast<double>(best.q), static_cast<double>(best.r));
            return status;
        }
    }
    progress.Clear();
    PrintReport(run.out, best, dwHiScore);
    std::fflush(run.out);  // the report comes before the note below when both go to one terminal or file
    if (dwHiScore == kStartingScore && run.attempts > 0) {
        std::fprintf(run.err,
                     "%s: no attempt beat the starting score %u; the best of the run was %u at q = %.9g, r = %.9g\n",
                     run.program, static_cast<unsigned>(kStartingScore), static_cast<unsigned>(best_seen),
                     static_cast<double>(best_seen_weights.q), static_cast<double>(best_seen_weights.r));
    }
    return 0;
}
