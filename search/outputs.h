// The files one kernel_lab command writes, all or none. Each is written whole under a temporary name
// beside its final one; only once every one is whole are they renamed into place, one after another.
// A command that fails, or is stopped, before that leaves every folder as it was.
#ifndef SEARCH_OUTPUTS_H
#define SEARCH_OUTPUTS_H

#include <string>
#include <vector>

#include "win32.h"

class Outputs {
public:
    Outputs() = default;
    Outputs(const Outputs&) = delete;
    Outputs& operator=(const Outputs&) = delete;
    // Removes whatever was written and not published.
    ~Outputs();

    // Write `image` as a BMP file, or `text`, to be published as `path`. False once anything has failed,
    // with the message ("could not write PATH: REASON") in error().
    bool AddBitmap(const std::string& path, HBITMAP image);
    bool AddText(const std::string& path, const std::string& text);

    // Renames every file into place. False, with the message in error(), when one cannot be: the
    // files not yet renamed are removed (the ones before it are in place; a rename inside one folder
    // fails only where something has taken the name meanwhile, which the checks of Add* rule out).
    bool Publish();

    const std::string& error() const { return error_; }

private:
    struct Staged {
        std::string path, temporary;
        int kept;  // the temporary file's slot for removal on a hard exit
    };
    bool Fail(const std::string& path, const std::string& reason);
    bool Fail(const std::string& path, DWORD code);
    // Writes `size` bytes to a temporary file for `path`; false, with the message in error(), when it
    // cannot.
    bool AddBytes(const std::string& path, const void* data, std::size_t size);

    std::vector<Staged> staged_;
    std::string error_;
};

#endif  // SEARCH_OUTPUTS_H
