// kernel_lab: the exhaustive sweep over every draw, seeded searches, single renders, captured
// references, fitted kernels and the report page, built from the same functions as kernel_search.
// See `kernel_lab help`.
#ifndef SEARCH_LAB_H
#define SEARCH_LAB_H

#include <cstdio>

// Runs one kernel_lab command line (argv[0] is the program name). Returns the exit status: 0, 1 for
// bad input (an unreadable source or reference, a reference of the wrong size, a file that cannot be
// written), 2 for bad usage, 130 or 143 when a signal (see interrupt.h) stops it before it writes. On
// any of these one line goes to `err` and no file is written: every command writes its files whole under
// temporary names and puts them in place only once all are (see outputs.h), so this must stay true of
// every command added.
int RunLab(int argc, const char* const* argv, std::FILE* out, std::FILE* err);

#endif  // SEARCH_LAB_H
