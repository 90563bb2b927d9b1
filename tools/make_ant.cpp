// Draws the two sample pictures the project ships: an ant seen from above, walking right across warm
// sand, with a soft shadow.
//
//   sample/ant.bmp        48 × 48 on plain sand: twice the 24 × 24 target, so the bilinear shrink
//                         and the halftone stretch average the same pixels and the kernel is what
//                         tells them apart. The search climbs on it.
//   sample/ant-large.bmp  144 × 120 on grained, lit sand: six and five times the target, so both
//                         shrinking paths have real detail to work on.
//
// Both are 24 bits, bottom-up, with a 40-byte header.
//
// Usage: make_ant OUT.bmp (the small picture) or make_ant --large OUT.bmp. Every run writes the same
// bytes: the drawing is plain arithmetic on fixed shapes, and the sand's grain comes from a hash of the
// pixel position, not a random generator.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "SaveBitmapToFile.h"
#include "pipeline.h"

namespace {

// The scene is drawn in the large picture's pixels; the small one views it at a third of that size.
constexpr int kWidth = 144;
constexpr int kHeight = 120;

struct Picture {
    int width, height;
    double scale;     // scene pixels per picture pixel
    double offset_y;  // scene row of the picture's top edge
    int subsamples;   // per axis: each pixel is the mean of n × n points, for smooth edges
    int block;        // pixels per drawn cell, per axis
    bool textured;    // grained, lit sand; else plain
};

constexpr Picture kLarge = {kWidth, kHeight, 1, 0, 4, 1, true};
constexpr Picture kSmall = {48, 48, 3, -12, 6, 2, false};

struct Ellipse {
    double cx, cy, rx, ry;
};
struct Segment {
    double x0, y0, x1, y1, radius;
};

// Body parts, head on the right; coordinates in pixels from the top left.
constexpr Ellipse kBody[] = {
    {42, 62, 26, 19},   // gaster
    {68, 61, 5.5, 4},   // petiole
    {84, 60, 15, 8},    // thorax
    {110, 58, 13, 12},  // head
};

// Legs and antennae, each a chain of two segments, and the mandibles.
constexpr Segment kLimbs[] = {
    {92, 54, 100, 38, 1.2},  {100, 38, 112, 24, 1.0},                                                    // front legs
    {92, 66, 100, 82, 1.2},  {100, 82, 112, 96, 1.0}, {84, 53, 80, 34, 1.2},   {80, 34, 70, 14, 1.0},    // middle legs
    {84, 67, 80, 86, 1.2},   {80, 86, 70, 106, 1.0},  {76, 54, 60, 36, 1.2},   {60, 36, 38, 18, 1.0},    // hind legs
    {76, 66, 60, 84, 1.2},   {60, 84, 38, 102, 1.0},  {114, 49, 120, 33, 0.9}, {120, 33, 135, 25, 0.8},  // antennae
    {114, 67, 120, 83, 0.9}, {120, 83, 135, 91, 0.8}, {121, 52, 129, 55, 1.3}, {121, 64, 129, 61, 1.3},  // mandibles
};

constexpr double kShadowDx = 4, kShadowDy = 5;

double EllipseDepth(const Ellipse& e, double x, double y) {
    const double u = (x - e.cx) / e.rx, v = (y - e.cy) / e.ry;
    return 1 - (u * u + v * v);  // > 0 inside, 1 at the centre
}

bool OnSegment(const Segment& s, double x, double y) {
    const double dx = s.x1 - s.x0, dy = s.y1 - s.y0;
    double t = ((x - s.x0) * dx + (y - s.y0) * dy) / (dx * dx + dy * dy);
    t = t < 0 ? 0 : t > 1 ? 1 : t;
    const double ex = s.x0 + t * dx - x, ey = s.y0 + t * dy - y;
    return ex * ex + ey * ey <= s.radius * s.radius;
}

bool OnAnt(double x, double y) {
    for (const Ellipse& e : kBody) {
        if (EllipseDepth(e, x, y) > 0) return true;
    }
    for (const Segment& s : kLimbs) {
        if (OnSegment(s, x, y)) return true;
    }
    return false;
}

// A small integer hash of the position: the sand's grain.
int Grain(int x, int y) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 374761393u + static_cast<std::uint32_t>(y) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return static_cast<int>((h ^ (h >> 16)) % 13) - 6;
}

