// Golden outputs of whole attempts: for several sources and a spread of draws, the reference bytes,
// the candidate bytes (as 64-bit FNV-1a hashes) and the score, recorded from the straightforward
// extended-precision implementation. Any faster path must reproduce them exactly.
//
// To print the table again (only after a deliberate change of output): GOLDEN_PRINT=1 unit_tests
// --gtest_filter='Golden*'.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "SaveBitmapToFile.h"
#include "compare.h"
#include "kernel_family.h"
#include "pipeline.h"
#include "search.h"
#include "test_support.h"

namespace {

std::uint64_t Fnv1a(const std::vector<int>& bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (int b : bytes) {
        h ^= static_cast<std::uint64_t>(b);
        h *= 1099511628211ull;
    }
    return h;
}

// The sources: the detailed sample, and pictures that take other branches of the scalers.
enum Source { kSample, kSquares, kOddNoise, kEnlarge, kThirtyTwo, kSourceCount };

void WriteSource(Source which, const std::string& path) {
    if (which == kSample) {
        test::WriteFileBytes(path, test::ReadFileBytes(LARGE_SAMPLE_PATH));
        return;
    }
    // width, height, depth per source
    const LONG sizes[][3] = {{0, 0, 0}, {96, 96, 24}, {100, 77, 24}, {10, 7, 24}, {61, 50, 32}};
    const LONG w = sizes[which][0], h = sizes[which][1];
    std::vector<int> bytes;
    std::uint32_t state = 99u + static_cast<std::uint32_t>(which);
    for (LONG y = 0; y < h; ++y) {
        for (LONG x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                state = state * 1103515245u + 12345u;
                int v = 0;
                if (which == kSquares) v = 100 + ((x / 4 + y / 4 + c) % 3 == 0 ? 25 : 0);
                if (which == kOddNoise) v = static_cast<int>(state >> 24);
                if (which == kEnlarge) v = (x * 23 + y * 31 + c * 50) % 256;
                if (which == kThirtyTwo) v = (x * 4 + y * 2) % 200 + static_cast<int>(state >> 29) + c;
                bytes.push_back(v);
            }
        }
    }
    const test::Image image = test::MakeImage(w, h, static_cast<WORD>(sizes[which][2]), bytes, 0x33);
    SaveBitmapToFileA(path.c_str(), image);
}

struct Golden {
    Source source;
    int u;
    std::uint64_t reference, candidate;
    DWORD score;
};

const int kDraws[] = {0, 1, 2, 777, 8191, 16383, 16384, 20000, 24575, 31000, 32766, 32767};

const Golden kGolden[] = {
#include "golden_table.inc"
};

TEST(Golden, AttemptsGiveTheRecordedBytesAndScores) {
    test::ScratchFolder dir;
    const bool print = std::getenv("GOLDEN_PRINT") != nullptr;
    std::size_t row = 0;
    for (int s = 0; s < kSourceCount; ++s) {
        const std::string path = dir / ("source" + std::to_string(s) + ".bmp");
        WriteSource(static_cast<Source>(s), path);
        for (int u : kDraws) {
            float kernel[kKernelSize];
            BuildKernel(WeightsForDraw(u), kernel);
            const test::Image reference(
                ScaleSourceFile(path.c_str(), kTargetSize, kTargetSize, kReferencePath, kernel));
            const test::Image candidate(
                ScaleSourceFile(path.c_str(), kTargetSize, kTargetSize, kCandidatePath, kernel));
            ASSERT_NE(reference, nullptr);
            ASSERT_NE(candidate, nullptr);
            int exact = 0;
            const DWORD score = GetScore(ViewOf(reference), ViewOf(candidate), &exact);
            const std::uint64_t ref_hash = Fnv1a(test::ColourBytes(reference));
            const std::uint64_t cand_hash = Fnv1a(test::ColourBytes(candidate));
            if (print) {
                std::printf("    {Source(%d), %d, 0x%016llxull, 0x%016llxull, %u},\n", s, u,
                            static_cast<unsigned long long>(ref_hash), static_cast<unsigned long long>(cand_hash),
                            static_cast<unsigned>(score));
            } else {
                ASSERT_LT(row, std::size(kGolden));
                const Golden& g = kGolden[row];
                EXPECT_EQ(g.source, s);
                EXPECT_EQ(g.u, u);
                EXPECT_EQ(cand_hash, g.candidate) << "source " << s << ", u = " << u;
                // The reference, and so the score, is the platform's halftone stretch: Windows' own
                // arithmetic everywhere but under Wine.
                if (!test::UnderWine()) {
                    EXPECT_EQ(ref_hash, g.reference) << "source " << s << ", u = " << u;
                    EXPECT_EQ(score, g.score) << "source " << s << ", u = " << u;
                }
            }
            ++row;
        }
    }
    if (!print) {
        EXPECT_EQ(row, std::size(kGolden));
    }
}

}  // namespace
