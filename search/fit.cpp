#include "fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "compare.h"
#include "extended_precision.h"
#include "image_view.h"

namespace {

struct FamilyRule {
    Family family;
    const char* name;
    int weights;                 // how many free weights
    int centre;                  // the free weight of the centre position
    int weight_of[kKernelSize];  // the free weight each position takes, or -1 for a fixed 0
};

// From the smallest family to the largest, each holding the one before.
constexpr FamilyRule kFamilies[] = {
    {Family::kCross, "cross", 2, 1, {-1, 0, -1, 0, 1, 0, -1, 0, -1}},
    {Family::kSymmetric, "symmetric", 3, 2, {0, 1, 0, 1, 2, 1, 0, 1, 0}},
    {Family::kFull, "full", 9, 4, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
};

const FamilyRule& RuleOf(Family family) {
    for (const FamilyRule& f : kFamilies) {
        if (f.family == family) return f;
    }
    std::abort();  // every family has its rule
}

// How many positions share free weight `w`.
int PositionsOf(const FamilyRule& f, int w) {
    return static_cast<int>(std::count(std::begin(f.weight_of), std::end(f.weight_of), w));
}

void KernelOf(const FamilyRule& f, const float weights[kKernelSize], float kernel[kKernelSize]) {
    for (int k = 0; k < kKernelSize; ++k) kernel[k] = f.weight_of[k] < 0 ? 0.0f : weights[f.weight_of[k]];
}

// The free weights of a kernel of the family (the first position of each group speaks for it).
void WeightsOf(const FamilyRule& f, const float kernel[kKernelSize], float weights[kKernelSize]) {
    for (int k = kKernelSize - 1; k >= 0; --k) {
        if (f.weight_of[k] >= 0) weights[f.weight_of[k]] = kernel[k];
    }
}

// A pull towards the identity kernel, relative to the size of the normal equations, too weak to move
// a well-posed fit (the equations' entries run to millions) but enough to make one solvable whose
// pictures cannot tell the weights apart (a flat picture, whose every neighbourhood sums alike).
constexpr long double kPull = 1e-12L;

// The sums a reference byte b stands for are [b, b + 1), the filter truncating them, widened to all
// below 1 for b = 0 and all from 255 for b = 255, which clamping gives. The fit aims this far inside
// them, so that rounding the weights to single precision cannot carry a sum across an edge.
constexpr long double kMargin = 1.0L / 32;

// The fit to the intervals goes in rounds: each moves every sum outside its interval to the nearest
// point of it and solves again, which never increases the squared distance of the sums from their
// intervals. Rounds stop once every sum lies inside, once a round takes less than this share off the
// distance (on pictures no kernel of the family reproduces, that comes within a few rounds), and after
// at most kIntervalRounds.
constexpr long double kSettled = 1e-5L;
constexpr int kIntervalRounds = 200;

// The normal equations AᵀA w = Aᵀb of a least-squares fit with up to nine unknowns.
struct NormalEquations {
    long double ata[kKernelSize][kKernelSize] = {};
    long double atb[kKernelSize] = {};
};

// Solves (AᵀA + λI) w = Aᵀb + λ·prior by elimination with partial pivoting.
void Solve(const NormalEquations& e, int n, const long double prior[kKernelSize], long double w[kKernelSize]) {
    long double m[kKernelSize][kKernelSize + 1];
    long double trace = 0;
    for (int i = 0; i < n; ++i) trace += e.ata[i][i];
    const long double pull = kPull * std::max(1.0L, trace / n);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) m[i][j] = e.ata[i][j] + (i == j ? pull : 0);
        m[i][n] = e.atb[i] + pull * prior[i];
    }
    for (int col = 0; col < n; ++col) {
        int pivot = col;
        for (int r = col + 1; r < n; ++r) {
            if (std::fabs(m[r][col]) > std::fabs(m[pivot][col])) pivot = r;
        }
        for (int j = 0; j <= n; ++j) std::swap(m[col][j], m[pivot][j]);
        for (int r = col + 1; r < n; ++r) {
            const long double factor = m[r][col] / m[col][col];
            for (int j = col; j <= n; ++j) m[r][j] -= factor * m[col][j];
        }
    }
    for (int i = n - 1; i >= 0; --i) {
        long double sum = m[i][n];
        for (int j = i + 1; j < n; ++j) sum -= m[i][j] * w[j];
        w[i] = sum / m[i][i];
    }
}

