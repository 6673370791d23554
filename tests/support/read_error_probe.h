// A receive loop fed a persistent read error through the read-call seam: counts the failed reads
// and the 5 ms pauses between them (which pass at once), so that a test can tell a loop that pauses
// on every failed read from one that spins.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "platform/seams.h"

namespace read_error_probe {

inline std::atomic<uint32_t> g_reads{0};
inline std::atomic<uint32_t> g_pauses{0};
inline std::atomic<uint32_t> g_error{0};
// Set by a failed read, taken by the pause after it: a pause that the loop began before the read
// seam was installed (after a real read) is not counted, whenever the test installs it.
inline std::atomic<bool> g_afterFailedRead{false};

// Every read of every port fails with `error` from now on; every 5 ms pause is counted.
inline void Install(uint32_t error) {
    g_reads = 0;
    g_pauses = 0;
    g_error = error;
    g_afterFailedRead = false;
    PlatformSeam_SetSleepHook([](uint32_t ms) {
        if (ms == 5) {
            if (g_afterFailedRead.exchange(false)) {
                g_pauses.fetch_add(1, std::memory_order_relaxed);
            }
            return 0u;
        }
        return ms;
    });
    PlatformSeam_SetSerialReadHook([] {
        g_reads.fetch_add(1, std::memory_order_relaxed);
        g_afterFailedRead = true;
        return SerialReadCall{-1, 0, g_error.load(std::memory_order_relaxed)};
    });
}

inline uint32_t Reads() {
    return g_reads.load(std::memory_order_relaxed);
}

// Restores the system's reads and real sleeps. Call it with the receive thread joined.
inline void RemoveAndExpectAPausePerRead() {
    PlatformSeam_SetSerialReadHook(nullptr);
    PlatformSeam_SetSleepHook(nullptr);
    // Each failed read was followed by one pause (the last one perhaps not).
    const uint32_t reads = g_reads.load();
    const uint32_t pauses = g_pauses.load();
    EXPECT_LE(pauses, reads);
    EXPECT_GE(pauses + 1, reads);
}

}  // namespace read_error_probe
