// kernel_lab's command line: its commands, its options, which command takes which, and its --help,
// all from one table.
#ifndef SEARCH_LAB_OPTIONS_H
#define SEARCH_LAB_OPTIONS_H

#include <string>
#include <vector>

#include "fit.h"
#include "pipeline.h"
#include "search.h"

enum class Command { kSweep, kSearch, kRender, kCapture, kCheck, kFit, kReport };

struct LabOptions {
    Command command = Command::kSweep;
    std::string source = kSourceFile;
    std::string reference;  // a captured reference; "" for this platform's stretch
    // Every --source and --reference in the order given: fit and report take several, the others one.
    std::vector<std::string> sources, references;
    Family family = Family::kCross;
    int width = kTargetSize, height = kTargetSize;
    std::string out;  // a folder, or for capture the file; "" is the working folder
    std::string csv;  // "" is sweep.csv in the output folder
    int zoom = 0;     // 0: no side-by-side picture
    bool has_seed = false;
    unsigned seed = 0;
    int attempts = kAttempts;
    bool has_u = false, has_q = false;
    int u = 0;
    float q = 0;
};

// Reads a command line (argv[0] the program's name) into `options`. Returns the usage error, or "".
std::string ParseLabOptions(int argc, const char* const* argv, LabOptions* options);

// True when the command line asks for help: "help [COMMAND]", or --help or -h wherever it stands. The
// command it asks about, if any, goes into `topic` ("" for the whole program).
bool AsksForHelp(int argc, const char* const* argv, std::string* topic);

// True when the command line asks for the version: --version or -V wherever it stands.
bool AsksForVersion(int argc, const char* const* argv);

// The help of the whole program (topic ""), or of one command with the options it takes; "" for a
// topic that is no command.
std::string LabHelp(const std::string& topic);
std::string LabVersion();

#endif  // SEARCH_LAB_OPTIONS_H
