#include "temporary_files.h"

#include <atomic>
#include <cstring>

namespace {

// A name already taken (left by an ended process that had the same id) moves on to the next count,
// this many times at most.
constexpr int kTemporaryNameTries = 16;

std::atomic<unsigned> g_count{0};

// The kept names live in fixed slots rather than strings, so that a signal handler can read them
// without touching the allocator: a slot's name is written before it is marked in use, and it is
// marked free before its name may change. Sixteen slots hold more than any command writes at once;
// names longer than a slot are not kept. Slots are taken and given back by the one thread that writes.
constexpr int kSlots = 16;
constexpr std::size_t kLongestName = 1024;
char g_names[kSlots][kLongestName];
std::atomic<bool> g_in_use[kSlots];
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

}  // namespace

HANDLE CreateTemporaryFile(const std::string& path, std::string* temporary) {
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        *temporary =
            path + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(g_count.fetch_add(1)) + ".tmp";
        HANDLE file = CreateFileA(temporary->c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

bool WriteExactly(HANDLE file, const void* buffer, DWORD size) {
    DWORD put = 0;
    if (!WriteFile(file, buffer, size, &put, nullptr)) return false;
    if (put != size) SetLastError(ERROR_DISK_FULL);
    return put == size;
}

int KeepTemporaryFile(const std::string& temporary) {
    if (temporary.size() >= kLongestName) return -1;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (g_in_use[slot].load()) continue;
        std::memcpy(g_names[slot], temporary.c_str(), temporary.size() + 1);
        g_in_use[slot].store(true);
        return slot;
    }
    return -1;
}

void ForgetTemporaryFile(int slot) {
    if (slot >= 0 && slot < kSlots) g_in_use[slot].store(false);
}

void RemoveTemporaryFiles() {
    for (int slot = 0; slot < kSlots; ++slot) {
        if (g_in_use[slot].exchange(false)) DeleteFileA(g_names[slot]);
    }
}

std::string SystemErrorText(DWORD code) {
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string words(text, length);
    while (!words.empty() &&
           (words.back() == '\n' || words.back() == '\r' || words.back() == '.' || words.back() == ' ')) {
        words.pop_back();
    }
    return words.empty() ? "system error " + std::to_string(code) : words;
}
