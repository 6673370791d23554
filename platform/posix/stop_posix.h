// The operator's stop signals on POSIX, shared by their handlers, the key read that waits with
// them unblocked, and the threads that must not take them.
#pragma once

#include <pthread.h>

#include <csignal>
#include <initializer_list>

// SIGINT, SIGTERM, SIGHUP and SIGQUIT: each records a stop request (unless inherited as ignored).
constexpr std::initializer_list<int> kPosixStopSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The stop signals as a set.
inline sigset_t PosixStop_SignalSet() {
    sigset_t set{};
    sigemptyset(&set);
    for (const int signal : kPosixStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

// Blocks the stop signals, and `extra` when not 0, on the calling thread for its lifetime, and
// then restores the mask it found.
class StopSignalsBlocked {
  public:
    explicit StopSignalsBlocked(int extra = 0) {
        sigset_t set = PosixStop_SignalSet();
        if (extra != 0) {
            sigaddset(&set, extra);
        }
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    ~StopSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;
    // The mask in force before: the one a wait unblocks the signals with.
    const sigset_t& previous() const { return previous_; }

  private:
    sigset_t previous_{};
};
