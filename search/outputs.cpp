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

bool Outputs::AddBytes(const std::string& path, const void* data, std::size_t size) {
    if (!error_.empty()) return false;
    // A folder in the way would only be found by the final rename, after other files are in place.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) return Fail(path, "it is a folder");
    Staged s{path, "", -1};
    HANDLE file = CreateTemporaryFile(path, &s.temporary);
    if (file == INVALID_HANDLE_VALUE) return Fail(path, GetLastError());
    s.kept = KeepTemporaryFile(s.temporary);
    staged_.push_back(s);
    bool ok = WriteExactly(file, data, static_cast<DWORD>(size)) && FlushFileBuffers(file);
    DWORD code = ok ? 0 : GetLastError();  // taken before the close may change it
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = GetLastError();
    }
    return ok || Fail(path, code);
}

bool Outputs::AddBitmap(const std::string& path, HBITMAP image) {
    if (!error_.empty()) return false;
    std::vector<BYTE> bytes;                                           // the bytes SaveBitmapToFileA writes
    if (image == nullptr) return Fail(path, ERROR_NOT_ENOUGH_MEMORY);  // an image that could not be made
    if (!BitmapFileBytes(image, &bytes)) return Fail(path, GetLastError());
    return AddBytes(path, bytes.data(), bytes.size());
}

bool Outputs::AddText(const std::string& path, const std::string& text) {
    return AddBytes(path, text.data(), text.size());
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
