// kernel_lab: the exhaustive sweep, reproducible searches, captured references and pictures to look
// at. See `kernel_lab --help` and README.md.
#include "interrupt.h"
#include "lab.h"

int main(int argc, char** argv) {
    CatchInterrupts();
    return RunLab(argc, argv, stdout, stderr);
}
