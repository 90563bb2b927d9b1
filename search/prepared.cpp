#include "prepared.h"

#include <algorithm>
#include <filesystem>

#include "compare.h"
#include "image_view.h"
#include "interrupt.h"
#include "pipeline.h"
#include "search.h"

Prepared::~Prepared() {
    for (HBITMAP image : {source, stretched, captured, bilinear}) {
        if (image != nullptr) DeleteObject(image);
    }
}

std::string Prepare(const LabOptions& o, Prepared* p) {
    if (o.command != Command::kCapture && !o.out.empty()) {
        std::error_code ignored;
        if (!std::filesystem::exists(o.out, ignored)) return o.out + " does not exist";
        if (!std::filesystem::is_directory(o.out, ignored)) return o.out + " is not a folder";
    }
    if (const std::string problem = LoadSource(o.source, &p->source); !problem.empty()) {
        return o.source + " " + problem;
    }
    const float identity[kKernelSize] = {0, 0, 0, 0, 1, 0, 0, 0, 0};  // leaves the bilinear image as it is
    p->bilinear = ScaleImage(p->source, o.width, o.height, kCandidatePath, identity);
    p->stretched = ScaleImage(p->source, o.width, o.height, kReferencePath, identity);
    if (p->bilinear == nullptr) return o.source + " could not be scaled";
    if (p->stretched == nullptr) return o.source + " could not be stretched";
    if (o.reference.empty()) return "";

    if (const std::string problem = LoadSource(o.reference, &p->captured); !problem.empty()) {
        return o.reference + " " + problem;
    }
    const BITMAP view = ViewOf(p->captured);
    if (view.bmWidth != o.width || view.bmHeight != o.height) {
        return o.reference + " is " + std::to_string(view.bmWidth) + "x" + std::to_string(view.bmHeight) +
               ", not the target size " + std::to_string(o.width) + "x" + std::to_string(o.height);
    }
    return "";
}

HBITMAP Candidate(const Prepared& p, Weights w) {
    float kernel[kKernelSize];
    BuildKernel(w, kernel);
    return sharpen(p.bilinear, kernel);
}

std::vector<SweepRow> SweepDraws(const Prepared& p, int* best) {
    std::vector<SweepRow> rows(kDrawCount);
    *best = 0;
    for (int u = 0; u < kDrawCount; ++u) {
        if (StopRequested() != 0) return {};
        SweepRow& row = rows[static_cast<std::size_t>(u)];
        row.w = WeightsForDraw(u);
        HBITMAP candidate = Candidate(p, row.w);
        row.score = GetScore(ViewOf(p.reference()), ViewOf(candidate), &row.exact);
        DeleteObject(candidate);
        if (row.score > rows[static_cast<std::size_t>(*best)].score) *best = u;
    }
    return rows;
}

std::string PrepareAll(const LabOptions& o, std::vector<Prepared>* prepared) {
    for (std::size_t i = 0; i < o.sources.size(); ++i) {
        LabOptions one = o;
        one.source = o.sources[i];
        one.reference = o.references.empty() ? "" : o.references[i];
        if (const std::string problem = Prepare(one, &(*prepared)[i]); !problem.empty()) return problem;
    }
    return "";
}

bool SweepAll(const std::vector<Prepared>& prepared, Sweeps* sweeps) {
    std::vector<TotalScoreType> totals(kDrawCount);
    for (const Prepared& p : prepared) {
        int best = 0;
        sweeps->rows.push_back(SweepDraws(p, &best));
        if (sweeps->rows.back().empty()) return false;
        sweeps->best.push_back(best);
        for (int u = 0; u < kDrawCount; ++u) {
            totals[static_cast<std::size_t>(u)] += sweeps->rows.back()[static_cast<std::size_t>(u)].score;
        }
    }
    sweeps->best_draw = static_cast<int>(std::max_element(totals.begin(), totals.end()) - totals.begin());
    return true;
}
