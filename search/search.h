// The kernel search: random kernels of the family (kernel_family.h), scored against the halftone
// reference at 24 × 24, each improvement reported and its pictures saved.
#ifndef SEARCH_SEARCH_H
#define SEARCH_SEARCH_H

#include <cstdio>
#include <functional>
#include <string>

#include "kernel_family.h"
#include "win32.h"

constexpr int kTargetSize = 24;         // both images are 24 × 24 pixels
constexpr int kAttempts = 100000;       // attempts of one run
constexpr DWORD kStartingScore = 3860;  // an attempt must beat this to be reported at all
constexpr char kReferenceFile[] = "output0.bmp";
constexpr char kCandidateFile[] = "output1.bmp";
constexpr char kDiffFile[] = "diff.bmp";

// One draw of the C runtime's generator on 0 … 32767. A runtime whose RAND_MAX is larger keeps the top
// 15 bits of each value, which stay uniform.
int DrawU();

// "p_max = %f; q_max = %f; r_max = %f; dwHiScore = %u;\n" with p = 0.
void PrintReport(std::FILE* out, Weights w, DWORD score);

// `name` inside `folder` ("" is the working folder).
std::string InFolder(const std::string& folder, const char* name);

// Loads the picture at `path` for searching: it must be a BMP picture the reader accepts and turns into
// an image of 24 or 32 bits per pixel. Returns why it cannot serve, in a phrase that follows the path
// ("does not exist", "is a PNG picture, not a BMP: ..."), or "" with the image in `*image` (the caller's
// to release; pass NULL to only check).
std::string LoadSource(const std::string& path, HBITMAP* image);

// The highest score of a width × height target: every pixel matched.
DWORD MaxScore(int width, int height);

struct SearchRun {
    const char* program = "kernel_search";  // names the messages on standard error
    std::string folder;                     // holds ant.bmp and receives the pictures; "" = working folder
    std::string source;                     // the picture, when not ant.bmp in `folder`
    unsigned seed = 0;
    int attempts = kAttempts;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool progress = false;  // redraw a progress line on `err` (only when it is a terminal)
    // Called after each attempt with the number done; lets tests change the world in the middle of a run.
    std::function<void(int)> after_attempt;
};

// Runs one search: seeds the generator, makes up to `attempts` attempts, prints a report line and
// replaces the three pictures on each improvement, ends early with "gotcha" on an exact match, and
// prints the final report line. Returns the exit status: 0; or 1 when the picture is unusable before
// or during the run (one line on `err` saying why; the pictures of earlier improvements stay), or when
// any save failed (each file and reason told once on `err` as it happens; the search goes on to its
// end, and a last line says so). A signal (see interrupt.h) stops it after the attempt in progress,
// without the final line: `err` says how many attempts were made and the best so far, and the status
// is 130 or 143. The "gotcha" exit is 0 whatever its saves did.
int RunSearch(const SearchRun& run);

#endif  // SEARCH_SEARCH_H
