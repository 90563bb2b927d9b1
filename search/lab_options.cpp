#include "lab_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr int kMaxSize = 4096;  // the largest target side: far beyond the 24 pixels that matter here
constexpr int kMaxZoom = 64;    // a 24 × 24 result at 64 × 64 per pixel is already 1536 pixels tall
constexpr long long kMaxAttempts = 100000000;
constexpr long long kMaxSeed = 4294967295LL;

struct CommandRule {
    Command command;
    const char* name;
    const char* usage;  // what it must be given, for --help
    const char* help;
};

constexpr CommandRule kCommands[] = {
    {Command::kSweep, "sweep", "",
     "try every draw u = 0 ... 32767; write sweep.csv, sweep.svg and the best draw's output0.bmp, "
     "output1.bmp and diff.bmp; print its report line and u"},
    {Command::kSearch, "search", "--seed N", "the random search of kernel_search, seeded with N"},
    {Command::kRender, "render", "(--u N | --q Q)",
     "the reference, candidate and diff of one draw, and its report line"},
    {Command::kCapture, "capture", "--out FILE", "write the halftone reference of the source as a BMP file"},
    {Command::kCheck, "check", "--reference FILE",
     "compare a reference made elsewhere (by capture on Windows) with this platform's halftone stretch of "
     "the source: print how many pixels and bytes differ and by how much at most, and write check.bmp (the "
     "reference with the differing pixels red; with --zoom, the two side by side as well); exit 0 when "
     "identical, 3 when they differ"},
    {Command::kFit, "fit", "",
     "fit the kernel of a family to one or more pictures (--source and --reference repeated, in pairs): "
     "the least-squares weights, then a local search for the highest total score; print the kernel, each "
     "picture's score beside the best of the sweep, and the total; write fit.csv and the first picture's "
     "output0.bmp, output1.bmp and diff.bmp"},
    {Command::kReport, "report", "",
     "write report.html: one page, for a browser, with the facts, the sweep's chart, every draw to explore with "
     "its pictures, and the kernels fitted beyond the family; several --source give a section each and one fit "
     "across them; print the page's path and each picture's best report line"},
};

// The commands an option goes with, as a set of bits.
constexpr unsigned Bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned kAll = Bit(Command::kSweep) | Bit(Command::kSearch) | Bit(Command::kRender) |
                          Bit(Command::kCapture) | Bit(Command::kCheck) | Bit(Command::kFit) | Bit(Command::kReport);
constexpr unsigned kPictures =
    Bit(Command::kSweep) | Bit(Command::kRender) | Bit(Command::kCheck) | Bit(Command::kFit) | Bit(Command::kReport);
// The commands that take several pictures.
constexpr unsigned kSeveral = Bit(Command::kFit) | Bit(Command::kReport);

