// kernel_search: looks for the 3 × 3 sharpening kernel that, after a bilinear shrink, reproduces the
// platform's halftone stretch of ant.bmp at 24 × 24 pixels. No arguments; see README.md.
#include <unistd.h>

#include "interrupt.h"
#include "search.h"

int main() {
    CatchInterrupts();
    SearchRun run;
    run.seed = GetTickCount();
    run.progress = isatty(fileno(stderr)) != 0;
    return RunSearch(run);
}
