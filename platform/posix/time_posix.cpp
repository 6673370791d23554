// Time services: sleeps, the wrapping millisecond tick and the UTC clock.
#include <chrono>
#include <thread>

#include "platform/common/seam_state.h"
#include "platform/platform.h"

void Platform_SleepMs(uint32_t ms) {
    uint32_t (*hook)(uint32_t) = SeamState_SleepHook();
    const uint32_t actual = hook != nullptr ? hook(ms) : ms;
    if (actual > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(actual));
    }
}

uint32_t Platform_TickMs() {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count();
    // Keeping the low 32 bits gives the wrap-around of a 32-bit tick counter.
    return static_cast<uint32_t>(static_cast<uint64_t>(ms)) + SeamState_TickOffset();
}

UtcTime Platform_UtcNow() {
    UtcTime fixed{};
    if (SeamState_FixedUtc(&fixed)) {
        return fixed;
    }
    using namespace std::chrono;
    // The system clock counts UTC (leap seconds aside), so the calendar fields follow from it.
    const auto now = time_point_cast<milliseconds>(system_clock::now());
    const auto today = floor<days>(now);
    const year_month_day date{today};
    const hh_mm_ss<milliseconds> clock{now - today};
    UtcTime result{};
    result.year = static_cast<uint16_t>(static_cast<int>(date.year()));
    result.month = static_cast<uint8_t>(static_cast<unsigned>(date.month()));
    result.day = static_cast<uint8_t>(static_cast<unsigned>(date.day()));
    result.hour = static_cast<uint8_t>(clock.hours().count());
    result.minute = static_cast<uint8_t>(clock.minutes().count());
    result.second = static_cast<uint8_t>(clock.seconds().count());
    result.millisecond = static_cast<uint16_t>(clock.subseconds().count());
    return result;
}
