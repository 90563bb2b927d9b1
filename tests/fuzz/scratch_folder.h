// A fresh folder for the tests' and fuzzers' files, on any platform.
#ifndef TESTS_FUZZ_SCRATCH_FOLDER_H
#define TESTS_FUZZ_SCRATCH_FOLDER_H

#include <filesystem>
#include <random>
#include <string>

namespace test {

// A new empty folder under the system's temporary folder, named `prefix` and a random number; its
// owner removes it.
inline std::filesystem::path NewScratchFolder(const std::string& prefix) {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        const auto dir = std::filesystem::temp_directory_path() / (prefix + std::to_string(random()));
        if (std::filesystem::create_directory(dir)) return dir;  // false: taken already, so another
    }
}

}  // namespace test

#endif  // TESTS_FUZZ_SCRATCH_FOLDER_H
