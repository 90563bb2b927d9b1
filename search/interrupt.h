// Stopping a run cleanly on Ctrl-C or a request to terminate: SIGINT and SIGTERM, and on Windows the
// console's Ctrl-C, Ctrl-Break and close events. The first only asks the run to stop at its next step,
// so that what it has saved stays whole and it can say how far it got; a second ends the process at
// once, removing the temporary file of a save in progress.
#ifndef SEARCH_INTERRUPT_H
#define SEARCH_INTERRUPT_H

// Exit statuses of a run stopped by a signal: 128 plus the signal's number, as shells report them.
constexpr int kInterruptedStatus = 130;  // SIGINT, Ctrl-C
constexpr int kTerminatedStatus = 143;   // SIGTERM, Ctrl-Break, the console closing

// Installs the handlers. Called once by each program before its work.
void CatchInterrupts();

// 0 while the run may go on; once a signal asked it to stop, the exit status to end with.
int StopRequested();

// What the note of a run stopped with `status` calls it: "interrupted" or "terminated".
const char* StopWord(int status);

// Forgets a request to stop: for a process that runs one job after another, as the tests do.
void ForgetStopRequest();

#endif  // SEARCH_INTERRUPT_H
