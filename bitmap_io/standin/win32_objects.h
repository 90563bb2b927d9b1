// Between the parts of the stand-in platform layer only; the program never sees these.
//
// The objects the platform's handles stand for: images (DIB sections), memory contexts, and the stock
// pen, brush and default image. Every object lives in one table keyed by its handle. Handle values
// count up and are never reused, so a handle that was released, or one of the wrong kind, is simply not
// found, and the call fails the way the real one does (NULL, 0 or FALSE) instead of touching freed
// memory. The program is single-threaded and so is the table.
#ifndef BITMAP_IO_STANDIN_WIN32_OBJECTS_H
#define BITMAP_IO_STANDIN_WIN32_OBJECTS_H

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

#include "win32.h"

namespace standin {

constexpr int kDefaultStretchMode = 1;  // BLACKONWHITE, what a new context starts with

struct FreeBlock {
    void operator()(BYTE* p) const { std::free(p); }
};
// Memory from malloc, released with free.
using Block = std::unique_ptr<BYTE, FreeBlock>;

// An image: width × rows pixels of `bpp` bits, rows padded to 4 bytes, bottom-up in memory unless
// `top_down`, with a colour table for depths of 8 bits or less and channel masks for 16 and 32.
struct Surface {
    LONG width = 0;
    LONG rows = 0;
    bool top_down = false;
    unsigned bpp = 0;
    DWORD compression = BI_RGB;
    DWORD masks[4] = {0, 0, 0, 0};
    std::vector<RGBQUAD> colors;  // 2^bpp entries for depths of 8 or less, else none
    LONG stride = 0;
    Block block;               // the pixel memory: the rows start `bits` into it
    std::size_t capacity = 0;  // the block's size when it came from NewBlock, else 0
    BYTE* bits = nullptr;
    HDC selected_into = nullptr;

    // Memory row of the picture row counted from the bottom, as the row transfer counts.
    BYTE* RowFromBottom(LONG b) const {
        const LONG memory_row = top_down ? rows - 1 - b : b;
        return bits + static_cast<std::size_t>(memory_row) * static_cast<std::size_t>(stride);
    }
};

struct Context {
    HGDIOBJ bitmap = nullptr;
    HGDIOBJ pen = nullptr;
    HGDIOBJ brush = nullptr;
    int stretch_mode = kDefaultStretchMode;
    POINT position = {0, 0};
};

enum class Kind { kBitmap, kContext, kPen, kBrush };

struct Object {
    Kind kind = Kind::kBitmap;
    bool stock = false;
    BYTE colour = 0;  // grey level of a stock pen or brush: they are all black or white
    Surface surface;
    Context context;
};

// A fresh object, in its initial state; Add puts it in the table under a new handle.
std::unique_ptr<Object> NewObject();
HGDIOBJ Add(std::unique_ptr<Object> object);

// The object of a handle, of any kind or of one kind; NULL when there is none.
Object* Find(const void* handle);
Object* Find(const void* handle, Kind kind);
Surface* FindSurface(const void* handle);
Context* FindContext(HDC dc);

// Takes the object of a handle out of the table and releases what it holds.
void Remove(const void* handle);

// The stock objects, made on first use: the white brush, the black pen, and the 1 × 1 monochrome image
// a new context holds until the caller selects its own.
HGDIOBJ WhiteBrush();
HGDIOBJ BlackPen();
HGDIOBJ DefaultBitmap();

// Where a new image's pixels come from: fresh zeroed memory, as CreateDIBSection gives; fresh memory
// the caller writes entirely (`zeroed` false); or a block the caller has already filled, taken over
// with the rows starting `offset` bytes into it (the loader reads a whole file into one block and keeps
// its pixel rows where they are).
struct Pixels {
    bool zeroed = true;
    Block block;
    std::size_t offset = 0;
    std::size_t capacity = 0;  // the block's size when it came from NewBlock, else 0
};

// Pixel memory of at least `size` bytes (zeroed when asked, as CreateDIBSection's is), its size in
// `*capacity`: a block kept from a released image when one of about that size is spare (the one released
// last, whose bytes are likeliest still in the processor's caches), else fresh.
// A search loads, stretches and releases the same picture thousands of times a second; handed back to
// the C library each time, a block of a few hundred kilobytes goes back to the system and comes back as
// fresh pages to fault in, which cost a 300 × 200 picture ten times the work of its attempt.
Block NewBlock(std::size_t size, bool zeroed, std::size_t* capacity);

// Gives back a block from NewBlock of `capacity` bytes that is no longer needed: a large one is kept for
// the next NewBlock (the oldest spare one making room), a small one is freed.
void KeepBlock(Block block, std::size_t capacity);

// CreateDIBSection with the pixels from `pixels`. Same checks and result otherwise; a block given is
// released when the image cannot be made.
HBITMAP CreateDIB(const BITMAPINFO* info, VOID** bits_out, Pixels pixels);

}  // namespace standin

#endif  // BITMAP_IO_STANDIN_WIN32_OBJECTS_H
