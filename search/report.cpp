#include "report.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "SaveBitmapToFile.h"
#include "compare.h"
#include "copy_image.h"
#include "image_view.h"
#include "report_template.h"
#include "search.h"

namespace {

// The graded difference: a pixel's largest channel difference d falls in bin d for 0, 1 and 2, then in
// one bin per doubling (3-4, 5-8, ... 65 and more): light grey where the pixels agree, then a scale from
// yellow to black, so that the single steps that tell most kernels apart stand out from the sameness
// around them and the large differences are darkest.
struct Grade {
    BYTE bgr[3];
    const char* colour;
    const char* label;
};
constexpr Grade kGrades[] = {
    {{0xee, 0xee, 0xee}, "#eeeeee", "0"},      {{0x25, 0xe7, 0xfd}, "#fde725", "1"},
    {{0x40, 0x95, 0xf8}, "#f89540", "2"},      {{0x62, 0x64, 0xe1}, "#e16462", "3-4"},
    {{0x90, 0x2a, 0xb1}, "#b12a90", "5-8"},    {{0xa8, 0x00, 0x6a}, "#6a00a8", "9-16"},
    {{0x94, 0x05, 0x3a}, "#3a0594", "17-32"},  {{0x70, 0x08, 0x1a}, "#1a0870", "33-64"},
    {{0x00, 0x00, 0x00}, "#000000", "65-255"},
};
constexpr int kGradeCount = static_cast<int>(std::size(kGrades));

int GradeOf(int d) {
    return d <= 2 ? d : std::min(kGradeCount - 1, static_cast<int>(std::bit_width(static_cast<unsigned>(d - 1))) + 1);
}

// The chart's plot, top to bottom, in its own units (see SweepChart).
constexpr int kChartTop = 40, kChartBottom = 360;

std::string Base64(const std::vector<BYTE>& bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        const unsigned v = bytes[i] << 16 | (n > 1 ? bytes[i + 1] << 8 : 0) | (n > 2 ? bytes[i + 2] : 0);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[v >> (18 - 6 * k) & 63] : '=';
    }
    return out;
}

// An image as a BMP file in a data URI: the very bytes the program saves.
std::string ImageUri(HBITMAP image) {
    std::vector<BYTE> bytes;
    if (image == nullptr || !BitmapFileBytes(image, &bytes)) return "";
    return "data:image/bmp;base64," + Base64(bytes);
}

// The pixel rows of a 24-bit image as they lie in memory, padding and all: the rows of its BMP file.
std::string RowsBase64(HBITMAP image) {
    const BITMAP v = ViewOf(image);
    const auto* bits = static_cast<const BYTE*>(v.bmBits);
    return Base64(std::vector<BYTE>(bits, bits + static_cast<std::size_t>(v.bmWidthBytes) * v.bmHeight));
}

// The reference with every pixel coloured by how much the candidate differs from it there; counts as it
// paints how many pixels differ and by how much at most (the largest channel difference).
HBITMAP Graded(HBITMAP reference, HBITMAP candidate, long* differing, int* largest) {
    *differing = 0;
    *largest = 0;
    HBITMAP out = CopyBitmap(reference);
    if (out == nullptr) return nullptr;
    const BITMAP a = ViewOf(reference), b = ViewOf(candidate), o = ViewOf(out);
    for (LONG y = 0; y < a.bmHeight; ++y) {
        for (LONG x = 0; x < a.bmWidth; ++x) {
            const auto ux = static_cast<std::uint32_t>(x), uy = static_cast<std::uint32_t>(y);
            const BYTE *p = PixelAt(a, ux, uy), *c = PixelAt(b, ux, uy);
            int d = 0;
            for (int k = 0; k < 3; ++k) d = std::max(d, std::abs(p[k] - c[k]));
            *differing += d != 0;
            *largest = std::max(*largest, d);
            std::copy(kGrades[GradeOf(d)].bgr, kGrades[GradeOf(d)].bgr + 3, PixelAt(o, ux, uy));
        }
    }
    return out;
}

