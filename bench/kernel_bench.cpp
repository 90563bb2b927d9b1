// The cost of one search attempt, stage by stage, against the floor every attempt must pay: reading
// the picture twice. Run: build/release/bench/kernel_bench (see README.md).
//
// Each stage runs on the shipped sample (48 × 48), on the detailed sample (144 × 120) and on a large
// generated source (1024 × 768, 24-bit), to show how the cost grows with the picture.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "SaveBitmapToFile.h"
#include "bilinear.h"
#include "bmp_format.h"
#include "compare.h"
#include "image_view.h"
#include "kernel_family.h"
#include "lab.h"
#include "pipeline.h"
#include "search.h"

namespace {

namespace fs = std::filesystem;

// The sources: index 0 the sample, 1 the large picture written once into a temporary folder, 2 the
// detailed sample.
const std::string& SourcePath(int which) {
    static const std::string sample = SAMPLE_PATH;
    static const std::string detailed = LARGE_SAMPLE_PATH;
    static const std::string large = [] {
        const fs::path dir = fs::temp_directory_path() / "kernel_bench";
        fs::create_directories(dir);
        const std::string path = (dir / "large.bmp").string();
        HBITMAP image = Create24BppBitmap(nullptr, 1024, 768);
        const BITMAP view = ViewOf(image);
        auto* p = static_cast<BYTE*>(view.bmBits);
        std::uint32_t state = 1;
        for (std::size_t i = 0; i < static_cast<std::size_t>(view.bmWidthBytes) * view.bmHeight; ++i) {
            state = state * 1664525u + 1013904223u;  // a deterministic texture, like a photograph's noise
            p[i] = static_cast<BYTE>((i / 3 % 1024) / 4 + (state >> 28));
        }
        SaveBitmapToFileA(path.c_str(), image);
        DeleteObject(image);
        return path;
    }();
    return which == 0 ? sample : which == 1 ? large : detailed;
}

void Label(benchmark::State& state) {
    const char* labels[] = {"sample 48x48", "large 1024x768", "detailed 144x120"};
    state.SetLabel(labels[state.range(0)]);
}

float* Kernel() {
    static float kernel[kKernelSize];
    BuildKernel(WeightsForDraw(12345), kernel);
    return kernel;
}

// The floor of an attempt: the file at `path` read twice, as plainly as it can be.
void ReadTwice(benchmark::State& state, const std::string& path) {
    std::vector<char> buffer(static_cast<std::size_t>(fs::file_size(path)));
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            const int fd = open(path.c_str(), O_RDONLY);
            benchmark::DoNotOptimize(read(fd, buffer.data(), buffer.size()));
            close(fd);
        }
    }
}

void Floor(benchmark::State& state) {
    ReadTwice(state, SourcePath(static_cast<int>(state.range(0))));
    Label(state);
}

void LoadPicture(benchmark::State& state) {
    const std::string& path = SourcePath(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        HBITMAP image = LoadBitmapFromFileA(path.c_str());
        benchmark::DoNotOptimize(image);
        DeleteObject(image);
    }
    Label(state);
}

// The stretch as the pipeline makes it, its two contexts with it; and the resampler.
void HalftoneOn(benchmark::State& state, const std::string& path) {
    HBITMAP source = LoadBitmapFromFileA(path.c_str());
    HBITMAP target = Create24BppBitmap(nullptr, kTargetSize, kTargetSize);
    for (auto _ : state) benchmark::DoNotOptimize(HalftoneStretchInto(target, source));
    DeleteObject(source);
    DeleteObject(target);
}

void BilinearOn(benchmark::State& state, const std::string& path) {
    HBITMAP source = LoadBitmapFromFileA(path.c_str());
    HBITMAP target = Create24BppBitmap(nullptr, kTargetSize, kTargetSize);
    const BITMAP s = ViewOf(source), t = ViewOf(target);
    for (auto _ : state) {
        bilinear_interpolation(t, s);
        benchmark::ClobberMemory();
    }
    DeleteObject(source);
    DeleteObject(target);
}

