// Stop requests as the update procedures see them: the operator's (recorded by the platform's
// handlers) and a failed write to standard output. A phase that rewrites the master's flash is
// finished once started; a request made in it is announced on standard error with how far the
// phase is and how long until the program can stop.
#include <cstdio>
#include <iostream>

#include "platform/platform.h"
#include "update/update.h"

namespace {

struct PhaseState {
    bool active = false;
    const char* what = "";
    const char* unit = "";
    uint32_t units = 0;
    uint32_t msPerUnit = 0;
    uint32_t msAtEnd = 0;
    uint32_t announced = 0;  // requests (output failure counted as one) already announced
    uint32_t done = 0;       // units done, as last reported
};

// Used by the main thread only: the handlers touch the platform's atomics, never this.
PhaseState g_phase;

// Standard output is unbuffered, so a write that failed (a closed pipe, a terminal that went
// away; SIGPIPE is ignored) sets the stream's error flag at once. The standard stream writes
// through the same FILE, so one flag tells both.
bool OutputFailed() {
    return std::ferror(stdout) != 0 || !std::cout.good();
}

uint32_t Requests() {
    return Platform_StopRequests().count + (OutputFailed() ? 1u : 0u);
}

const char* CauseText() {
    switch (Platform_StopRequests().first) {
        case StopCause::interrupt:
            return "interrupt";
        case StopCause::terminate:
            return "terminate";
        case StopCause::hangup:
            return "hang-up";
        case StopCause::quit:
            return "quit";
        case StopCause::closing:
            return "the console is closing";
        case StopCause::none:
            break;
    }
    return "standard output was closed";
}

}  // namespace

bool Stop_Requested() {
    return Requests() != 0;
}

bool Stop_Urgent() {
    return Platform_StopRequests().urgent;
}

void Stop_BeginCritical(const char* what, const char* unit, uint32_t units, uint32_t msPerUnit,
                        uint32_t msAtEnd) {
    g_phase = PhaseState{true, what, unit, units, msPerUnit, msAtEnd, 0, 0};
    Stop_Announce();
}

void Stop_Progress(uint32_t done) {
    g_phase.done = done;
    Stop_Announce();
}

void Stop_Announce() {
    if (!g_phase.active) {
        return;
    }
    const uint32_t done = g_phase.done;
    const uint32_t requests = Requests();
    if (requests == g_phase.announced) {
        return;
    }
    g_phase.announced = requests;
    const uint32_t left = done < g_phase.units ? g_phase.units - done : 0;
    // Rounded up: "about 0 s" would promise more than the phase keeps.
    const uint64_t ms = uint64_t{left} * g_phase.msPerUnit + g_phase.msAtEnd;
    const auto seconds = static_cast<uint32_t>((ms + 999) / 1000);
    // The unit in progress is the next one (1-based); after the last, the phase's end.
    const uint32_t current = done < g_phase.units ? done + 1 : g_phase.units;
    // A failed write to standard error is ignored: there is nobody left to tell.
    Console_Tell(
        "stop requested (%s): %s (%s %u of %u); the program stops when "
        "this is done, in about %u s. Do not unplug the master.",
        CauseText(), g_phase.what, g_phase.unit, static_cast<unsigned>(current),
        static_cast<unsigned>(g_phase.units), static_cast<unsigned>(seconds));
}

void Stop_EndCritical() {
    g_phase.active = false;
}