// Calls visit(a, b) for every colour byte of every picture: a[w] is the sum of the bilinear bytes at the
// positions of free weight w (neighbours beyond the border being the border pixel, as the filter takes
// them), b the reference byte.
template <typename Visit>
void ForEachByte(const std::vector<FitPicture>& pictures, const FamilyRule& f, Visit visit) {
    for (const FitPicture& picture : pictures) {
        const BITMAP bilinear = ViewOf(picture.bilinear), reference = ViewOf(picture.reference);
        const LONG width = std::min(bilinear.bmWidth, reference.bmWidth);
        const LONG height = std::min(bilinear.bmHeight, reference.bmHeight);
        for (LONG y = 0; y < height; ++y) {
            for (LONG x = 0; x < width; ++x) {
                long double a[3][kKernelSize] = {};
                for (int k = 0; k < kKernelSize; ++k) {
                    if (f.weight_of[k] < 0) continue;
                    const LONG nx = std::clamp<LONG>(x + k % 3 - 1, 0, width - 1);
                    const LONG ny = std::clamp<LONG>(y + k / 3 - 1, 0, height - 1);
                    const BYTE* from =
                        PixelAt(bilinear, static_cast<std::uint32_t>(nx), static_cast<std::uint32_t>(ny));
                    for (int c = 0; c < 3; ++c) a[c][f.weight_of[k]] += from[c];
                }
                const BYTE* b = PixelAt(reference, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
                for (int c = 0; c < 3; ++c) visit(a[c], b[c]);
            }
        }
    }
}

}  // namespace

const char* FamilyName(Family family) { return RuleOf(family).name; }

bool FamilyFromName(const std::string& name, Family* family) {
    for (const FamilyRule& f : kFamilies) {
        if (name == f.name) {
            *family = f.family;
            return true;
        }
    }
    return false;
}

void LeastSquaresKernel(const std::vector<FitPicture>& pictures, Family family, float kernel[kKernelSize]) {
    const FamilyRule& f = RuleOf(family);
    const int n = f.weights;
    NormalEquations e;
    ForEachByte(pictures, f, [&](const long double* a, BYTE b) {
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) e.ata[i][j] += a[i] * a[j];
            e.atb[i] += a[i] * (b + 0.5L);
        }
    });
    long double prior[kKernelSize] = {};
    prior[f.centre] = 1;
    long double w[kKernelSize] = {};
    Solve(e, n, prior, w);
    long double distance = HUGE_VALL;
    for (int round = 0; round < kIntervalRounds; ++round) {
        const long double previous = distance;
        distance = 0;
        std::fill(std::begin(e.atb), std::end(e.atb), 0.0L);
        ForEachByte(pictures, f, [&](const long double* a, BYTE b) {
            long double sum = 0;
            for (int i = 0; i < n; ++i) sum += a[i] * w[i];
            const long double low = b == 0 ? -HUGE_VALL : b + kMargin;
            const long double high = b == 255 ? HUGE_VALL : b + 1 - kMargin;
            const long double target = std::clamp(sum, low, high);
            distance += (target - sum) * (target - sum);
            for (int i = 0; i < n; ++i) e.atb[i] += a[i] * target;
        });
        if (distance == 0 || distance > previous * (1 - kSettled)) break;
        Solve(e, n, prior, w);
    }
    float weights[kKernelSize];
    for (int i = 0; i < n; ++i) weights[i] = static_cast<float>(w[i]);
    KernelOf(f, weights, kernel);
}

