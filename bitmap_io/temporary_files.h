// Files written under a temporary name beside their final one, so that a final name only ever holds a
// whole file, and the removal of those temporary files when the process must end at once.
#ifndef BITMAP_IO_TEMPORARY_FILES_H
#define BITMAP_IO_TEMPORARY_FILES_H

#include <string>

#include "win32.h"

// Creates a file for writing beside `path`, under "<path>.<process id>-<count>.tmp", made only where no
// file has that name, so that any number of writers, in this process or others, never touch each
// other's files. Returns the handle, with the name in `*temporary`, or INVALID_HANDLE_VALUE with the
// reason left for GetLastError.
HANDLE CreateTemporaryFile(const std::string& path, std::string* temporary);

// Writes `size` bytes to `file`, all of them: a write that puts out fewer bytes than asked reports
// success on a full disk, and is a failure here, with ERROR_DISK_FULL for GetLastError.
bool WriteExactly(HANDLE file, const void* buffer, DWORD size);

// Keeps the name of a temporary file for RemoveTemporaryFiles, until ForgetTemporaryFile is given the
// slot returned. Called by the thread that writes, not by a signal handler. -1 (nothing kept) when every slot is taken
// or the name is longer than a slot holds: the file is then still removed on every ordinary path, only not by a process
// that ends at once.
int KeepTemporaryFile(const std::string& temporary);
void ForgetTemporaryFile(int slot);

// Removes every temporary file kept: for a process that must end at once, in the middle of writing.
// Safe to call from a signal handler.
void RemoveTemporaryFiles();

// The system's own words for an error code of GetLastError ("Read-only file system" here, "The media
// is write protected" on Windows), without a final full stop or line break.
std::string SystemErrorText(DWORD code);

#endif  // BITMAP_IO_TEMPORARY_FILES_H