bool ParseWhole(const char* text, long long low, long long high, long long* value) {
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

// The value of `option`, a whole number from `low` to `high`, into `*out`; the usage error, or "".
template <typename Number>
std::string ReadWhole(const char* option, const char* text, long long low, long long high, Number* out) {
    long long n = 0;
    if (!ParseWhole(text, low, high, &n)) {
        return std::string(option) + " takes a whole number from " + std::to_string(low) + " to " +
               std::to_string(high);
    }
    *out = static_cast<Number>(n);
    return "";
}

// Each option's value goes into the options by its own reader, which returns the usage error or "".
using Reader = std::string (*)(const char* value, LabOptions* o);

struct OptionRule {
    const char* name;
    const char* value;  // what it takes, for --help
    unsigned commands;
    const char* help;
    Reader read;
};

const OptionRule kOptions[] = {
    {"--source", "FILE", kAll, "the picture (default ant.bmp); fit and report take several",
     [](const char* v, LabOptions* o) {
         o->source = v;
         o->sources.push_back(v);
         return std::string();
     }},
    {"--reference", "FILE", kPictures,
     "a reference of the target size made elsewhere, used instead of the halftone stretch; fit and report "
     "take one for each --source, in the same order",
     [](const char* v, LabOptions* o) {
         o->reference = v;
         o->references.push_back(v);
         return std::string();
     }},
    {"--family", "NAME", Bit(Command::kFit),
     "the kernels to fit: cross (edge and centre weights; the default), symmetric (corner, edge and "
     "centre) or full (all nine)",
     [](const char* v, LabOptions* o) {
         return FamilyFromName(v, &o->family) ? std::string() : std::string("--family takes cross, symmetric or full");
     }},
    {"--size", "WxH", kAll & ~Bit(Command::kSearch), "the target size (default 24x24)",
     [](const char* v, LabOptions* o) {
         long long w = 0, h = 0;
         const std::string text = v;
         const std::size_t x = text.find('x');
         if (x == std::string::npos || !ParseWhole(text.substr(0, x).c_str(), 1, kMaxSize, &w) ||
             !ParseWhole(text.substr(x + 1).c_str(), 1, kMaxSize, &h)) {
             return "--size takes WxH with sides from 1 to " + std::to_string(kMaxSize);
         }
         o->width = static_cast<int>(w);
         o->height = static_cast<int>(h);
         return std::string();
     }},
    {"--out", "DIR", kAll, "where the files go (default the working folder; for capture, the file)",
     [](const char* v, LabOptions* o) {
         o->out = v;
         return std::string();
     }},
    {"--csv", "FILE", Bit(Command::kSweep) | Bit(Command::kFit),
     "the table (default sweep.csv or fit.csv in the output folder)",
     [](const char* v, LabOptions* o) {
         o->csv = v;
         return std::string();
     }},
    {"--zoom", "N", kPictures,
     "also write the pictures side by side (compare.bmp; for check, check.bmp), each pixel an N x N block; "
     "for report, how many screen pixels a pixel of the target takes (default 8)",
     [](const char* v, LabOptions* o) { return ReadWhole("--zoom", v, 1, kMaxZoom, &o->zoom); }},
    {"--seed", "N", Bit(Command::kSearch), "the seed of the random search",
     [](const char* v, LabOptions* o) {
         o->has_seed = true;
         return ReadWhole("--seed", v, 0, kMaxSeed, &o->seed);
     }},
    {"--attempts", "N", Bit(Command::kSearch), "how many attempts the search makes (default 100000)",
     [](const char* v, LabOptions* o) { return ReadWhole("--attempts", v, 1, kMaxAttempts, &o->attempts); }},
    {"--u", "N", Bit(Command::kRender), "the draw, 0 ... 32767",
     [](const char* v, LabOptions* o) {
         o->has_u = true;
         return ReadWhole("--u", v, 0, kDrawMax, &o->u);
     }},
    {"--q", "Q", Bit(Command::kRender), "the edge weight, from -1 to 1 (the centre weight is 1 - 4q)",
     [](const char* v, LabOptions* o) {
         char* end = nullptr;
         const double q = std::strtod(v, &end);
         if (end == v || *end != '\0' || !std::isfinite(q) || std::fabs(q) > 1)
             return std::string("--q takes a number from -1 to 1");
         o->q = static_cast<float>(q);
         o->has_q = true;
         return std::string();
     }},
};

const CommandRule* FindCommand(const std::string& name) {
    for (const CommandRule& c : kCommands) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

const OptionRule* FindOption(const std::string& name) {
    for (const OptionRule& o : kOptions) {
        if (name == o.name) return &o;
    }
    return nullptr;
}

// Text wrapped to the width of a terminal, every line after the first indented like the first.
std::string Wrapped(const std::string& text, std::size_t indent) {
    constexpr std::size_t kWidth = 100;
    std::string out, line;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t space = text.find(' ', at);
        const std::string word = text.substr(at, space == std::string::npos ? std::string::npos : space - at);
        at = space == std::string::npos ? text.size() : space + 1;
        if (!line.empty() && indent + line.size() + 1 + word.size() > kWidth) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line + "\n";
}

}  // namespace

std::string ParseLabOptions(int argc, const char* const* argv, LabOptions* o) {
    if (argc < 2) return "no command given";
    const CommandRule* command = FindCommand(argv[1]);
    if (command == nullptr) return std::string("unknown command ") + argv[1];
    o->command = command->command;
    for (int i = 2; i < argc; ++i) {
        // "--option=value" and "--option value" alike.
        std::string name = argv[i], value;
        const std::size_t equals = name.find('=');
        const bool joined = name.rfind("--", 0) == 0 && equals != std::string::npos;
        if (joined) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const OptionRule* option = FindOption(name);
        if (option == nullptr) return "unknown option " + name;
        if ((option->commands & Bit(o->command)) == 0) return std::string(command->name) + " does not take " + name;
        if (!joined) {
            if (i + 1 >= argc) return "option " + name + " needs a value";
            value = argv[++i];
        }
        if (const std::string problem = option->read(value.c_str(), o); !problem.empty()) return problem;
    }
    // Only fit and report take several pictures; they take a reference for each, or none.
    if ((Bit(o->command) & kSeveral) == 0 && (o->sources.size() > 1 || o->references.size() > 1)) {
        return std::string(command->name) + " takes one --source and one --reference";
    }
    if (o->sources.empty()) o->sources.push_back(o->source);
    if (!o->references.empty() && o->references.size() != o->sources.size()) {
        return std::string(command->name) + " needs one --reference for each --source (" +
               std::to_string(o->sources.size()) + " and " + std::to_string(o->references.size()) + " given)";
    }
    // What each command must be given.
    switch (o->command) {
    case Command::kSearch: return o->has_seed ? "" : "search needs --seed N";
    case Command::kRender:
        if (o->has_u && o->has_q) return "render takes only one of --u N and --q Q";
        return o->has_u || o->has_q ? "" : "render needs one of --u N and --q Q";
    case Command::kCapture: return o->out.empty() ? "capture needs --out FILE" : "";
    case Command::kCheck: return o->reference.empty() ? "check needs --reference FILE" : "";
    case Command::kSweep:
    case Command::kFit:
    case Command::kReport: return "";
    }
    return "";
}

namespace {

bool Asks(int argc, const char* const* argv, const char* option, const char* short_option) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0 || std::strcmp(argv[i], short_option) == 0) return true;
    }
    return false;
}