// Text for the page's markup: the characters HTML gives a meaning, and the braces of the template's
// own fields, written as references.
std::string Html(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '{': out += "&#123;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

// `text` with every {{NAME}} of `fields` replaced by its value.
std::string Fill(std::string text, const Fields& fields) {
    for (const auto& [name, value] : fields) {
        const std::string key = "{{" + name + "}}";
        for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
            text.replace(at, key.size(), value);
        }
    }
    return text;
}

// Takes the block between "<!-- begin NAME -->" and "<!-- end NAME -->" out of `text`, leaving a mark
// where it stood, and returns it.
std::string TakeBlock(std::string* text, const std::string& name) {
    const std::string begin = "<!-- begin " + name + " -->", end = "<!-- end " + name + " -->";
    const std::size_t from = text->find(begin), to = text->find(end);
    if (from == std::string::npos || to == std::string::npos) return "";
    std::string block = text->substr(from + begin.size(), to - from - begin.size());
    text->replace(from, to + end.size() - from, "{{" + name + "}}");
    return block;
}

std::string Size(HBITMAP image) {
    const BITMAP v = ViewOf(image);
    return std::to_string(v.bmWidth) + " x " + std::to_string(v.bmHeight);
}

// One picture's section, its best draw shown.
std::string PictureSection(std::string block, const ReportPicture& p, std::size_t index) {
    const std::string legend_block = TakeBlock(&block, "legend");
    const std::string approximated_block = TakeBlock(&block, "approximated");
    std::string legend;
    for (const Grade& g : kGrades) legend += Fill(legend_block, {{"COLOUR", g.colour}, {"LABEL", g.label}});

    const SweepRow& best = p.rows[static_cast<std::size_t>(p.best)];
    float kernel[kKernelSize];
    BuildKernel(best.w, kernel);
    HBITMAP candidate = sharpen(p.bilinear, kernel);
    HBITMAP diff = CopyBitmap(p.reference_image);
    GetDiff(ViewOf(diff), ViewOf(candidate));
    long differing = 0;
    int largest = 0;
    HBITMAP graded = Graded(p.reference_image, candidate, &differing, &largest);
    const BITMAP ref = ViewOf(p.reference_image);
    const BITMAP source = ViewOf(p.source_image);
    const std::string source_size = Size(p.source_image);
    const std::string shown =
        p.source_format.find(source_size) == std::string::npos ? " (shown at " + source_size + ")" : std::string();
    const Fields fields = {
        {"INDEX", std::to_string(index)},
        {"SUFFIX", index == 0 ? std::string() : Format("-%.0f", static_cast<double>(index + 1))},
        {"SOURCE", Html(p.source)},
        {"SOURCE_FORMAT", Html(p.source_format)},
        {"REFERENCE", Html(p.reference)},
        {"approximated", p.approximated ? approximated_block : ""},
        {"CHART", SweepChart(p.rows, p.best, MaxScore(ref.bmWidth, ref.bmHeight))},
        {"U", std::to_string(p.best)},
        {"BEST_U", std::to_string(p.best)},
        {"Q", Format("%f", static_cast<double>(best.w.q))},
        {"R", Format("%f", static_cast<double>(best.w.r))},
        {"SCORE", std::to_string(best.score)},
        {"MAX", std::to_string(MaxScore(ref.bmWidth, ref.bmHeight))},
        {"EXACT", std::to_string(best.exact)},
        {"DIFFERING", std::to_string(differing)},
        {"PIXELS", std::to_string(static_cast<long>(ref.bmWidth) * ref.bmHeight)},
        {"LARGEST", std::to_string(largest)},
        {"SOURCE_IMAGE", ImageUri(p.source_image)},
        {"SOURCE_SIZE", p.source_format.substr(0, p.source_format.find(" pixels"))},
        {"SOURCE_SHOWN", source.bmWidth > 0 ? shown : ""},
        {"REFERENCE_IMAGE", ImageUri(p.reference_image)},
        {"REFERENCE_SHORT", p.approximated ? "halftone stretch, approximated" : "halftone stretch"},
        {"CANDIDATE_IMAGE", ImageUri(candidate)},
        {"DIFF_IMAGE", ImageUri(diff)},
        {"GRADED_IMAGE", ImageUri(graded)},
        {"legend", legend},
    };
    for (HBITMAP image : {candidate, diff, graded}) {
        if (image != nullptr) DeleteObject(image);
    }
    return Fill(block, fields);
}

}  // namespace

