// The operator's stop signals on POSIX, shared by their handlers, the key read that waits with
// them unblocked, and the threads that must not take them.
#pragma once

#include <csignal>
#include <initializer_list>

// SIGINT, SIGTERM and SIGHUP: each records a stop request.
constexpr std::initializer_list<int> kPosixStopSignals = {SIGINT, SIGTERM, SIGHUP};

// The stop signals as a set.
inline sigset_t PosixStop_SignalSet() {
    sigset_t set{};
    sigemptyset(&set);
    for (const int signal : kPosixStopSignals) {
        sigaddset(&set, signal);
    }
    return set;
}
