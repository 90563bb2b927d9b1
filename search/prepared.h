// The images every kernel_lab command works from, made once per picture, and the sweep of every draw
// over them.
#ifndef SEARCH_PREPARED_H
#define SEARCH_PREPARED_H

#include <string>
#include <vector>

#include "fit.h"
#include "kernel_family.h"
#include "lab_options.h"
#include "sweep_chart.h"
#include "win32.h"

constexpr int kDrawCount = kDrawMax + 1;

// This platform's halftone stretch of the source, a reference captured elsewhere when one is given, and
// the bilinear shrink that each kernel then filters; the source itself, for those who show it.
struct Prepared {
    Prepared() = default;
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    ~Prepared();

    HBITMAP source = nullptr;
    HBITMAP stretched = nullptr;
    HBITMAP captured = nullptr;
    HBITMAP bilinear = nullptr;
    // What the candidates are scored against.
    HBITMAP reference() const { return captured != nullptr ? captured : stretched; }
};

// Loads the source once and makes the images; on bad input returns the message, else "".
std::string Prepare(const LabOptions& o, Prepared* p);

// Every picture of the command line (o.sources, with o.references) loaded, checked and made ready
// before anything is computed or written, into `prepared` (one per source); the message, else "".
std::string PrepareAll(const LabOptions& o, std::vector<Prepared>* prepared);

// The candidate of some weights: the bilinear shrink filtered with their kernel; the caller's.
HBITMAP Candidate(const Prepared& p, Weights w);

// Every draw's weights and score against the reference; `best` becomes the first draw of the highest
// score. Empty when a signal stops it.
std::vector<SweepRow> SweepDraws(const Prepared& p, int* best);

// The search's family on each picture alone, and the draw that does best over them all.
struct Sweeps {
    std::vector<std::vector<SweepRow>> rows;  // each picture's draws
    std::vector<int> best;                    // each picture's best draw
    int best_draw = 0;                        // the best of the summed scores
};

// False when a signal stops it.
bool SweepAll(const std::vector<Prepared>& prepared, Sweeps* sweeps);

#endif  // SEARCH_PREPARED_H