std::string ReportPage(const std::vector<ReportPicture>& pictures, const std::vector<ReportFamily>& families,
                       const std::vector<HBITMAP>& fitted, TotalScoreType search_total, int zoom) {
    std::string page = kReportTemplate;
    const std::string picture_block = TakeBlock(&page, "picture");
    const std::string family_block = TakeBlock(&page, "family");
    const std::string fitted_block = TakeBlock(&page, "fitted");
    const BITMAP target = ViewOf(pictures.front().reference_image);
    const DWORD max_score = MaxScore(target.bmWidth, target.bmHeight);

    std::string sections, data_pictures, title;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const ReportPicture& p = pictures[i];
        sections += PictureSection(picture_block, p, i);
        const BITMAP v = ViewOf(p.bilinear);
        data_pictures += std::string(i == 0 ? "" : ",\n") + "{\"width\":" + std::to_string(v.bmWidth) +
                         ",\"height\":" + std::to_string(v.bmHeight) + ",\"stride\":" + std::to_string(v.bmWidthBytes) +
                         ",\"best\":" + std::to_string(p.best) + ",\"reference\":\"" + RowsBase64(p.reference_image) +
                         "\",\"bilinear\":\"" + RowsBase64(p.bilinear) + "\"}";
        title += (i == 0 ? "" : ", ") + Html(p.source);
    }

    std::string family_rows;
    const TotalScoreType max_total = static_cast<TotalScoreType>(max_score) * pictures.size();
    for (const ReportFamily& f : families) {
        std::string kernel;
        for (int k = 0; k < kKernelSize; ++k) {
            kernel += (k == 0 ? "" : k % 3 == 0 ? " / " : " ") + Format("%.9g", static_cast<double>(f.kernel[k]));
        }
        family_rows += Fill(family_block, {{"FAMILY", f.name},
                                           {"KERNEL", kernel},
                                           {"TOTAL", std::to_string(f.total)},
                                           {"MAX_TOTAL", std::to_string(max_total)},
                                           {"FIT_EXACT", f.all_exact ? ", exact" : ""},
                                           {"SEARCH_TOTAL", std::to_string(search_total)}});
    }
    std::string fitted_figures;
    const ReportFamily& best_family =
        *std::max_element(families.begin(), families.end(),
                          [](const ReportFamily& a, const ReportFamily& b) { return a.total < b.total; });
    for (std::size_t i = 0; i < pictures.size() && i < fitted.size(); ++i) {
        int exact = 0;
        const DWORD score = GetScore(ViewOf(pictures[i].reference_image), ViewOf(fitted[i]), &exact);
        fitted_figures += Fill(fitted_block, {{"FITTED_IMAGE", ImageUri(fitted[i])},
                                              {"SOURCE", Html(pictures[i].source)},
                                              {"FAMILY", best_family.name},
                                              {"SCORE", std::to_string(score)},
                                              {"MAX", std::to_string(max_score)}});
    }

    std::string scale;
    for (const Grade& g : kGrades) {
        scale += std::string(scale.empty() ? "" : ",") + "[" + std::to_string(g.bgr[0]) + "," +
                 std::to_string(g.bgr[1]) + "," + std::to_string(g.bgr[2]) + "]";
    }
    const std::string data = "{\"chart\":{\"left\":" + std::to_string(kChartLeft) +
                             ",\"plot\":" + std::to_string(kChartPlotWidth) + ",\"top\":" + std::to_string(kChartTop) +
                             ",\"bottom\":" + std::to_string(kChartBottom) + "},\n\"scale\":[" + scale +
                             "],\n\"pictures\":[" + data_pictures + "]}";
    const bool several = pictures.size() > 1;
    return Fill(page, {{"picture", sections},
                       {"family", family_rows},
                       {"fitted", fitted_figures},
                       {"TITLE", title},
                       {"VERSION", KS_VERSION},
                       {"TARGET", Size(pictures.front().reference_image)},
                       {"SHOWN_WIDTH", std::to_string(target.bmWidth * zoom)},
                       {"FIT_WHAT", several ? "all the pictures at once" : "this picture"},
                       {"FIT_PLURAL", several ? ", summed over the pictures" : ""},
                       {"DATA", data}});
}