TotalScoreType TotalScore(const std::vector<FitPicture>& pictures, const float kernel[kKernelSize], int* all_exact) {
    TotalScoreType total = 0;
    int exact_everywhere = 1;
    for (const FitPicture& picture : pictures) {
        HBITMAP candidate = sharpen(picture.bilinear, kernel);
        int exact = 0;
        if (candidate != nullptr) {
            total += GetScore(ViewOf(picture.reference), ViewOf(candidate), &exact);
            DeleteObject(candidate);
        }
        exact_everywhere &= exact;
    }
    if (all_exact != nullptr) *all_exact = exact_everywhere;
    return total;
}

TotalScoreType RefineKernel(const std::vector<FitPicture>& pictures, Family family, float kernel[kKernelSize],
                            const FitProgress& progress) {
    const FamilyRule& f = RuleOf(family);
    float weights[kKernelSize] = {};
    WeightsOf(f, kernel, weights);
    int exact = 0;
    const auto score = [&](const float* w, int* matched) {
        float k[kKernelSize];
        KernelOf(f, w, k);
        return TotalScore(pictures, k, matched);
    };
    TotalScoreType best = score(weights, &exact);
    for (int s = 0; s < kRefineSteps && exact == 0; ++s) {
        const double step = std::ldexp(1.0, kFirstStepExponent - s);
        // Every kept move raises the score, which is bounded, so the rounds end.
        for (bool moved = true; moved && exact == 0;) {
            moved = false;
            for (int w = 0; w < f.weights; ++w) {
                for (const double delta : {step, -step}) {
                    for (const bool keep_sum : {false, true}) {
                        if (keep_sum && w == f.centre) continue;
                        float trial[kKernelSize];
                        std::copy(weights, weights + f.weights, trial);
                        trial[w] = static_cast<float>(weights[w] + delta);
                        if (keep_sum) {
                            trial[f.centre] = static_cast<float>(weights[f.centre] - delta * PositionsOf(f, w));
                        }
                        if (std::equal(trial, trial + f.weights, weights)) continue;  // below the spacing
                        int trial_exact = 0;
                        const TotalScoreType trial_score = score(trial, &trial_exact);
                        if (trial_score > best) {
                            best = trial_score;
                            exact = trial_exact;
                            std::copy(trial, trial + f.weights, weights);
                            moved = true;
                        }
                    }
                }
            }
        }
        if (progress && !progress(s + 1, best)) break;
    }
    KernelOf(f, weights, kernel);
    return best;
}

int FitSteps(Family family) {
    int families = 1;
    while (kFamilies[families - 1].family != family) ++families;
    return 2 * families * kRefineSteps;
}

TotalScoreType FitKernel(const std::vector<FitPicture>& pictures, Family family, float kernel[kKernelSize],
                         const FitProgress& progress, const FitFamilyDone& family_done) {
    TotalScoreType best = TotalScore(pictures, kernel, nullptr);
    int done = 0;
    bool go_on = true;
    const auto refine = [&](const FamilyRule& f, float start[kKernelSize]) {
        const TotalScoreType score = RefineKernel(pictures, f.family, start, [&](int step, TotalScoreType total) {
            go_on = !progress || progress(done + step, std::max(best, total));
            return go_on;
        });
        done += kRefineSteps;
        return score;
    };
    for (const FamilyRule& f : kFamilies) {
        float fitted[kKernelSize];
        LeastSquaresKernel(pictures, f.family, fitted);
        const TotalScoreType from_fit = refine(f, fitted);
        const TotalScoreType from_before = go_on ? refine(f, kernel) : TotalScore(pictures, kernel, nullptr);
        if (from_fit > from_before) std::copy(fitted, fitted + kKernelSize, kernel);
        best = std::max(from_fit, from_before);
        if (!go_on) break;
        if (family_done) family_done(f.family, kernel, best);
        if (f.family == family) break;
    }
    return best;
}
