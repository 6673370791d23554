// The stop requests recorded by the handlers: lock-free atomics, so that a signal handler may
// record one while the main thread reads them.
#include "platform/common/stop_state.h"

#include <atomic>

#include "platform/seams.h"

namespace {

std::atomic<uint32_t> g_count{0};
std::atomic<uint8_t> g_first{static_cast<uint8_t>(StopCause::none)};
std::atomic<bool> g_urgent{false};

static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<uint8_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void StopState_Record(StopCause cause, bool urgent) {
    // The first cause is kept: it is the one the process ends as.
    auto none = static_cast<uint8_t>(StopCause::none);
    g_first.compare_exchange_strong(none, static_cast<uint8_t>(cause), std::memory_order_acq_rel);
    if (urgent) {
        g_urgent.store(true, std::memory_order_release);
    }
    // Counted last: a reader that sees the new count sees the cause too.
    g_count.fetch_add(1, std::memory_order_acq_rel);
}

StopRequests Platform_StopRequests() {
    StopRequests requests{};
    requests.count = g_count.load(std::memory_order_acquire);
    requests.first = static_cast<StopCause>(g_first.load(std::memory_order_acquire));
    requests.urgent = g_urgent.load(std::memory_order_acquire);
    return requests;
}

void PlatformSeam_RecordStop(StopCause cause, bool urgent) {
    StopState_Record(cause, urgent);
}

void PlatformSeam_ClearStops() {
    g_first.store(static_cast<uint8_t>(StopCause::none), std::memory_order_release);
    g_urgent.store(false, std::memory_order_release);
    g_count.store(0, std::memory_order_release);
}