void Halftone(benchmark::State& state) {
    HalftoneOn(state, SourcePath(static_cast<int>(state.range(0))));
    Label(state);
}

void Bilinear(benchmark::State& state) {
    BilinearOn(state, SourcePath(static_cast<int>(state.range(0))));
    Label(state);
}

void Sharpen(benchmark::State& state) {
    HBITMAP image = ScaleSourceFile(SourcePath(0).c_str(), kTargetSize, kTargetSize, kReferencePath, Kernel());
    for (auto _ : state) {
        HBITMAP out = sharpen(image, Kernel());
        benchmark::DoNotOptimize(out);
        DeleteObject(out);
    }
    DeleteObject(image);
}

void Score(benchmark::State& state) {
    HBITMAP a = ScaleSourceFile(SourcePath(0).c_str(), kTargetSize, kTargetSize, kReferencePath, Kernel());
    HBITMAP b = ScaleSourceFile(SourcePath(0).c_str(), kTargetSize, kTargetSize, kCandidatePath, Kernel());
    const BITMAP va = ViewOf(a), vb = ViewOf(b);
    int exact;
    for (auto _ : state) benchmark::DoNotOptimize(GetScore(va, vb, &exact));
    DeleteObject(a);
    DeleteObject(b);
}

void Save(benchmark::State& state) {
    HBITMAP image = ScaleSourceFile(SourcePath(0).c_str(), kTargetSize, kTargetSize, kReferencePath, Kernel());
    const std::string path = (fs::temp_directory_path() / "kernel_bench" / "output0.bmp").string();
    for (auto _ : state) benchmark::DoNotOptimize(SaveBitmapToFileA(path.c_str(), image));
    DeleteObject(image);
}

// Whole attempts on the picture at `path`, each with another draw: two pipelines and a score.
// One attempt is made before the timing starts: the first of a run reads into fresh memory and decodes
// what later loads of the picture copy, and a search spends its time in the later ones.
void Attempts(benchmark::State& state, const std::string& path) {
    int u = 0;
    const auto attempt = [&] {
        float kernel[kKernelSize];
        BuildKernel(WeightsForDraw(u), kernel);
        u = (u + 7919) % (kDrawMax + 1);
        HBITMAP reference = ScaleSourceFile(path.c_str(), kTargetSize, kTargetSize, kReferencePath, kernel);
        HBITMAP candidate = ScaleSourceFile(path.c_str(), kTargetSize, kTargetSize, kCandidatePath, kernel);
        int exact;
        benchmark::DoNotOptimize(GetScore(ViewOf(reference), ViewOf(candidate), &exact));
        DeleteObject(reference);
        DeleteObject(candidate);
    };
    attempt();
    for (auto _ : state) attempt();
}

void Attempt(benchmark::State& state) {
    Attempts(state, SourcePath(static_cast<int>(state.range(0))));
    Label(state);
}

// ---- The ladder: sizes × depths, each whole attempt beside the floor of reading its file twice ----

struct Rung {
    LONG width, height;
};
constexpr Rung kRungs[] = {{48, 48}, {300, 200}, {640, 480}, {1024, 768}, {2000, 1500}, {4000, 3000}};
// A depth of the ladder: bits a pixel, for 8 and 4 bits whether the rows are run-length compressed, and for 32
// whether the header gives the channels' bit fields (red, green and blue in the pixels' byte order, no alpha).
struct Depth {
    WORD bpp;
    bool run_length = false, bit_fields = false;
};
constexpr Depth kDepths[] = {{24}, {32}, {8}, {4}, {1}, {16}, {8, true}, {4, true}, {32, false, true}};

std::string DepthName(Depth d) {
    if (d.run_length) return "RLE" + std::to_string(d.bpp);
    return std::to_string(d.bpp) + (d.bit_fields ? "-bit-fields" : "-bit");
}

