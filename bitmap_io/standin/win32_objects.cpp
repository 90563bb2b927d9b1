// The table of the stand-in's objects; see win32_objects.h.
#include "win32_objects.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace standin {
namespace {

// The live objects, in the order of their handles: handles only grow, so a new one goes at the end and
// a lookup is a search from the newest. A program holds a handful of objects at a time, so this beats
// hashing, and an object released is taken out where it stands.
struct Entry {
    std::uintptr_t handle;
    std::unique_ptr<Object> object;
};

// Released objects kept for reuse, so that the many short-lived images and contexts of a search do
// not each cost an allocation; at most this many.
constexpr std::size_t kMostSpareObjects = 16;

// Pixel blocks of released images kept for the next images: at most this many, each at least this
// large (smaller ones the C library serves from its own free lists without the system), and reused for a
// request of at least three quarters of their size, so that a large block is not spent on a smaller
// one: a load asks for a block for its file and one for its image, and a picture that is not 24 or 32
// bits has a file much smaller than its image.
constexpr std::size_t kMostSpareBlocks = 4;
constexpr std::size_t kLeastSpareBlock = 64 * 1024;

struct SpareBlock {
    Block block;
    std::size_t capacity;
};

struct Table {
    std::vector<Entry> objects;
    std::vector<SpareBlock> spare_blocks;
    std::vector<std::unique_ptr<Object>> spare;  // reset to their initial state
    std::uintptr_t next = 0x1000;                // small values look like errors or stock indices in a debugger
    HGDIOBJ white_brush = nullptr;
    HGDIOBJ black_pen = nullptr;
    HGDIOBJ default_bitmap = nullptr;
};

Table& Objects() {
    static Table table;
    return table;
}

// The entry of a handle, or the end. Searched from the newest: the handles a caller is working with
// are mostly the ones it made last.
std::vector<Entry>::iterator Lookup(const void* handle) {
    std::vector<Entry>& objects = Objects().objects;
    const auto key = reinterpret_cast<std::uintptr_t>(handle);
    for (auto it = objects.end(); it != objects.begin();) {
        --it;
        if (it->handle <= key) return it->handle == key ? it : objects.end();
    }
    return objects.end();
}

HGDIOBJ Stock(HGDIOBJ* slot, Kind kind, BYTE colour) {
    if (*slot == nullptr) {
        auto o = NewObject();
        o->kind = kind;
        o->stock = true;
        o->colour = colour;
        if (kind == Kind::kBitmap) {
            o->surface.width = 1;
            o->surface.rows = 1;
            o->surface.bpp = 1;
            o->surface.stride = 4;
            o->surface.colors = {RGBQUAD{0, 0, 0, 0}, RGBQUAD{255, 255, 255, 0}};
            o->surface.block.reset(static_cast<BYTE*>(std::calloc(4, 1)));
            o->surface.bits = o->surface.block.get();
        }
        *slot = Add(std::move(o));
    }
    return *slot;
}

}  // namespace

std::unique_ptr<Object> NewObject() {
    Table& t = Objects();
    if (t.spare.empty()) return std::make_unique<Object>();
    std::unique_ptr<Object> o = std::move(t.spare.back());
    t.spare.pop_back();
    return o;
}

HGDIOBJ Add(std::unique_ptr<Object> object) {
    Table& t = Objects();
    const std::uintptr_t key = t.next++;
    t.objects.push_back(Entry{key, std::move(object)});
    return reinterpret_cast<HGDIOBJ>(key);
}

Object* Find(const void* handle) {
    const auto it = Lookup(handle);
    return it == Objects().objects.end() ? nullptr : it->object.get();
}

Object* Find(const void* handle, Kind kind) {
    Object* o = Find(handle);
    return o != nullptr && o->kind == kind ? o : nullptr;
}

Surface* FindSurface(const void* handle) {
    Object* o = Find(handle, Kind::kBitmap);
    return o != nullptr ? &o->surface : nullptr;
}

Context* FindContext(HDC dc) {
    Object* o = Find(dc, Kind::kContext);
    return o != nullptr ? &o->context : nullptr;
}

Block NewBlock(std::size_t size, bool zeroed, std::size_t* capacity) {
    // The newest fitting block first. Taking the oldest, a load whose image is the size of another
    // picture's file went round every spare block of that size in turn, so that the caches held none of
    // them: after loads of a 2000 × 1500 picture in 24 bits (its 9 MB file read whole into a block), each
    // load of the same picture run-length compressed (its 9 MB image) took 381 µs against 331.
    std::vector<SpareBlock>& spare = Objects().spare_blocks;
    for (auto it = spare.end(); it != spare.begin();) {
        --it;
        if (it->capacity >= size && it->capacity / 4 * 3 <= size) {
            Block block = std::move(it->block);
            *capacity = it->capacity;
            spare.erase(it);
            if (zeroed) std::memset(block.get(), 0, size);
            return block;
        }
    }
    *capacity = size;
    return Block(static_cast<BYTE*>(zeroed ? std::calloc(size, 1) : std::malloc(size)));
}

void KeepBlock(Block block, std::size_t capacity) {
    std::vector<SpareBlock>& spare = Objects().spare_blocks;
    if (capacity < kLeastSpareBlock || block == nullptr) return;
    if (spare.size() == kMostSpareBlocks) spare.erase(spare.begin());
    spare.push_back(SpareBlock{std::move(block), capacity});
}

void Remove(const void* handle) {
    Table& t = Objects();
    const auto entry = Lookup(handle);
    if (entry == t.objects.end()) return;
    // The object itself is kept for reuse, reset; what it held is released, but for a large pixel block,
    // which is kept for the next image (the oldest spare one making room).
    std::unique_ptr<Object> o = std::move(entry->object);
    t.objects.erase(entry);
    Surface& s = o->surface;
    KeepBlock(std::move(s.block), s.capacity);
    *o = Object{};
    if (t.spare.size() < kMostSpareObjects) t.spare.push_back(std::move(o));
}

HGDIOBJ WhiteBrush() { return Stock(&Objects().white_brush, Kind::kBrush, 255); }
HGDIOBJ BlackPen() { return Stock(&Objects().black_pen, Kind::kPen, 0); }
HGDIOBJ DefaultBitmap() { return Stock(&Objects().default_bitmap, Kind::kBitmap, 0); }

}  // namespace standin
