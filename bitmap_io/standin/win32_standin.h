// Test seams of the stand-in platform layer. They exist only where the stand-in does: tests that use
// them are built only where the platform is not Windows.
#ifndef BITMAP_IO_WIN32_STANDIN_H
#define BITMAP_IO_WIN32_STANDIN_H

#include <functional>

#include "win32.h"

// The file calls that change files: CreateFileA for writing, WriteFile, FlushFileBuffers, MoveFileExA.
enum class FileFault {
    kFail,        // the call reports failure
    kShortWrite,  // a WriteFile reports success with fewer bytes written than asked (others fail)
};

// Makes the `nth` (counting from 1) of the next file-changing calls fault as `how` says, a failing call
// reporting `error` to GetLastError; 0 disarms it. Every file-changing call after this one is counted,
// faulting or not.
void StandInInjectFileFault(int nth, FileFault how, DWORD error = ERROR_ACCESS_DENIED);

// Makes every file-changing call fail with `error`, as on a full or read-only disk, until called with 0.
void StandInFailEveryFileCall(DWORD error);

// How many file-changing calls were made since the last StandInInjectFileFault: lets a test learn how
// many points a save has, so it can fail each one in turn.
int StandInFileCallCount();

// Calls `hook` before each file-changing call with its number, counted as StandInFileCallCount counts,
// so that a test can act in the middle of a save (send the process a signal). An empty hook removes it.
void StandInBeforeFileCall(std::function<void(int call)> hook);

// Makes every HeapAlloc fail while `fail` is true, as on a machine out of memory.
void StandInFailHeapAlloc(bool fail);

#endif  // BITMAP_IO_WIN32_STANDIN_H
