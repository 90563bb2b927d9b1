#include "bmp_diagnosis.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bmp_format.h"

namespace {

namespace fs = std::filesystem;

// Enough of the file for its headers: the largest info header, three masks and a full colour table.
constexpr std::size_t kHeadBytes = kFileHeaderSize + kV5HeaderSize + 3 * 4 + 256 * 4;

// Other picture formats by the bytes they start with: people hand a program the picture they have.
struct Signature {
    const char* format;
    std::size_t offset;
    const char* bytes;
    std::size_t length;
};
constexpr Signature kOtherFormats[] = {
    {"PNG", 0, "\x89PNG\r\n\x1a\n", 8},
    {"JPEG", 0, "\xFF\xD8\xFF", 3},
    {"GIF", 0, "GIF87a", 6},
    {"GIF", 0, "GIF89a", 6},
    {"TIFF", 0, "II*\0", 4},
    {"TIFF", 0, "MM\0*", 4},
    {"WebP", 8, "WEBP", 4},
    {"QOI", 0, "qoif", 4},
};

bool StartsWith(const std::vector<char>& head, const Signature& s) {
    return head.size() >= s.offset + s.length && std::memcmp(head.data() + s.offset, s.bytes, s.length) == 0;
}

// Reads the head of a file (at most kHeadBytes) into `head`; false when it cannot be read at all.
bool ReadHead(const std::string& path, std::vector<char>* head) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    head->resize(kHeadBytes);
    file.read(head->data(), static_cast<std::streamsize>(head->size()));
    head->resize(static_cast<std::size_t>(file.gcount()));
    return true;
}

}  // namespace

std::string DescribePictureFile(const std::string& path) {
    std::vector<char> head;
    std::error_code error;
    const std::uint64_t size = fs::file_size(path, error);
    if (error || !ReadHead(path, &head) || head.size() < kFileHeaderSize) return "";
    const BITMAPFILEHEADER fh = ReadBmpFileHeader(reinterpret_cast<const BYTE*>(head.data()));
    BmpLayout l;
    if (!CheckBmpFileHeader(fh, size) ||
        !ReadBmpLayout(fh, reinterpret_cast<const BYTE*>(head.data()) + kFileHeaderSize,
                       static_cast<DWORD>(std::min<std::uint64_t>(fh.bfOffBits, head.size()) - kFileHeaderSize), &l)) {
        return "";
    }
    std::string text = std::to_string(l.width) + " x " + std::to_string(l.rows) + " pixels, " + std::to_string(l.bpp) +
                       " bits per pixel";
    if (l.bpp <= 8) text += ", a colour table of " + std::to_string(l.palette_count);
    if (l.compression == BI_RLE8 || l.compression == BI_RLE4) text += ", run-length compressed";
    if (l.compression == BI_BITFIELDS) text += ", channel masks";
    if (l.top_down) text += ", stored top-down";
    return text;
}

std::string ExplainUnreadablePicture(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        const fs::path folder = fs::path(path).parent_path();
        if (!folder.empty() && !fs::is_directory(folder, error)) {
            return "does not exist: there is no folder " + folder.string();
        }
        return "does not exist";
    }
    if (fs::is_directory(status)) return "is a folder, not a picture file";
    if (!fs::is_regular_file(status)) return "is not a regular file";

    std::ifstream file(path, std::ios::binary);
    if (!file) return std::string("cannot be opened: ") + std::strerror(errno);
    const std::uint64_t size = fs::file_size(path, error);
    if (error) return "cannot be read: " + error.message();
    if (size == 0) return "is empty";
    std::vector<char> head(static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeadBytes)));
    if (!file.read(head.data(), static_cast<std::streamsize>(head.size()))) {
        return std::string("cannot be read: ") + std::strerror(errno);
    }

    for (const Signature& s : kOtherFormats) {
        if (StartsWith(head, s)) {
            const std::string bmp = fs::path(path).replace_extension(".bmp").string();
            return std::string("is a ") + s.format + " picture, not a BMP: convert it to a 24-bit BMP first (with " +
                   "ImageMagick: convert " + path + " -type TrueColor BMP3:" + bmp + ")";
        }
    }
    if (head.size() < kFileHeaderSize) {
        return "is cut short: it has " + std::to_string(size) + " bytes, fewer than the 14 of a BMP file header";
    }
    const auto* bytes = reinterpret_cast<const BYTE*>(head.data());
    const BITMAPFILEHEADER fh = ReadBmpFileHeader(bytes);
    std::string why;
    if (!CheckBmpFileHeader(fh, size, &why)) {
        return fh.bfType == kBmpSignature ? why : "is not a BMP picture: it does not start with \"BM\"";
    }
    const DWORD info_size =
        static_cast<DWORD>(std::min<std::uint64_t>(fh.bfOffBits - kFileHeaderSize, head.size() - kFileHeaderSize));
    BmpLayout layout;
    if (!ReadBmpLayout(fh, bytes + kFileHeaderSize, info_size, &layout, &why)) return why;
    if (layout.compression == BI_RLE8 || layout.compression == BI_RLE4) {
        return "has run-length data that leaves the picture, names a colour beyond its table, or is far longer "
               "or shorter than such a picture needs";
    }
    if (layout.bpp <= 8) {
        std::vector<BYTE> rows(static_cast<std::size_t>(layout.stride) * static_cast<std::size_t>(layout.rows));
        file.seekg(fh.bfOffBits);
        if (file.read(reinterpret_cast<char*>(rows.data()), static_cast<std::streamsize>(rows.size())) &&
            !BmpIndicesWithinPalette(layout, rows.data())) {
            return "has pixels whose colour lies beyond its table of " + std::to_string(layout.palette_count) +
                   " colours";
        }
    }
    return "is a BMP picture that could not be read (the platform's loader and this program's own reader both "
           "declined it)";
}