// One row of palette indices as run-length codes: a run of two or more of one index as a count and the
// index, three or more indices without such a run as an absolute stretch (padded to two bytes), one or
// two alone as runs of one. At 4 bits a run's byte holds the index twice, an absolute stretch two a byte.
void AppendRunLengthRow(const std::vector<BYTE>& indices, WORD bpp, std::vector<BYTE>* codes) {
    const std::size_t n = indices.size();
    for (std::size_t x = 0; x < n;) {
        std::size_t run = 1;
        while (x + run < n && run < 255 && indices[x + run] == indices[x]) ++run;
        std::size_t literal = 0;  // indices up to the next run of two
        while (x + literal < n && literal < 255 &&
               !(x + literal + 1 < n && indices[x + literal] == indices[x + literal + 1]))
            ++literal;
        if (run >= 2 || literal < 3) {
            const std::size_t count = run >= 2 ? run : 1;
            codes->push_back(static_cast<BYTE>(count));
            codes->push_back(static_cast<BYTE>(bpp == 8 ? indices[x] : indices[x] << 4 | indices[x]));
            x += count;
            continue;
        }
        codes->push_back(0);
        codes->push_back(static_cast<BYTE>(literal));
        const std::size_t start = codes->size();
        for (std::size_t k = 0; k < literal; ++k) {
            if (bpp == 8) {
                codes->push_back(indices[x + k]);
            } else if (k % 2 == 0) {
                codes->push_back(static_cast<BYTE>(indices[x + k] << 4));
            } else {
                codes->back() = static_cast<BYTE>(codes->back() | indices[x + k]);
            }
        }
        if ((codes->size() - start) % 2 != 0) codes->push_back(0);
        x += literal;
    }
}

// A file's bytes whole, and bytes written as a file; the benchmarks cannot go on without them.
std::vector<BYTE> ReadWholeFile(const std::string& path) {
    std::vector<BYTE> file(static_cast<std::size_t>(fs::file_size(path)));
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr || std::fread(file.data(), 1, file.size(), in) != file.size()) std::abort();
    std::fclose(in);
    return file;
}

void WriteWholeFile(const std::string& path, const std::vector<BYTE>& bytes) {
    std::FILE* o = std::fopen(path.c_str(), "wb");
    if (o == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), o) != bytes.size() || std::fclose(o) != 0) {
        std::abort();
    }
}

// A little-endian 32-bit field of a file's header.
void Put32(std::vector<BYTE>* bytes, std::size_t at, std::size_t value) {
    for (int b = 0; b < 4; ++b) (*bytes)[at + b] = static_cast<BYTE>(value >> 8 * b);
}

// The file at `plain` (8 or 4 bits, uncompressed) written again at `path` with its rows run-length
// compressed: each row's codes, an end of line, and after the last an end of the picture.
void WriteRunLengthCopy(const std::string& plain, const std::string& path, WORD bpp) {
    const std::vector<BYTE> file = ReadWholeFile(plain);
    const DWORD offset = ReadLe32(&file[10]);
    const auto width = static_cast<std::size_t>(ReadLe32(&file[18]));
    const auto height = static_cast<std::size_t>(ReadLe32(&file[22]));
    const std::size_t stride = (width * bpp + 31) / 32 * 4;
    std::vector<BYTE> out(file.begin(), file.begin() + offset), indices(width);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x)
            indices[x] = static_cast<BYTE>(BmpIndexAt(&file[offset + y * stride], x, bpp));
        AppendRunLengthRow(indices, bpp, &out);
        out.push_back(0);
        out.push_back(y + 1 < height ? 0 : 1);
    }
    Put32(&out, 2, out.size());
    Put32(&out, 30, bpp == 8 ? BI_RLE8 : BI_RLE4);
    Put32(&out, 34, out.size() - offset);
    WriteWholeFile(path, out);
}

