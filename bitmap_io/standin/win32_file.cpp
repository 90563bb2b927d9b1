// The stand-in for the Windows file, heap, process and tick calls: thin wrappers over the POSIX calls, with the
// results Windows gives (a read at the end of a file succeeds with fewer bytes; opening a folder fails).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <utility>

#include "win32.h"
#include "win32_standin.h"

namespace {

// The code GetLastError gives, set by every file call that fails, as Windows sets it.
thread_local DWORD last_error = 0;

struct FaultPlan {
    int countdown = 0;  // faults when it reaches 0 from 1; 0 means disarmed
    FileFault how = FileFault::kFail;
    DWORD error = ERROR_ACCESS_DENIED;  // what a failing call reports
    DWORD every_call_error = 0;         // when not 0, every file-changing call fails with it
    int calls = 0;
    bool heap_fails = false;
    std::function<void(int)> before_call;
};

FaultPlan& Faults() {
    static FaultPlan plan;
    return plan;
}

// Counts one file-changing call and tells whether it is the one that must fault.
bool FaultNow() {
    FaultPlan& f = Faults();
    ++f.calls;
    if (f.before_call) f.before_call(f.calls);
    if (f.every_call_error != 0) {
        last_error = f.every_call_error;
        return true;
    }
    if (f.countdown == 0 || --f.countdown != 0) return false;
    last_error = f.error;
    return true;
}

// Open descriptors handed out as handles: anything else given to a file call is refused, not used.
std::set<int>& OpenFiles() {
    static std::set<int> files;
    return files;
}

// The Windows codes of the POSIX errors a file call meets. The stand-in's FormatMessageA gives each
// code the POSIX text of the first error that maps to it, so that a message off Windows reads as the
// system's own ("Read-only file system") and on Windows as Windows' own.
struct ErrorPair {
    int posix;
    DWORD windows;
};
constexpr ErrorPair kErrors[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND}, {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},  {EPERM, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},  {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EROFS, ERROR_WRITE_PROTECT},   {EIO, ERROR_GEN_FAILURE},
    {EEXIST, ERROR_FILE_EXISTS},    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EISDIR, ERROR_DIRECTORY},      {EDQUOT, ERROR_DISK_QUOTA_EXCEEDED},
};

DWORD WindowsError(int posix) {
    for (const ErrorPair& e : kErrors) {
        if (e.posix == posix) return e.windows;
    }
    return ERROR_GEN_FAILURE;  // an error no caller tells apart: "Input/output error"
}

HANDLE Failed(DWORD error) {
    last_error = error;
    return INVALID_HANDLE_VALUE;
}

BOOL Refused(DWORD error) {
    last_error = error;
    return FALSE;
}

// A failed call: records errno's code and gives FALSE.
BOOL FailedWithErrno() {
    last_error = WindowsError(errno);
    return FALSE;
}

HANDLE ToHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1); }

int ToFd(HANDLE h) {
    const std::intptr_t fd = reinterpret_cast<std::intptr_t>(h) - 1;
    if (fd < 0 || fd > INT32_MAX || OpenFiles().count(static_cast<int>(fd)) == 0) return -1;
    return static_cast<int>(fd);
}

}  // namespace

void StandInInjectFileFault(int nth, FileFault how, DWORD error) {
    FaultPlan& f = Faults();
    f.countdown = nth;
    f.how = how;
    f.error = error;
    f.calls = 0;
}

void StandInFailEveryFileCall(DWORD error) { Faults().every_call_error = error; }

int StandInFileCallCount() { return Faults().calls; }

void StandInBeforeFileCall(std::function<void(int call)> hook) { Faults().before_call = std::move(hook); }

