#include "sweep_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string SweepChart(const std::vector<SweepRow>& rows, int best, DWORD max_score) {
    constexpr int kWidth = kChartWidth, kHeight = 420, kLeft = kChartLeft, kTop = 40, kBottom = 60;
    constexpr int kPlotWidth = kChartPlotWidth, kPlotHeight = kHeight - kTop - kBottom;
    const double q_low = rows.front().w.q, q_high = rows.back().w.q;
    DWORD top_score = 0;
    for (const SweepRow& r : rows) top_score = std::max(top_score, r.score);
    const double score_high = std::max<double>(1, std::ceil(top_score / 500.0) * 500);
    const auto x_of = [&](double q) { return kLeft + (q - q_low) / (q_high - q_low) * kPlotWidth; };
    const auto y_of = [&](double s) { return kTop + kPlotHeight - s / score_high * kPlotHeight; };
    std::vector<double> low(kPlotWidth + 1, -1), high(kPlotWidth + 1, -1);
    for (const SweepRow& r : rows) {
        const int column = static_cast<int>(std::lround(x_of(r.w.q))) - kLeft;
        if (low[column] < 0 || r.score < low[column]) low[column] = r.score;
        if (r.score > high[column]) high[column] = r.score;
    }
    std::string svg;
    char line[512];
    std::snprintf(line, sizeof line,
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                  "font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" "
                  "fill=\"white\"/>\n",
                  kWidth, kHeight, kWidth, kHeight);
    svg += line;
    std::snprintf(line, sizeof line,
                  "<text x=\"%d\" y=\"22\" font-size=\"15\">Score of every draw against the edge weight q</text>\n",
                  kLeft);
    svg += line;
    for (int t = 0; t <= 4; ++t) {
        const double s = score_high * t / 4, q = q_low + (q_high - q_low) * t / 4;
        std::snprintf(line, sizeof line,
                      "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>\n<text x=\"%d\" y=\"%.1f\" "
                      "text-anchor=\"end\">%.0f</text>\n<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%.4f</text>\n",
                      kLeft, kLeft + kPlotWidth, y_of(s), y_of(s), kLeft - 6, y_of(s) + 4, s, x_of(q),
                      kTop + kPlotHeight + 18, q);
        svg += line;
    }
    std::snprintf(line, sizeof line,
                  "<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">edge weight q (centre weight r = 1 - 4q)</text>\n"
                  "<text transform=\"translate(18 %d) rotate(-90)\" text-anchor=\"middle\">score (%u is an "
                  "exact match)</text>\n",
                  kLeft + kPlotWidth / 2, kHeight - 22, kTop + kPlotHeight / 2, static_cast<unsigned>(max_score));
    svg += line;
    // The score every attempt of the search must beat: a dashed line, or a note where it is off the scale.
    if (kStartingScore <= score_high) {
        std::snprintf(line, sizeof line,
                      "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#888\" stroke-dasharray=\"6 4\"/>\n"
                      "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\" fill=\"#555\">start %u</text>\n",
                      kLeft, kLeft + kPlotWidth, y_of(kStartingScore), y_of(kStartingScore), kLeft + kPlotWidth,
                      y_of(kStartingScore) - 4, static_cast<unsigned>(kStartingScore));
    } else {
        std::snprintf(line, sizeof line,
                      "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" fill=\"#555\">the starting score %u lies above "
                      "this scale</text>\n",
                      kLeft + kPlotWidth, kTop - 4, static_cast<unsigned>(kStartingScore));
    }
    svg += line;
    svg += "<g stroke=\"#3366cc\">\n";
    for (int c = 0; c <= kPlotWidth; ++c) {
        if (high[c] < 0) continue;
        std::snprintf(line, sizeof line, "<line x1=\"%d\" x2=\"%d\" y1=\"%.1f\" y2=\"%.1f\"/>\n", kLeft + c, kLeft + c,
                      y_of(low[c]) + 0.5, y_of(high[c]) - 0.5);
        svg += line;
    }
    svg += "</g>\n";
    const SweepRow& b = rows[static_cast<std::size_t>(best)];
    std::snprintf(line, sizeof line,
                  "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"5\" fill=\"none\" stroke=\"#d62728\" stroke-width=\"2\"/>\n"
                  "<text x=\"%d\" y=\"%d\">best: u = %d, q = %.9g, r = %.9g, score = %u%s</text>\n</svg>\n",
                  x_of(b.w.q), y_of(b.score), kLeft, kHeight - 6, best, static_cast<double>(b.w.q),
                  static_cast<double>(b.w.r), static_cast<unsigned>(b.score), b.exact ? " (exact match)" : "");
    svg += line;
    return svg;
}
