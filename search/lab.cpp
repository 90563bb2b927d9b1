#include "lab.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "SaveBitmapToFile.h"
#include "compare.h"
#include "copy_image.h"
#include "image_view.h"
#include "pipeline.h"
#include "search.h"

namespace {

constexpr char kProgram[] = "kernel_lab";
constexpr char kHint[] = "(see kernel_lab --help)";
constexpr int kMaxSize = 4096;   // the largest target side: far beyond the 24 pixels that matter here
constexpr int kMaxZoom = 64;     // a 24 × 24 result at 64 × 64 per pixel is already 1536 pixels tall
constexpr int kDrawCount = kDrawMax + 1;
constexpr char kCompareFile[] = "compare.bmp";
constexpr char kChartFile[] = "sweep.svg";
constexpr char kCsvFile[] = "sweep.csv";
constexpr char kCheckFile[] = "check.bmp";
// Exit statuses: bad input, bad usage, and a reference that check finds different.
constexpr int kUsage = 2, kBadInput = 1, kDiffers = 3;

constexpr char kHelp[] =
    "usage: kernel_lab COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  sweep                 try every draw u = 0 ... 32767; write sweep.csv, sweep.svg and the best draw's\n"
    "                        output0.bmp, output1.bmp and diff.bmp; print its report line and u\n"
    "  search --seed N       the random search of kernel_search, seeded with N [--attempts N]\n"
    "  render (--u N | --q Q) the reference, candidate and diff of one draw, and its report line\n"
    "  capture --out FILE    write the halftone reference of the source as a BMP file\n"
    "  check --reference FILE  compare a reference made elsewhere (by capture on Windows) with this\n"
    "                        platform's halftone stretch of the source: print how many pixels and bytes\n"
    "                        differ and by how much at most, write check.bmp (the reference with the\n"
    "                        differing pixels red; with --zoom, the two side by side as well); exit 0\n"
    "                        when identical, 3 when they differ\n"
    "\n"
    "options:\n"
    "  --source FILE         the picture (default ant.bmp)\n"
    "  --reference FILE      a captured reference of the target size, used instead of the halftone stretch\n"
    "  --size WxH            the target size (default 24x24)\n"
    "  --out DIR             where the files go (default the working folder)\n"
    "  --csv FILE            the sweep's table (default sweep.csv in the output folder)\n"
    "  --zoom N              also write compare.bmp: reference, candidate and diff side by side, each pixel\n"
    "                        an N x N block\n"
    "  --help                this text\n";

struct Options {
    std::string command;
    std::string source = kSourceFile;
    std::string reference;
    int width = kTargetSize, height = kTargetSize;
    std::string out;  // a folder, or for capture the file
    std::string csv;
    int zoom = 0;
    bool has_seed = false;
    unsigned seed = 0;
    int attempts = kAttempts;
    bool has_u = false, has_q = false, has_size = false;
    int u = 0;
    float q = 0;
};

bool ParseInt(const char* text, long long low, long long high, long long* value) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

// Reads the command line into `o`; on a usage error returns the message, else "".
std::string ParseOptions(int argc, const char* const* argv, Options* o) {
    if (argc < 2) return "no command given";
    o->command = argv[1];
    if (o->command != "sweep" && o->command != "search" && o->command != "render" && o->command != "capture" &&
        o->command != "check") {
        return "unknown command " + o->command;
    }
    for (int i = 2; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") continue;
        static const char* const kKnown[] = {"--source", "--reference", "--out",  "--csv", "--size",
                                             "--zoom",   "--seed",      "--attempts", "--u", "--q"};
        if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) return "unknown option " + name;
        if (i + 1 >= argc) return "option " + name + " needs a value";
        const char* value = argv[++i];
        long long number = 0;
        if (name == "--source") {
            o->source = value;
        } else if (name == "--reference") {
            o->reference = value;
        } else if (name == "--out") {
            o->out = value;
        } else if (name == "--csv") {
            o->csv = value;
        } else if (name == "--size") {
            long long w = 0, h = 0;
            const std::string text = value;
            const std::size_t x = text.find('x');
            if (x == std::string::npos || !ParseInt(text.substr(0, x).c_str(), 1, kMaxSize, &w) ||
                !ParseInt(text.substr(x + 1).c_str(), 1, kMaxSize, &h)) {
                return "--size takes WxH with sides from 1 to " + std::to_string(kMaxSize);
            }
            o->width = static_cast<int>(w);
            o->height = static_cast<int>(h);
            o->has_size = true;
        } else if (name == "--zoom") {
            if (!ParseInt(value, 1, kMaxZoom, &number)) return "--zoom takes a whole number from 1 to 64";
            o->zoom = static_cast<int>(number);
        } else if (name == "--seed") {
            if (!ParseInt(value, 0, 4294967295LL, &number)) return "--seed takes a whole number from 0 to 4294967295";
            o->seed = static_cast<unsigned>(number);
            o->has_seed = true;
        } else if (name == "--attempts") {
            if (!ParseInt(value, 1, 100000000, &number)) return "--attempts takes a whole number from 1";
            o->attempts = static_cast<int>(number);
        } else if (name == "--u") {
            if (!ParseInt(value, 0, kDrawMax, &number)) return "--u takes a whole number from 0 to 32767";
            o->u = static_cast<int>(number);
            o->has_u = true;
        } else if (name == "--q") {
            char* end = nullptr;
            const double q = std::strtod(value, &end);
            if (end == value || *end != '\0' || !std::isfinite(q) || std::fabs(q) > 1) {
                return "--q takes a number from -1 to 1";
            }
            o->q = static_cast<float>(q);
            o->has_q = true;
        } else {
            return "unknown option " + name;
        }
    }
    // What each command takes.
    const bool images = o->command == "sweep" || o->command == "render";
    if (o->command == "search" && !o->has_seed) return "search needs --seed N";
    if (o->command == "search" && (!o->reference.empty() || o->has_size || o->zoom != 0 || !o->csv.empty())) {
        return "search takes only --source, --out, --seed and --attempts";
    }
    if (o->command == "render" && o->has_u == o->has_q) return "render needs one of --u N and --q Q";
    if (o->command == "capture" && o->out.empty()) return "capture needs --out FILE";
    if (o->command == "capture" && (!o->reference.empty() || o->zoom != 0 || !o->csv.empty())) {
        return "capture takes only --source, --size and --out";
    }
    if (o->command == "check" && o->reference.empty()) return "check needs --reference FILE";
    if (!images && o->command != "capture" && (o->has_u || o->has_q)) return "--u and --q go with render";
    if (o->command != "search" && (o->has_seed || o->attempts != kAttempts)) return "--seed and --attempts go with search";
    if (o->command != "render" && (o->has_u || o->has_q)) return "--u and --q go with render";
    if (o->command != "sweep" && !o->csv.empty()) return "--csv goes with sweep";
    return "";
}

