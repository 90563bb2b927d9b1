// Fitting a 3 × 3 kernel to references: which kernel, applied after the bilinear shrink, reproduces
// them best. First the least-squares weights, then a local search that raises the score itself.
#ifndef SEARCH_FIT_H
#define SEARCH_FIT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sharpen.h"
#include "win32.h"

// The kernels a fit chooses among. Each free weight stands for a group of the nine positions; a
// position in no group keeps the weight 0.
enum class Family {
    kCross,      // edges q and centre r (corners 0): the search's kernel, without its sum fixed to 1
    kSymmetric,  // corners p, edges q and centre r
    kFull,       // all nine weights
};

// The name of a family, and the family of a name ("cross", "symmetric", "full"): false when there is
// none.
const char* FamilyName(Family family);
bool FamilyFromName(const std::string& name, Family* family);

// One picture of a fit: the bilinear shrink that the kernels filter and the reference of the same size
// they are scored against. Both stay the caller's.
struct FitPicture {
    HBITMAP bilinear;
    HBITMAP reference;
};

// The kernel of the family whose filtered bilinear pixels, before clamping and truncation, come
// nearest the references in the least-squares sense, over every colour byte of every picture. A
// reference byte b does not stand for the sum b but for every sum the filter turns into b: [b, b + 1),
// below 1 for 0 and from 255 for 255. So the sums are first fitted to b + 1/2, then, round by round, each
// sum outside its interval is fitted to the nearest point of it, which minimises the squared distance of
// the sums from their intervals: none is left when a kernel of the family reproduces the references.
// The normal equations are formed and solved in extended precision.
void LeastSquaresKernel(const std::vector<FitPicture>& pictures, Family family, float kernel[kKernelSize]);

// Scores summed over pictures: many large pictures can exceed the 32 bits of one picture's score.
using TotalScoreType = std::uint64_t;

// The sum of GetScore over the pictures of the kernel's sharpen of each bilinear image; `all_exact`
// (when given) becomes 1 when every picture is matched exactly.
TotalScoreType TotalScore(const std::vector<FitPicture>& pictures, const float kernel[kKernelSize], int* all_exact);

// The step sizes of the refinement, 2^-4 down to 2^-24: from a sixteenth, coarse enough to leave a
// least-squares start that truncation has misled, to below the spacing of single-precision weights near
// 1 and 2, where no move changes a weight any more.
constexpr int kFirstStepExponent = -4, kLastStepExponent = -24;
constexpr int kRefineSteps = kFirstStepExponent - kLastStepExponent + 1;

// Called after each step size of the refinement with the number done and the best total score;
// returns false to stop the fit where it stands (the kernel so far stays a kernel of the family).
using FitProgress = std::function<bool(int done, TotalScoreType best)>;

// Raises the total score from `kernel`, a kernel of the family, by a deterministic local search over
// its single-precision weights: for each step size in turn, each free weight is moved up and down by
// the step, alone and with the centre moving the other way so that the sum of the weights stays, and a
// move is kept when it scores strictly higher; the next step size comes when a round of moves brings
// nothing, or the pictures are matched exactly. The same start always gives the same kernel. Returns
// the total score of `kernel`.
TotalScoreType RefineKernel(const std::vector<FitPicture>& pictures, Family family, float kernel[kKernelSize],
                            const FitProgress& progress);

// The fit of a family: each family from cross up to `family` in turn (each holds the one before) is
// refined twice, from its least-squares kernel and from the kernel so far, and the better result kept.
// On entry the kernel so far is a kernel of the cross family to start from (the search's best draw), so
// a fit never scores below its start, nor a larger family below a smaller one. The progress counts
// FitSteps(family) steps. Returns the total score of `kernel`. `family_done`, when given, is told each
// family's kernel and total on the way, the same as a fit of that family alone would end with.
using FitFamilyDone = std::function<void(Family family, const float kernel[kKernelSize], TotalScoreType total)>;
TotalScoreType FitKernel(const std::vector<FitPicture>& pictures, Family family, float kernel[kKernelSize],
                         const FitProgress& progress, const FitFamilyDone& family_done = nullptr);
int FitSteps(Family family);

#endif  // SEARCH_FIT_H
