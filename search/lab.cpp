#include "lab.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "SaveBitmapToFile.h"
#include "bmp_diagnosis.h"
#include "compare.h"
#include "copy_image.h"
#include "fit.h"
#include "halftone_path.h"
#include "image_view.h"
#include "interrupt.h"
#include "kernel_family.h"
#include "lab_options.h"
#include "outputs.h"
#include "pipeline.h"
#include "prepared.h"
#include "progress.h"
#include "report.h"
#include "search.h"
#include "sweep_chart.h"

namespace {

constexpr char kProgram[] = "kernel_lab";
constexpr char kHint[] = "(see kernel_lab --help)";
constexpr char kCompareFile[] = "compare.bmp";
constexpr char kChartFile[] = "sweep.svg";
constexpr char kCsvFile[] = "sweep.csv";
constexpr char kCheckFile[] = "check.bmp";
constexpr char kFitCsvFile[] = "fit.csv";
constexpr char kReportFile[] = "report.html";
// The report shows each pixel of the target as an 8 × 8 block unless --zoom says otherwise: a 24 × 24
// target is then 192 pixels wide, and its five pictures and the wipe fit one row of a wide window.
constexpr int kReportZoom = 8;
// Exit statuses: bad input, bad usage, and a reference that check finds different.
constexpr int kUsage = 2, kBadInput = 1, kDiffers = 3;

// Reference, candidate and diff side by side, each pixel a zoom × zoom block, with a white gap of one
// block between them.
HBITMAP SideBySide(HBITMAP reference, HBITMAP candidate, HBITMAP diff, int zoom) {
    const BITMAP views[3] = {ViewOf(reference), ViewOf(candidate), ViewOf(diff)};
    const LONG w = views[0].bmWidth, h = views[0].bmHeight;
    HBITMAP out = Create24BppBitmap(nullptr, static_cast<int>((3 * w + 2) * zoom), static_cast<int>(h * zoom));
    const BITMAP o = ViewOf(out);
    if (o.bmBits == nullptr) return out;
    std::memset(o.bmBits, 255, static_cast<std::size_t>(o.bmWidthBytes) * static_cast<std::size_t>(o.bmHeight));
    for (int k = 0; k < 3; ++k) {
        for (LONG y = 0; y < h * zoom; ++y) {
            for (LONG x = 0; x < w * zoom; ++x) {
                const BYTE* from =
                    PixelAt(views[k], static_cast<std::uint32_t>(x / zoom), static_cast<std::uint32_t>(y / zoom));
                BYTE* to =
                    PixelAt(o, static_cast<std::uint32_t>(k * (w + 1) * zoom + x), static_cast<std::uint32_t>(y));
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
            }
        }
    }
    return out;
}

// Adds the pictures of one draw to the command's outputs: reference, candidate, diff, and the
// side-by-side view when asked.
bool WritePictures(const LabOptions& o, const Prepared& p, HBITMAP candidate, Outputs* outputs) {
    HBITMAP diff = CopyBitmap(p.reference());
    if (diff != nullptr && candidate != nullptr) GetDiff(ViewOf(diff), ViewOf(candidate));
    bool ok = outputs->AddBitmap(InFolder(o.out, kReferenceFile), p.reference()) &&
              outputs->AddBitmap(InFolder(o.out, kCandidateFile), candidate) &&
              outputs->AddBitmap(InFolder(o.out, kDiffFile), diff);
    if (ok && o.zoom > 0) {
        HBITMAP compare = SideBySide(p.reference(), candidate, diff, o.zoom);
        ok = outputs->AddBitmap(InFolder(o.out, kCompareFile), compare);
        if (compare != nullptr) DeleteObject(compare);
    }
    if (diff != nullptr) DeleteObject(diff);
    return ok;
}

// Says on `err` that a signal stopped the command with nothing written, and gives its exit status.
int Stopped(std::FILE* err) {
    const int status = StopRequested();
    std::fprintf(err, "%s: %s; nothing written\n", kProgram, StopWord(status));
    return status;
}

// Puts a command's outputs in place once all are whole, unless a signal asked to stop meanwhile: the
// exit status, 0 when they are in place. Otherwise one line on `err`, and none of them is left.
int Publish(Outputs* outputs, std::FILE* err) {
    if (!outputs->error().empty()) {
        std::fprintf(err, "%s: %s\n", kProgram, outputs->error().c_str());
        return kBadInput;
    }
    if (StopRequested() != 0) return Stopped(err);
    if (!outputs->Publish()) {
        std::fprintf(err, "%s: %s\n", kProgram, outputs->error().c_str());
        return kBadInput;
    }
    return 0;
}

int Sweep(const LabOptions& o, const Prepared& p, std::FILE* out, std::FILE* err) {
    int best = 0;
    const std::vector<SweepRow> rows = SweepDraws(p, &best);
    if (rows.empty()) return Stopped(err);
    std::string csv = "u,q,r,score,exact\n";
    char line[128];
    for (int u = 0; u < kDrawCount; ++u) {
        const SweepRow& r = rows[static_cast<std::size_t>(u)];
        std::snprintf(line, sizeof line, "%d,%.9g,%.9g,%u,%d\n", u, static_cast<double>(r.w.q),
                      static_cast<double>(r.w.r), static_cast<unsigned>(r.score), r.exact);
        csv += line;
    }
    const SweepRow& b = rows[static_cast<std::size_t>(best)];
    HBITMAP candidate = Candidate(p, b.w);
    Outputs outputs;
    WritePictures(o, p, candidate, &outputs) &&
        outputs.AddText(o.csv.empty() ? InFolder(o.out, kCsvFile) : o.csv, csv) &&
        outputs.AddText(InFolder(o.out, kChartFile), SweepChart(rows, best, MaxScore(o.width, o.height)));
    if (candidate != nullptr) DeleteObject(candidate);
    if (const int status = Publish(&outputs, err); status != 0) return status;
    PrintReport(out, b.w, b.score);
    std::fprintf(out, "u = %d\n", best);
    return 0;
}

int Render(const LabOptions& o, const Prepared& p, std::FILE* out, std::FILE* err) {
    const Weights w = o.has_u ? WeightsForDraw(o.u) : WeightsForEdge(o.q);
    HBITMAP candidate = Candidate(p, w);
    int exact = 0;
    const DWORD score = GetScore(ViewOf(p.reference()), ViewOf(candidate), &exact);
    Outputs outputs;
    WritePictures(o, p, candidate, &outputs);
    if (candidate != nullptr) DeleteObject(candidate);
    if (const int status = Publish(&outputs, err); status != 0) return status;
    PrintReport(out, w, score);
    return 0;
}

int Capture(const LabOptions& o, const Prepared& p, std::FILE* err) {
    Outputs outputs;
    outputs.AddBitmap(o.out, p.reference());
    return Publish(&outputs, err);
}

// The captured reference against this platform's own: how many pixels and bytes differ, and the
// largest difference of a byte.
int Check(const LabOptions& o, const Prepared& p, std::FILE* out, std::FILE* err) {
    const BITMAP captured = ViewOf(p.captured), own = ViewOf(p.stretched);
    long pixels = 0, bytes = 0;
    int largest = 0;
    for (LONG y = 0; y < captured.bmHeight; ++y) {
        for (LONG x = 0; x < captured.bmWidth; ++x) {
            const BYTE* a = PixelAt(captured, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            const BYTE* b = PixelAt(own, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
            int differing = 0;
            for (int c = 0; c < 3; ++c) {
                const int d = std::abs(a[c] - b[c]);
                differing += d != 0;
                largest = std::max(largest, d);
            }
            bytes += differing;
            pixels += differing != 0;
        }
    }
    // The captured reference with the differing pixels red, alone or beside the two references.
    HBITMAP diff = CopyBitmap(p.captured);
    GetDiff(ViewOf(diff), own);
    HBITMAP side_by_side = o.zoom > 0 ? SideBySide(p.captured, p.stretched, diff, o.zoom) : nullptr;
    Outputs outputs;
    outputs.AddBitmap(InFolder(o.out, kCheckFile), o.zoom > 0 ? side_by_side : diff);
    if (side_by_side != nullptr) DeleteObject(side_by_side);
    if (diff != nullptr) DeleteObject(diff);
    if (const int status = Publish(&outputs, err); status != 0) return status;
    const long total = static_cast<long>(captured.bmWidth) * captured.bmHeight;
    std::fprintf(out, "differing pixels = %ld of %ld; differing bytes = %ld of %ld; largest difference = %d;\n", pixels,
                 total, bytes, 3 * total, largest);
    return pixels == 0 ? 0 : kDiffers;
}

// A field of a CSV row, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// Every picture of the command loaded into `prepared` (one each), checked and swept, as fit and report
// begin; false when one cannot be used (said in one line on `err`) or a stop came, with the status the
// command ends with.
bool PrepareAndSweep(const LabOptions& o, std::vector<Prepared>* prepared, Sweeps* sweeps, std::FILE* err,
                     int* status) {
    if (const std::string problem = PrepareAll(o, prepared); !problem.empty()) {
        std::fprintf(err, "%s: %s\n", kProgram, problem.c_str());
        *status = kBadInput;
        return false;
    }
    if (!SweepAll(*prepared, sweeps)) {
        *status = Stopped(err);
        return false;
    }
    return true;
}

// The kernel of a family that reproduces the pictures best, started from the sweep's best draw over all
// the pictures, so that the fit never scores below the search. Every picture is loaded and checked
// before anything is computed or written.
int Fit(const LabOptions& o, std::FILE* out, std::FILE* err) {
    const std::size_t n = o.sources.size();
    std::vector<Prepared> prepared(n);
    Sweeps sweeps;
    if (int status; !PrepareAndSweep(o, &prepared, &sweeps, err, &status)) return status;
    std::vector<FitPicture> pictures;
    for (const Prepared& p : prepared) pictures.push_back({p.bilinear, p.reference()});
    const int best_draw = sweeps.best_draw;
    std::vector<int>& search_best = sweeps.best;
    std::vector<DWORD> search_score(n);
    for (std::size_t i = 0; i < n; ++i) {
        search_score[i] = sweeps.rows[i][static_cast<std::size_t>(search_best[i])].score;
    }

    float kernel[kKernelSize];
    BuildKernel(WeightsForDraw(best_draw), kernel);
    const TotalScoreType max_total = TotalScoreType{MaxScore(o.width, o.height)} * n;
    Progress progress(err, isatty(fileno(err)) != 0, "step", FitSteps(o.family), max_total);
    const TotalScoreType total = FitKernel(pictures, o.family, kernel, [&](int done, TotalScoreType best) {
        progress.Update(done, best);
        return StopRequested() == 0;
    });
    progress.Clear();
    if (StopRequested() != 0) return Stopped(err);

    std::string report, csv = "source,reference,score,search_best,search_best_u,exact\n";
    char line[160];
    report += "kernel =";
    for (const float k : kernel) {
        std::snprintf(line, sizeof line, " %.9g", static_cast<double>(k));
        report += line;
    }
    report += "\n";
    for (std::size_t i = 0; i < n; ++i) {
        int exact = 0;
        const auto score = static_cast<unsigned>(TotalScore({pictures[i]}, kernel, &exact));
        std::snprintf(line, sizeof line, ": score = %u; search best = %u; exact = %d\n", score,
                      static_cast<unsigned>(search_score[i]), exact);
        report += o.sources[i] + line;
        csv += CsvField(o.sources[i]) + "," + CsvField(o.references.empty() ? "" : o.references[i]);
        std::snprintf(line, sizeof line, ",%u,%u,%d,%d\n", score, static_cast<unsigned>(search_score[i]),
                      search_best[i], exact);
        csv += line;
    }
    std::snprintf(line, sizeof line, "total = %llu\n", static_cast<unsigned long long>(total));
    report += line;

    HBITMAP candidate = sharpen(prepared[0].bilinear, kernel);
    Outputs outputs;
    WritePictures(o, prepared[0], candidate, &outputs) &&
        outputs.AddText(o.csv.empty() ? InFolder(o.out, kFitCsvFile) : o.csv, csv);
    if (candidate != nullptr) DeleteObject(candidate);
    if (const int status = Publish(&outputs, err); status != 0) return status;
    std::fputs(report.c_str(), out);
    return 0;
}

// Where the report's pictures are shown at most this many pixels on a side: a large source goes into the
// page shrunk (by the halftone stretch), so that a page of a photograph stays a page.
constexpr LONG kMostShownSide = 512;

// What a report says of one prepared picture.
ReportPicture ReportOf(const LabOptions& o, std::size_t i, const Prepared& p, HBITMAP shown) {
    ReportPicture r;
    r.source = o.sources[i];
    r.source_format = DescribePictureFile(o.sources[i]);
    const BITMAP source = ViewOf(p.source);
    if (p.captured != nullptr) {
        r.reference = "captured elsewhere: " + o.references[i] + " (made by kernel_lab capture on Windows, say)";
    } else {
        const HalftonePath path = HalftonePathOf(source.bmWidth, source.bmHeight, o.width, o.height);
#ifdef _WIN32
        r.reference = std::string("this platform's halftone stretch (GDI): ") + HalftonePathName(path);
#else
        r.reference = std::string("this platform's halftone stretch, the stand-in computing Windows' arithmetic: ") +
                      HalftonePathName(path);
        r.approximated = path == HalftonePath::kMixed;
#endif
    }
    r.source_image = shown;
    r.reference_image = p.reference();
    r.bilinear = p.bilinear;
    return r;
}

// The page of the whole answer: every picture swept, the three families fitted across them all.
int Report(const LabOptions& o, std::FILE* out, std::FILE* err) {
    const std::size_t n = o.sources.size();
    std::vector<Prepared> prepared(n);
    Sweeps sweeps;
    if (int status; !PrepareAndSweep(o, &prepared, &sweeps, err, &status)) return status;

    std::vector<FitPicture> fit_pictures;
    TotalScoreType search_total = 0, max_total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        fit_pictures.push_back({prepared[i].bilinear, prepared[i].reference()});
        search_total += sweeps.rows[i][static_cast<std::size_t>(sweeps.best[i])].score;
        max_total += MaxScore(o.width, o.height);
    }
    // The full family's fit passes through the smaller ones, each ending where a fit of it alone would.
    std::vector<ReportFamily> families;
    float kernel[kKernelSize];
    BuildKernel(WeightsForDraw(sweeps.best_draw), kernel);
    Progress progress(err, isatty(fileno(err)) != 0, "fitting step", FitSteps(Family::kFull), max_total);
    FitKernel(
        fit_pictures, Family::kFull, kernel,
        [&](int done, TotalScoreType best) {
            progress.Update(done, best);
            return StopRequested() == 0;
        },
        [&](Family f, const float fitted[kKernelSize], TotalScoreType total) {
            ReportFamily family;
            family.name = FamilyName(f);
            std::copy(fitted, fitted + kKernelSize, family.kernel);
            family.total = total;
            int exact = 0;
            TotalScore(fit_pictures, fitted, &exact);
            family.all_exact = exact == 1;
            families.push_back(family);
        });
    progress.Clear();
    if (StopRequested() != 0) return Stopped(err);

    const ReportFamily& best =
        *std::max_element(families.begin(), families.end(),
                          [](const ReportFamily& a, const ReportFamily& b) { return a.total < b.total; });
    std::vector<HBITMAP> fitted, shown;
    std::vector<ReportPicture> pictures;
    const float identity[kKernelSize] = {0, 0, 0, 0, 1, 0, 0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        fitted.push_back(sharpen(prepared[i].bilinear, best.kernel));
        // The source as the page shows it: 24 bits (a copy at its own size), shrunk when it is large.
        const BITMAP v = ViewOf(prepared[i].source);
        const LONG side = std::max(v.bmWidth, v.bmHeight);
        const LONG w = side > kMostShownSide ? std::max<LONG>(1, v.bmWidth * kMostShownSide / side) : v.bmWidth;
        const LONG h = side > kMostShownSide ? std::max<LONG>(1, v.bmHeight * kMostShownSide / side) : v.bmHeight;
        shown.push_back(ScaleImage(prepared[i].source, w, h, kReferencePath, identity));
        pictures.push_back(ReportOf(o, i, prepared[i], shown.back()));
        pictures.back().rows = sweeps.rows[i];
        pictures.back().best = sweeps.best[i];
    }
    const std::string page = ReportPage(pictures, families, fitted, search_total, o.zoom > 0 ? o.zoom : kReportZoom);
    for (HBITMAP image : fitted) {
        if (image != nullptr) DeleteObject(image);
    }
    for (HBITMAP image : shown) {
        if (image != nullptr) DeleteObject(image);
    }
    const std::string path = InFolder(o.out, kReportFile);
    Outputs outputs;
    outputs.AddText(path, page);
    if (const int status = Publish(&outputs, err); status != 0) return status;
    std::fprintf(out, "%s\n", path.c_str());
    for (std::size_t i = 0; i < n; ++i) {
        const SweepRow& b = sweeps.rows[i][static_cast<std::size_t>(sweeps.best[i])];
        PrintReport(out, b.w, b.score);
    }
    return 0;
}

}  // namespace

int RunLab(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    if (std::string topic; AsksForHelp(argc, argv, &topic)) {
        const std::string help = LabHelp(topic);
        if (help.empty()) {
            std::fprintf(err, "%s: unknown command %s %s\n", kProgram, topic.c_str(), kHint);
            return kUsage;
        }
        std::fputs(help.c_str(), out);
        return 0;
    }
    if (AsksForVersion(argc, argv)) {
        std::fputs(LabVersion().c_str(), out);
        return 0;
    }
    LabOptions o;
    if (const std::string problem = ParseLabOptions(argc, argv, &o); !problem.empty()) {
        std::fprintf(err, "%s: %s %s\n", kProgram, problem.c_str(), kHint);
        return kUsage;
    }
    if (o.command == Command::kSearch) {
        SearchRun run;
        run.program = kProgram;
        run.folder = o.out;
        run.source = o.source;
        run.seed = o.seed;
        run.attempts = o.attempts;
        run.out = out;
        run.err = err;
        return RunSearch(run);
    }
    if (o.command == Command::kFit) return Fit(o, out, err);
    if (o.command == Command::kReport) return Report(o, out, err);
    Prepared p;
    if (const std::string problem = Prepare(o, &p); !problem.empty()) {
        std::fprintf(err, "%s: %s\n", kProgram, problem.c_str());
        return kBadInput;
    }
    if (StopRequested() != 0) return Stopped(err);
    switch (o.command) {
    case Command::kCapture: return Capture(o, p, err);
    case Command::kCheck: return Check(o, p, out, err);
    case Command::kRender: return Render(o, p, out, err);
    case Command::kSweep:
    case Command::kSearch:
    case Command::kFit:
    case Command::kReport: break;
    }
    return Sweep(o, p, out, err);
}