// The images every command works from, made once: this platform's halftone stretch of the source, a
// reference captured elsewhere when one is given, and the bilinear shrink that each kernel then filters.
struct Prepared {
    HBITMAP stretched = nullptr;
    HBITMAP captured = nullptr;
    HBITMAP bilinear = nullptr;
    // What the candidates are scored against.
    HBITMAP reference() const { return captured != nullptr ? captured : stretched; }
    ~Prepared() {
        for (HBITMAP image : {stretched, captured, bilinear}) {
            if (image != nullptr) DeleteObject(image);
        }
    }
};

// Loads the source once and makes the images; on bad input returns the message, else "".
std::string Prepare(const Options& o, Prepared* p) {
    if (o.command != "capture" && !o.out.empty() && !std::filesystem::is_directory(o.out)) {
        return o.out + " is not a folder";
    }
    HBITMAP source = nullptr;
    if (const std::string problem = LoadSource(o.source, &source); !problem.empty()) return o.source + " " + problem;
    const float identity[kKernelSize] = {0, 0, 0, 0, 1, 0, 0, 0, 0};  // leaves the bilinear image as it is
    p->bilinear = ScaleImage(source, o.width, o.height, kCandidatePath, identity);
    p->stretched = ScaleImage(source, o.width, o.height, kReferencePath, identity);
    DeleteObject(source);
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

DWORD Score(HBITMAP reference, HBITMAP candidate, int* exact) {
    return GetScore(ViewOf(reference), ViewOf(candidate), exact);
}

HBITMAP Candidate(const Prepared& p, Weights w) {
    float kernel[kKernelSize];
    BuildKernel(w, kernel);
    return sharpen(p.bilinear, kernel);
}

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
                const BYTE* from = PixelAt(views[k], static_cast<std::uint32_t>(x / zoom), static_cast<std::uint32_t>(y / zoom));
                BYTE* to = PixelAt(o, static_cast<std::uint32_t>(k * (w + 1) * zoom + x), static_cast<std::uint32_t>(y));
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
            }
        }
    }
    return out;
}

// Writes the pictures of one draw: reference, candidate, diff, and the side-by-side view when asked.
bool WritePictures(const Options& o, const Prepared& p, HBITMAP candidate, std::FILE* err) {
    HBITMAP diff = CopyBitmap(p.reference());
    GetDiff(ViewOf(diff), ViewOf(candidate));
    bool ok = true;
    const auto save = [&](const char* name, HBITMAP image) {
        const std::string path = InFolder(o.out, name);
        if (ok && (image == nullptr || !SaveBitmapToFileA(path.c_str(), image))) {
            std::fprintf(err, "%s: could not write %s\n", kProgram, path.c_str());
            ok = false;
        }
    };
    save(kReferenceFile, p.reference());
    save(kCandidateFile, candidate);
    save(kDiffFile, diff);
    if (o.zoom > 0) {
        HBITMAP compare = SideBySide(p.reference(), candidate, diff, o.zoom);
        save(kCompareFile, compare);
        if (compare != nullptr) DeleteObject(compare);
    }
    DeleteObject(diff);
    return ok;
}