// The 32-bit file at `plain` written again at `path` with a version 3 header (56 bytes) whose bit fields
// name red, green and blue in the pixels' byte order, and no alpha: each pixel's first and third bytes
// change places in the image, so that its rows are decoded (in place), not only read. Fields in the
// image's own order (blue, green, red) are read as the plain file is.
void WriteBitFieldsCopy(const std::string& plain, const std::string& path) {
    const std::vector<BYTE> file = ReadWholeFile(plain);
    const DWORD offset = ReadLe32(&file[10]);
    std::vector<BYTE> out(file.begin(), file.begin() + kFileHeaderSize + kInfoHeaderSize);
    out.resize(kFileHeaderSize + kV3HeaderSize);
    out.insert(out.end(), file.begin() + offset, file.end());
    Put32(&out, 2, out.size());
    Put32(&out, 10, kFileHeaderSize + kV3HeaderSize);
    Put32(&out, 14, kV3HeaderSize);
    Put32(&out, 30, BI_BITFIELDS);
    const DWORD fields[4] = {0x000000FF, 0x0000FF00, 0x00FF0000, 0};  // red, green, blue, no alpha
    for (int k = 0; k < 4; ++k) Put32(&out, kFileHeaderSize + kInfoHeaderSize + 4 * k, fields[k]);
    WriteWholeFile(path, out);
}

// A picture of the rung's size at `depth`, written into the temporary folder the first time a run asks for it: a
// texture of gradients and noise, through a colour table of as many colours as the depth holds (a grey-blue ramp)
// at 8 bits and less, 5-5-5 at 16 bits; run-length compressed, the same indices (the noise leaves few runs: the
// codes are an eighth longer than the plain rows at 8 bits, a quarter at 4). It is written again by every run,
// though an earlier run left the same bytes there, because how a file sits in the page cache moves the time of
// reading it: on the build machine a file read back after the kernel had dropped it took up to twice as long to
// read as the same bytes just written, and by different amounts for different files, which moved every floor and
// every comparison between depths. Written afresh, every picture is read as a file just saved is.
std::string PicturePath(Rung r, Depth depth) {
    const fs::path dir = fs::temp_directory_path() / "kernel_bench";
    fs::create_directories(dir);
    const std::string path =
        (dir / ("ladder-" + std::to_string(r.width) + "x" + std::to_string(r.height) + "-" + DepthName(depth) + ".bmp"))
            .string();
    static std::set<std::string> written;
    if (!written.insert(path).second) return path;
    if (depth.run_length) {
        WriteRunLengthCopy(PicturePath(r, {depth.bpp}), path, depth.bpp);
        return path;
    }
    if (depth.bit_fields) {
        WriteBitFieldsCopy(PicturePath(r, {depth.bpp}), path);
        return path;
    }
    const WORD bpp = depth.bpp;
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colours[256];
    } info = {};
    info.header.biSize = sizeof(BITMAPINFOHEADER);
    info.header.biWidth = r.width;
    info.header.biHeight = r.height;
    info.header.biPlanes = 1;
    info.header.biBitCount = bpp;
    const unsigned levels = bpp <= 8 ? 1u << bpp : 0;
    for (unsigned i = 0; i < levels; ++i) {
        const auto v = static_cast<BYTE>(i * 255 / (levels - 1));
        info.colours[i] = RGBQUAD{v, static_cast<BYTE>(v / 2 + 64), static_cast<BYTE>(255 - v), 0};
    }
    void* bits = nullptr;
    HBITMAP image = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS, &bits, nullptr, 0);
    const BITMAP view = ViewOf(image);
    std::uint32_t state = 1;
    for (LONG y = 0; y < r.height; ++y) {
        BYTE* row =
            static_cast<BYTE*>(bits) + static_cast<std::size_t>(y) * static_cast<std::size_t>(view.bmWidthBytes);
        for (LONG x = 0; x < r.width; ++x) {
            state = state * 1664525u + 1013904223u;
            const unsigned v = static_cast<unsigned>((x + 2 * y) % 256 + (state >> 28)) % 256;
            if (bpp <= 8) {
                BmpPutIndex(row, static_cast<std::uint64_t>(x), bpp, v * levels / 256);
            } else if (bpp == 16) {
                const unsigned pixel = (v >> 3) << 10 | ((x % 256) >> 3) << 5 | ((y % 256) >> 3);
                row[2 * x] = static_cast<BYTE>(pixel);
                row[2 * x + 1] = static_cast<BYTE>(pixel >> 8);
            } else {
                BYTE* p = row + static_cast<std::size_t>(x) * (bpp / 8);
                p[0] = static_cast<BYTE>(v);
                p[1] = static_cast<BYTE>(x);
                p[2] = static_cast<BYTE>(y);
            }
        }
    }
    SaveBitmapToFileA(path.c_str(), image);
    DeleteObject(image);
    return path;
}

