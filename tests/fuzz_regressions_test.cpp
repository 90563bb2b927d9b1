// Every input that ever crashed a fuzzer or tripped a sanitizer is kept in fuzz/regressions/ and goes
// through all three entry points here, with the fuzzers' seeds; under the sanitizer build this is the
// same check the fuzzers make.
#include <gtest/gtest.h>

#include <filesystem>

#include "fuzz_entries.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(FuzzRegressions, EveryKeptInputPassesEveryEntryPoint) {
    int inputs = 0;
    for (const char* folder : {"regressions", "seeds"}) {
        for (const auto& f : fs::directory_iterator(fs::path(FUZZ_DIR) / folder)) {
            if (f.path().filename() == ".keep") continue;
            SCOPED_TRACE(f.path().string());
            const std::vector<BYTE> bytes = test::ReadFileBytes(f.path());
            FuzzParser(bytes.data(), bytes.size());
            FuzzLoader(bytes.data(), bytes.size());
            FuzzPipeline(bytes.data(), bytes.size());
            ++inputs;
        }
    }
    EXPECT_GE(inputs, 10);
}

}  // namespace