struct SweepRow {
    Weights w;
    DWORD score;
    int exact;
};

// The chart of score against q: for each column of the plot the range of scores of the draws that
// fall in it, the best draw marked, its values in a caption.
std::string Chart(const std::vector<SweepRow>& rows, int best) {
    constexpr int kWidth = 800, kHeight = 420, kLeft = 70, kRight = 40, kTop = 40, kBottom = 60;
    constexpr int kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;
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
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" "
                  "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                  kWidth, kHeight);
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
                  "<text transform=\"translate(18 %d) rotate(-90)\" text-anchor=\"middle\">score (4032 is an "
                  "exact match)</text>\n",
                  kLeft + kPlotWidth / 2, kHeight - 22, kTop + kPlotHeight / 2);
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

bool WriteText(const std::string& path, const std::string& text, std::FILE* err) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != nullptr && std::fclose(f) != 0) return false;
    if (!ok) std::fprintf(err, "%s: could not write %s\n", kProgram, path.c_str());
    return ok;
}

int Sweep(const Options& o, const Prepared& p, std::FILE* out, std::FILE* err) {
    std::vector<SweepRow> rows(kDrawCount);
    int best = 0;
    for (int u = 0; u < kDrawCount; ++u) {
        SweepRow& row = rows[static_cast<std::size_t>(u)];
        row.w = WeightsForDraw(u);
        HBITMAP candidate = Candidate(p, row.w);
        row.score = Score(p.reference(), candidate, &row.exact);
        DeleteObject(candidate);
        if (row.score > rows[static_cast<std::size_t>(best)].score) best = u;
    }
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
    const bool written = WritePictures(o, p, candidate, err) &&
                         WriteText(o.csv.empty() ? InFolder(o.out, kCsvFile) : o.csv, csv, err) &&
                         WriteText(InFolder(o.out, kChartFile), Chart(rows, best), err);
    DeleteObject(candidate);
    if (!written) return kBadInput;
    PrintReport(out, b.w, b.score);
    std::fprintf(out, "u = %d\n", best);
    return 0;
}

int Render(const Options& o, const Prepared& p, std::FILE* out, std::FILE* err) {
    const Weights w = o.has_u ? WeightsForDraw(o.u) : WeightsForEdge(o.q);
    HBITMAP candidate = Candidate(p, w);
    int exact = 0;
    const DWORD score = Score(p.reference(), candidate, &exact);
    const bool written = WritePictures(o, p, candidate, err);
    DeleteObject(candidate);
    if (!written) return kBadInput;
    PrintReport(out, w, score);
    return 0;
}

int Capture(const Options& o, const Prepared& p, std::FILE* err) {
    if (!SaveBitmapToFileA(o.out.c_str(), p.reference())) {
        std::fprintf(err, "%s: could not write %s\n", kProgram, o.out.c_str());
        return kBadInput;
    }
    return 0;
}

// The captured reference against this platform's own: how many pixels and bytes differ, and the
// largest difference of a byte.
int Check(const Options& o, const Prepared& p, std::FILE* out, std::FILE* err) {
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
    const std::string path = InFolder(o.out, kCheckFile);
    const bool written = SaveBitmapToFileA(path.c_str(), o.zoom > 0 ? side_by_side : diff) != FALSE;
    if (side_by_side != nullptr) DeleteObject(side_by_side);
    DeleteObject(diff);
    if (!written) {
        std::fprintf(err, "%s: could not write %s\n", kProgram, path.c_str());
        return kBadInput;
    }
    const long total = static_cast<long>(captured.bmWidth) * captured.bmHeight;
    std::fprintf(out, "differing pixels = %ld of %ld; differing bytes = %ld of %ld; largest difference = %d;\n", pixels,
                 total, bytes, 3 * total, largest);
    return pixels == 0 ? 0 : kDiffers;
}

}  // namespace

int RunLab(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, out);
            return 0;
        }
    }
    Options o;
    if (const std::string problem = ParseOptions(argc, argv, &o); !problem.empty()) {
        std::fprintf(err, "%s: %s %s\n", kProgram, problem.c_str(), kHint);
        return kUsage;
    }
    if (o.command == "search") {
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
    Prepared p;
    if (const std::string problem = Prepare(o, &p); !problem.empty()) {
        std::fprintf(err, "%s: %s\n", kProgram, problem.c_str());
        return kBadInput;
    }
    if (o.command == "capture") return Capture(o, p, err);
    if (o.command == "check") return Check(o, p, out, err);
    if (o.command == "render") return Render(o, p, out, err);
    return Sweep(o, p, out, err);
}