void StandInFailHeapAlloc(bool fail) { Faults().heap_fails = fail; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)dwFlagsAndAttributes;
    (void)hTemplateFile;
    if (lpFileName == nullptr) return Failed(ERROR_INVALID_PARAMETER);
    int flags;
    if (dwDesiredAccess == GENERIC_READ && dwCreationDisposition == OPEN_EXISTING) {
        flags = O_RDONLY;
    } else if (dwDesiredAccess == GENERIC_WRITE && dwCreationDisposition == CREATE_ALWAYS) {
        if (FaultNow()) return INVALID_HANDLE_VALUE;
        flags = O_WRONLY | O_CREAT | O_TRUNC;
    } else if (dwDesiredAccess == GENERIC_WRITE && dwCreationDisposition == CREATE_NEW) {
        if (FaultNow()) return INVALID_HANDLE_VALUE;
        flags = O_WRONLY | O_CREAT | O_EXCL;  // fails where the name is taken
    } else {
        return Failed(ERROR_INVALID_PARAMETER);  // no other use is made of files
    }
    const int fd = open(lpFileName, flags | O_CLOEXEC, 0666);
    if (fd < 0) return Failed(WindowsError(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Failed(ERROR_ACCESS_DENIED);  // what Windows says of a folder opened as a file
    }
    OpenFiles().insert(fd);
    return ToHandle(fd);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    const int fd = ToFd(hFile);
    if (fd < 0 || lpBuffer == nullptr || lpOverlapped != nullptr) return Refused(ERROR_INVALID_HANDLE);
    auto* out = static_cast<BYTE*>(lpBuffer);
    DWORD total = 0;
    while (total < nNumberOfBytesToRead) {
        const ssize_t got = read(fd, out + total, nNumberOfBytesToRead - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return FailedWithErrno();
        if (got == 0) break;
        total += static_cast<DWORD>(got);
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    const int fd = ToFd(hFile);
    if (fd < 0 || lpBuffer == nullptr || lpOverlapped != nullptr) return Refused(ERROR_INVALID_HANDLE);
    DWORD size = nNumberOfBytesToWrite;
    if (FaultNow()) {
        if (Faults().how == FileFault::kFail || size == 0) return FALSE;
        size /= 2;  // a full disk: part of the data goes out and the call still reports success
    }
    const auto* in = static_cast<const BYTE*>(lpBuffer);
    DWORD total = 0;
    while (total < size) {
        const ssize_t put = write(fd, in + total, size - total);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return FailedWithErrno();
        if (put == 0) return Refused(ERROR_DISK_FULL);
        total += static_cast<DWORD>(put);
    }
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = total;
    return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    const int fd = ToFd(hFile);
    if (fd < 0) return Refused(ERROR_INVALID_HANDLE);
    if (FaultNow()) return FALSE;
    return fsync(fd) == 0 ? TRUE : FailedWithErrno();
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    const int fd = ToFd(hFile);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return INVALID_FILE_SIZE;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    return static_cast<DWORD>(size);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    const int fd = ToFd(hObject);
    if (fd < 0) return FALSE;
    OpenFiles().erase(fd);
    return close(fd) == 0 ? TRUE : FALSE;
}

BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (lpFileName == nullptr) return Refused(ERROR_INVALID_PARAMETER);
    return unlink(lpFileName) == 0 ? TRUE : FailedWithErrno();
}

BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (lpExistingFileName == nullptr || lpNewFileName == nullptr || (dwFlags & MOVEFILE_REPLACE_EXISTING) == 0) {
        return Refused(ERROR_INVALID_PARAMETER);
    }
    if (FaultNow()) return FALSE;
    if (std::rename(lpExistingFileName, lpNewFileName) != 0) return FailedWithErrno();
    if ((dwFlags & MOVEFILE_WRITE_THROUGH) != 0) {
        // The new name is only durable once the folder that holds it is on disk too.
        const std::string name = lpNewFileName;
        const std::size_t slash = name.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
    }
    return TRUE;
}

HANDLE WINAPI GetProcessHeap(void) {
    static int heap;  // one heap per process; its address is its handle
    return &heap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    (void)dwFlags;
    if (hHeap != GetProcessHeap() || Faults().heap_fails) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return std::malloc(dwBytes != 0 ? dwBytes : 1);
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    if (hHeap != GetProcessHeap()) return FALSE;
    std::free(lpMem);
    return TRUE;
}

DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }

DWORD WINAPI GetLastError(void) { return last_error; }

void WINAPI SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list* Arguments) {
    (void)lpSource;
    (void)dwLanguageId;
    (void)Arguments;
    // Only the system's own messages, copied into the caller's buffer, are asked for here.
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr || nSize == 0) return 0;
    const char* text = nullptr;
    for (const ErrorPair& e : kErrors) {
        if (e.windows == dwMessageId) {
            text = std::strerror(e.posix);
            break;
        }
    }
    if (text == nullptr) return 0;
    const int written = std::snprintf(lpBuffer, nSize, "%s", text);
    return written > 0 && static_cast<DWORD>(written) < nSize ? static_cast<DWORD>(written) : 0;
}

DWORD WINAPI GetTickCount(void) {
    // Milliseconds since the system started, wrapping at 32 bits as the real counter does after 49.7 days.
    timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
    return static_cast<DWORD>(ms);
}