struct Colour {
    double b, g, r;
};

// The colour at one point of the scene; (px, py) is the picture pixel it falls in.
Colour Sample(const Picture& picture, double x, double y, int px, int py) {
    for (const Ellipse& e : kBody) {
        const double depth = EllipseDepth(e, x, y);
        if (depth > 0) {
            // A glossy body: lighter towards a highlight up and to the left of each part's centre.
            const double hx = (x - (e.cx - e.rx * 0.35)) / e.rx, hy = (y - (e.cy - e.ry * 0.4)) / e.ry;
            const double gloss = std::exp(-4 * (hx * hx + hy * hy));
            return Colour{18 + 40 * gloss + 10 * depth, 24 + 46 * gloss + 10 * depth, 44 + 60 * gloss + 12 * depth};
        }
    }
    for (const Segment& s : kLimbs) {
        if (OnSegment(s, x, y)) return Colour{16, 20, 34};
    }
    const double light = picture.textured ? 1 - 0.12 * y / kHeight + 0.06 * x / kWidth : 1;
    const double shade = OnAnt(x - kShadowDx, y - kShadowDy) ? 0.72 : 1.0;
    const int grain = picture.textured ? Grain(px, py) : 0;
    return Colour{(150 + grain) * light * shade, (196 + grain) * light * shade, (222 + grain) * light * shade};
}

BYTE ToByte(double v) { return static_cast<BYTE>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); }

}  // namespace

int main(int argc, char** argv) {
    const bool large = argc == 3 && std::strcmp(argv[1], "--large") == 0;
    if (argc != 2 && !large) {
        std::fprintf(stderr, "usage: make_ant [--large] OUT.bmp\n");
        return 2;
    }
    const Picture& picture = large ? kLarge : kSmall;
    const char* path = argv[argc - 1];
    HBITMAP image = Create24BppBitmap(nullptr, picture.width, picture.height);
    BITMAP view;
    if (image == nullptr || GetObjectA(image, sizeof view, &view) == 0) {
        std::fprintf(stderr, "make_ant: could not make the image\n");
        return 1;
    }
    const int n = picture.subsamples;
    for (int py = 0; py < picture.height; ++py) {
        // The image is bottom-up: picture row py is memory row height − 1 − py.
        BYTE* row =
            static_cast<BYTE*>(view.bmBits) + static_cast<std::size_t>(picture.height - 1 - py) * view.bmWidthBytes;
        for (int px = 0; px < picture.width; ++px) {
            Colour sum{0, 0, 0};
            const int bx = px / picture.block * picture.block, by = py / picture.block * picture.block;
            for (int sy = 0; sy < n; ++sy) {
                for (int sx = 0; sx < n; ++sx) {
                    const double x = (bx + (sx + 0.5) / n * picture.block) * picture.scale;
                    const double y = (by + (sy + 0.5) / n * picture.block) * picture.scale + picture.offset_y;
                    const Colour c = Sample(picture, x, y, px, py);
                    sum.b += c.b;
                    sum.g += c.g;
                    sum.r += c.r;
                }
            }
            const double points = n * n;
            row[3 * px] = ToByte(sum.b / points);
            row[3 * px + 1] = ToByte(sum.g / points);
            row[3 * px + 2] = ToByte(sum.r / points);
        }
    }
    const bool saved = SaveBitmapToFileA(path, image);
    DeleteObject(image);
    if (!saved) {
        std::fprintf(stderr, "make_ant: could not write %s\n", path);
        return 1;
    }
    return 0;
}
