#include "outputs.h"

#include <filesystem>

#include "SaveBitmapToFile.h"
#include "temporary_files.h"

Outputs::~Outputs() {
    for (const Staged& s : staged_) {
        DeleteFileA(s.temporary.c_str());
        ForgetTemporaryFile(s.kept);
    }
}

bool Outputs::Fail(const std::string& path, const std::string& reason) {
    error_ = "could not write " + path + ": " + reason;
    return false;
}

bool Outputs::Fail(const std::string& path, DWORD code) { return Fail(path, SystemErrorText(code)); }

bool Outputs::Stage(const std::string& path, Staged* staged) {
    if (!error_.empty()) return false;
    // A folder in the way would only be found by the final rename, after other files are in place.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return Fail(path, "it is a folder");
    staged->path = path;
    HANDLE file = CreateTemporaryFile(path, &staged->temporary);
    if (file == INVALID_HANDLE_VALUE) return Fail(path, GetLastError());
    CloseHandle(file);
    staged->kept = KeepTemporaryFile(staged->temporary);
    staged_.push_back(*staged);
    return true;
}

bool Outputs::AddBitmap(const std::string& path, HBITMAP image) {
    Staged s;
    if (!Stage(path, &s)) return false;
    // The save itself goes through a temporary name of its own and renames it over the staged one.
    if (image == nullptr) return Fail(path, ERROR_NOT_ENOUGH_MEMORY);
    if (!SaveBitmapToFileA(s.temporary.c_str(), image)) return Fail(path, GetLastError());
    return true;
}

bool Outputs::AddText(const std::string& path, const std::string& text) {
    Staged s;
    if (!Stage(path, &s)) return false;
    HANDLE file = CreateFileA(s.temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(path, GetLastError());
    DWORD put = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) != FALSE;
    if (ok && put != text.size()) {
        SetLastError(ERROR_DISK_FULL);  // a short write that reports success: a full disk
        ok = false;
    }
    ok = ok && FlushFileBuffers(file);
    DWORD code = ok ? 0 : GetLastError();
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = GetLastError();
    }
    return ok || Fail(path, code);
}

bool Outputs::Publish() {
    if (!error_.empty()) return false;
    while (!staged_.empty()) {
        const Staged s = staged_.front();
        if (!MoveFileExA(s.temporary.c_str(), s.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return Fail(s.path, GetLastError());
        }
        ForgetTemporaryFile(s.kept);
        staged_.erase(staged_.begin());
    }
    return true;
}
