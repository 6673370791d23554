// The operator's stop requests on POSIX: SIGINT, SIGTERM, SIGHUP and SIGQUIT only record
// themselves, the program stops at its next safe point and then ends as the signal would have
// ended it. A stop signal inherited as ignored keeps that disposition. SIGPIPE is ignored, so that
// a closed standard output is a failed write, never a death mid-download.
#include <pthread.h>

#include <csignal>

#include <cstdlib>

#include "platform/common/stop_state.h"
#include "platform/platform.h"
#include "platform/posix/stop_posix.h"

namespace {

StopCause CauseOf(int signal) {
    switch (signal) {
        case SIGINT:
            return StopCause::interrupt;
        case SIGTERM:
            return StopCause::terminate;
        case SIGQUIT:
            return StopCause::quit;
        default:
            return StopCause::hangup;
    }
}

int SignalOf(StopCause cause) {
    switch (cause) {
        case StopCause::interrupt:
            return SIGINT;
        case StopCause::terminate:
            return SIGTERM;
        case StopCause::quit:
            return SIGQUIT;
        default:
            return SIGHUP;
    }
}

extern "C" void RecordStopSignal(int signal) {
    StopState_Record(CauseOf(signal), false);
}

}  // namespace

void Platform_StopHandlersInstall() {
    struct sigaction action {};
    action.sa_handler = &RecordStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read of the replug prompt returns EINTR, so that a request made
    // there is seen at once.
    action.sa_flags = 0;
    for (const int signal : kPosixStopSignals) {
        // A signal ignored at the start was ignored by whoever started the program: nohup ignores
        // SIGHUP, and a shell that starts a command with & in a script ignores SIGINT and SIGQUIT
        // for it. That choice stands: replacing it would let the very signal the caller shut out
        // stop an update, and end the process with it.
        struct sigaction inherited {};
        if (sigaction(signal, nullptr, &inherited) == 0 && (inherited.sa_flags & SA_SIGINFO) == 0 &&
            inherited.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void Platform_EndAsStopRequested() {
    const StopRequests requests = Platform_StopRequests();
    if (requests.count == 0) {
        return;
    }
    const int signal = SignalOf(requests.first);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // The default action of these signals ends the process; should it not have, end it anyway.
    std::_Exit(128 + signal);
}

void Platform_StopCleanupDone() {}

void Platform_KeepAwake(bool /*on*/) {}
