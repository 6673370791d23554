// Bounded waiting for a condition in tests, in real time (not through the platform's sleep).
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

// Polls cond every millisecond for up to timeoutMs; true as soon as it holds.
template <typename Cond>
bool WaitUntil(Cond cond, uint32_t timeoutMs = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
