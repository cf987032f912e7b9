// Signal handling of the front end: stop requests and the log reopen request. Handlers only exit
// or store into lock-free atomics, both of which are safe inside a signal handler.
#include <unistd.h>

#include <atomic>
#include <csignal>

#include "common/log.h"
#include "common/run_control.h"
#include "frontend/commandline.h"

namespace {

// Counts SIGINT/SIGTERM, so that the second one ends the process whatever became of the first
// (the input may have finished with it already).
std::atomic<int> stopRequestCount{0};
static_assert(std::atomic<int>::is_always_lock_free);

void HandleStopRequest(int) {
    if (stopRequestCount.fetch_add(1) > 0) _exit(1);
    Control().stopRequested.store(1);
}

// logrotate moves the log file away and sends SIGHUP: the next line goes to a new file.
void HandleLogReopenRequest(int) {
    RequestLogReopen();
}

void Install(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

// The signal the supervisor uses to stop the program: 30 is SIGUSR1 on the BSD target.
constexpr int kStopSignal = 30;

}  // namespace

void HandleStopSignal(int) {
    _exit(1);
}

void InstallStopSignalHandler() {
    Install(kStopSignal, &HandleStopSignal);
    if (SIGUSR1 != kStopSignal) Install(SIGUSR1, &HandleStopSignal);
}

void InstallStopRequestHandlers() {
    stopRequestCount.store(0);
    Install(SIGINT, &HandleStopRequest);
    Install(SIGTERM, &HandleStopRequest);
}

void InstallLogReopenHandler() {
    Install(SIGHUP, &HandleLogReopenRequest);
}
