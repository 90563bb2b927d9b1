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

// The chart's geometry, in its own units: 800 wide, the plot starting 70 in and 690 wide. A page that
// places the chart maps a point back to q, and so to the nearest draw, with these.
constexpr int kChartWidth = 800, kChartLeft = 70, kChartPlotWidth = 690;

// The chart of score against q for `rows`, in the order of their draws: for each column of the plot the
// range of scores of the draws that fall in it, the starting score a dashed line, the draw `best` marked
// and its values in a caption; `max_score` is the score of an exact match.
std::string SweepChart(const std::vector<SweepRow>& rows, int best, DWORD max_score);

#endif  // SEARCH_SWEEP_CHART_H
