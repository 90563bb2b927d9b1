// The sweep's chart: the score of every draw against its edge weight, as an SVG picture.
#ifndef SEARCH_SWEEP_CHART_H
#define SEARCH_SWEEP_CHART_H

#include <string>
#include <vector>

#include "search.h"

// One draw of the sweep.
struct SweepRow {
    Weights w;
    DWORD score;
    int exact;
};

// The chart of score against q for `rows`, in the order of their draws: for each column of the plot the
// range of scores of the draws that fall in it, the draw `best` marked and its values in a caption.
std::string SweepChart(const std::vector<SweepRow>& rows, int best);

#endif  // SEARCH_SWEEP_CHART_H