// The help for `entry`'s name and what it does, its text wrapped beside the names.
std::string Entry(const std::string& head, const std::string& help) {
    constexpr std::size_t kColumn = 24;
    const std::string name = "  " + head;
    return name.size() + 1 > kColumn ? name + "\n" + std::string(kColumn, ' ') + Wrapped(help, kColumn)
                                     : name + std::string(kColumn - name.size(), ' ') + Wrapped(help, kColumn);
}

std::string OptionEntry(const OptionRule& o) {
    std::string takers;
    for (const CommandRule& c : kCommands) {
        if ((o.commands & Bit(c.command)) != 0) takers += std::string(takers.empty() ? "" : ", ") + c.name;
    }
    return Entry(std::string(o.name) + " " + o.value, std::string(o.help) + "; " + takers);
}

}  // namespace

bool AsksForHelp(int argc, const char* const* argv, std::string* topic) {
    topic->clear();
    if (argc >= 2 && std::strcmp(argv[1], "help") == 0) {
        if (argc >= 3) *topic = argv[2];
        return true;
    }
    if (!Asks(argc, argv, "--help", "-h")) return false;
    if (argc >= 2 && FindCommand(argv[1]) != nullptr) *topic = argv[1];
    return true;
}

bool AsksForVersion(int argc, const char* const* argv) { return Asks(argc, argv, "--version", "-V"); }

std::string LabVersion() { return std::string("kernel_lab ") + KS_VERSION + "\n"; }

std::string LabHelp(const std::string& topic) {
    if (!topic.empty()) {
        const CommandRule* c = FindCommand(topic);
        if (c == nullptr) return "";
        std::string help = std::string("usage: kernel_lab ") + c->name + (*c->usage ? " " : "") + c->usage +
                           " [OPTIONS]\n\n" + Wrapped(c->help, 0) + "\noptions:\n";
        for (const OptionRule& o : kOptions) {
            if ((o.commands & Bit(c->command)) != 0) help += Entry(std::string(o.name) + " " + o.value, o.help);
        }
        return help;
    }
    std::string help = "usage: kernel_lab COMMAND [OPTIONS]\n       kernel_lab help [COMMAND]\n\ncommands:\n";
    for (const CommandRule& c : kCommands) help += Entry(std::string(c.name) + (*c.usage ? " " : "") + c.usage, c.help);
    help += "\noptions (each goes with the commands listed after it; --option=value works too):\n";
    for (const OptionRule& o : kOptions) help += OptionEntry(o);
    help += Entry("--version, -V", "the version of the program");
    help += Entry("--help, -h", "this text; with a command, or as help COMMAND, that command's options alone");
    return help;
}