std::string LadderPath(int rung, int depth_index) { return PicturePath(kRungs[rung], kDepths[depth_index]); }

void LadderLabel(benchmark::State& state) {
    const Rung r = kRungs[state.range(0)];
    state.SetLabel(std::to_string(r.width) + "x" + std::to_string(r.height) + " " + DepthName(kDepths[state.range(1)]));
}

void LadderFloor(benchmark::State& state) {
    ReadTwice(state, LadderPath(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
    LadderLabel(state);
}

void LadderAttempt(benchmark::State& state) {
    Attempts(state, LadderPath(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))));
    LadderLabel(state);
}

// The load alone, the part of an attempt that differs with the depth: a picture of another depth is
// turned into 24 bits, where a 24 or 32-bit one is read as it is.
void LadderLoad(benchmark::State& state) {
    const std::string path = LadderPath(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    DeleteObject(LoadBitmapFromFileA(path.c_str()));  // the first load, as Attempts makes
    for (auto _ : state) {
        HBITMAP image = LoadBitmapFromFileA(path.c_str());
        benchmark::DoNotOptimize(image);
        DeleteObject(image);
    }
    LadderLabel(state);
}

// Shapes beside the ladder's: the least, sizes that do not divide 24 or are smaller than it on one axis,
// strips one pixel of the result wide or less, tall pictures from one to eight source pixels a result
// pixel across, and the largest.
constexpr Rung kShapes[] = {{16, 16},   {23, 23},    {16, 4096}, {4096, 16}, {25, 4000}, {40, 4000},
                            {60, 3000}, {190, 1000}, {4000, 25}, {97, 1003}, {1003, 97}, {4096, 4096}};

void ShapeLabel(benchmark::State& state) {
    const Rung r = kShapes[state.range(0)];
    state.SetLabel(std::to_string(r.width) + "x" + std::to_string(r.height) + " " + DepthName(kDepths[state.range(1)]));
}

void ShapeFloor(benchmark::State& state) {
    ReadTwice(state, PicturePath(kShapes[state.range(0)], kDepths[state.range(1)]));
    ShapeLabel(state);
}

void ShapeAttempt(benchmark::State& state) {
    Attempts(state, PicturePath(kShapes[state.range(0)], kDepths[state.range(1)]));
    ShapeLabel(state);
}

// The two stretches alone on each rung's 24-bit picture, and the halftone on each shape: the parts of an
// attempt that grow with it.
void LadderHalftone(benchmark::State& state) {
    HalftoneOn(state, LadderPath(static_cast<int>(state.range(0)), 0));
    LadderLabel(state);
}

void ShapeHalftone(benchmark::State& state) {
    HalftoneOn(state, PicturePath(kShapes[state.range(0)], kDepths[state.range(1)]));
    ShapeLabel(state);
}

void LadderBilinear(benchmark::State& state) {
    BilinearOn(state, LadderPath(static_cast<int>(state.range(0)), 0));
    LadderLabel(state);
}

// Whole searches of growing length on the sample, in a scratch folder: the peak resident memory after
// each must not grow with the number of attempts.
void WholeRun(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / "kernel_bench" / "run";
    fs::create_directories(dir);
    fs::copy_file(SourcePath(0), dir / "ant.bmp", fs::copy_options::overwrite_existing);
    for (auto _ : state) {
        SearchRun run;
        run.folder = dir.string();
        run.seed = 1;
        run.attempts = static_cast<int>(state.range(0));
        run.out = std::tmpfile();
        run.err = std::tmpfile();
        benchmark::DoNotOptimize(RunSearch(run));
        std::fclose(run.out);
        std::fclose(run.err);
    }
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_kib"] = static_cast<double>(usage.ru_maxrss);
    state.counters["attempts_per_s"] = benchmark::Counter(
        static_cast<double>(state.range(0)) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// kernel_lab's full sweep of all 32768 draws on the sample: the source loaded and scaled once, then
// one filter and one score per draw, and the table, chart and pictures written.
void Sweep(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / "kernel_bench" / "sweep";
    fs::create_directories(dir);
    const std::string source = SourcePath(0), out = dir.string();
    const char* argv[] = {"kernel_lab", "sweep", "--source", source.c_str(), "--out", out.c_str()};
    for (auto _ : state) {
        std::FILE* sink = std::tmpfile();
        benchmark::DoNotOptimize(RunLab(6, argv, sink, sink));
        std::fclose(sink);
    }
}

// kernel_lab's fit of ten 24 × 24 pictures (the two samples, five times each) for each family: the sweep
// of every picture, the least squares, and the local search for the score.
void Fit(benchmark::State& state) {
    static const char* const kFamilies[] = {"cross", "symmetric", "full"};
    const fs::path dir = fs::temp_directory_path() / "kernel_bench" / "fit";
    fs::create_directories(dir);
    const std::string out = dir.string();
    std::vector<const char*> argv = {"kernel_lab", "fit", "--family", kFamilies[state.range(0)], "--out", out.c_str()};
    for (int i = 0; i < 10; ++i) {
        argv.push_back("--source");
        argv.push_back(SourcePath(i % 2 == 0 ? 0 : 2).c_str());
    }
    for (auto _ : state) {
        std::FILE* sink = std::tmpfile();
        benchmark::DoNotOptimize(RunLab(static_cast<int>(argv.size()), argv.data(), sink, sink));
        std::fclose(sink);
    }
    state.SetLabel(kFamilies[state.range(0)]);
}

}  // namespace

BENCHMARK(Fit)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(Sweep)->Unit(benchmark::kMillisecond);
BENCHMARK(WholeRun)->Arg(1000)->Arg(30000)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Floor)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(Attempt)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(LoadPicture)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(Halftone)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(Bilinear)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(Sharpen);
BENCHMARK(Score);
BENCHMARK(Save);
// Each rung's floor and attempt side by side: `--benchmark_filter=Ladder`.
BENCHMARK(LadderFloor)->ArgsProduct({benchmark::CreateDenseRange(0, 5, 1), benchmark::CreateDenseRange(0, 8, 1)});
BENCHMARK(LadderAttempt)->ArgsProduct({benchmark::CreateDenseRange(0, 5, 1), benchmark::CreateDenseRange(0, 8, 1)});
BENCHMARK(LadderLoad)->ArgsProduct({benchmark::CreateDenseRange(0, 5, 1), benchmark::CreateDenseRange(0, 8, 1)});
BENCHMARK(ShapeFloor)
    ->ArgsProduct({benchmark::CreateDenseRange(0, static_cast<int64_t>(std::size(kShapes)) - 1, 1), {0, 1}});
BENCHMARK(ShapeAttempt)
    ->ArgsProduct({benchmark::CreateDenseRange(0, static_cast<int64_t>(std::size(kShapes)) - 1, 1), {0, 1}});
BENCHMARK(ShapeHalftone)
    ->ArgsProduct({benchmark::CreateDenseRange(0, static_cast<int64_t>(std::size(kShapes)) - 1, 1), {0, 1}});
BENCHMARK(LadderHalftone)->ArgsProduct({benchmark::CreateDenseRange(0, 5, 1), {0}});
BENCHMARK(LadderBilinear)->ArgsProduct({benchmark::CreateDenseRange(0, 5, 1), {0}});

BENCHMARK_MAIN();
