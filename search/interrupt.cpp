#include "interrupt.h"

#include <atomic>
#include <csignal>

#include "temporary_files.h"
#include "win32.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

// The exit status a signal asked for, or 0. Written by the handler (on Windows, on a thread of its own),
// read between the run's steps.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

// The second request ends the process: nothing is flushed or released, only the half-written files of
// the saves in progress are removed, so that no temporary file outlives the run.
void EndAtOnce(int status) {
    RemoveTemporaryFiles();
#ifdef _WIN32
    ExitProcess(static_cast<UINT>(status));
#else
    _exit(status);
#endif
}

void Request(int status) {
    if (const int earlier = g_stop.exchange(status); earlier != 0) EndAtOnce(earlier);
}

#ifdef _WIN32
// Runs on a thread of its own that the console starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    Request(event == CTRL_C_EVENT ? kInterruptedStatus : kTerminatedStatus);
    return TRUE;  // handled: the process goes on until the run stops
}
#else
void OnSignal(int signal) { Request(signal == SIGINT ? kInterruptedStatus : kTerminatedStatus); }
#endif

}  // namespace

void CatchInterrupts() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // a read or write that the signal cuts into goes on
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

int StopRequested() { return g_stop; }

const char* StopWord(int status) { return status == kInterruptedStatus ? "interrupted" : "terminated"; }

void ForgetStopRequest() { g_stop = 0; }
