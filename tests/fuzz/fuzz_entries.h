// The three ways outside data enters the program, as functions of a byte string: each writes the bytes
// to a scratch file and hands it to one entry point. Shared by the libFuzzer targets and by the test
// that replays every input that once crashed one of them.
#ifndef TESTS_FUZZ_FUZZ_ENTRIES_H
#define TESTS_FUZZ_FUZZ_ENTRIES_H

#include <cstddef>
#include <cstdint>

// This program's own BMP parser, the path taken when the platform loader declines a file.
void FuzzParser(const std::uint8_t* data, std::size_t size);

// The stand-in platform loader, LoadImageA.
void FuzzLoader(const std::uint8_t* data, std::size_t size);

// The whole pipeline fed the bytes as ant.bmp: both scaling paths, the score, the diff and a save.
void FuzzPipeline(const std::uint8_t* data, std::size_t size);

#endif  // TESTS_FUZZ_FUZZ_ENTRIES_H
