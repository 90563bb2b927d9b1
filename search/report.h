// kernel_lab's report: one self-contained HTML page with the whole answer for one or more pictures, the
// facts, the sweep's chart, every draw to explore with its pictures, and the kernels fitted beyond the
// family. The page is filled into a template kept beside this file (report.html), and is the same bytes
// for the same inputs.
#ifndef SEARCH_REPORT_H
#define SEARCH_REPORT_H

#include <string>
#include <vector>

#include "fit.h"
#include "sweep_chart.h"
#include "win32.h"

// One picture of the report; its images stay the caller's.
struct ReportPicture {
    std::string source;         // the file as given
    std::string source_format;  // what the file holds: "48 x 48 pixels, 24 bits per pixel, uncompressed"
    std::string reference;      // how the reference was made
    bool approximated = false;  // the reference comes from the stand-in's approximated case
    HBITMAP source_image = nullptr;
    HBITMAP reference_image = nullptr;
    HBITMAP bilinear = nullptr;  // the bilinear shrink that each draw's kernel filters
    std::vector<SweepRow> rows;  // every draw
    int best = 0;                // the sweep's best draw
};

// A kernel fitted across every picture of the report.
struct ReportFamily {
    std::string name;
    float kernel[kKernelSize];
    TotalScoreType total = 0;
    bool all_exact = false;
};

// The page: `pictures` in order, `families` from the smallest up, with `fitted` the candidates of the
// best of them (one per picture) and `search_total` the sum of the pictures' best draws. `zoom` is how
// many screen pixels a target pixel takes.
std::string ReportPage(const std::vector<ReportPicture>& pictures, const std::vector<ReportFamily>& families,
                       const std::vector<HBITMAP>& fitted, TotalScoreType search_total, int zoom);

#endif  // SEARCH_REPORT_H
