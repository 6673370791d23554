// Time services on Windows: Sleep, the GetTickCount millisecond tick and the GetSystemTime clock.
#include <windows.h>

#include "platform/common/seam_state.h"
#include "platform/platform.h"

void Platform_SleepMs(uint32_t ms) {
    uint32_t (*hook)(uint32_t) = SeamState_SleepHook();
    const uint32_t actual = hook != nullptr ? hook(ms) : ms;
    if (actual > 0) {
        Sleep(actual);
    }
}

// GetTickCount wraps at 2^32 milliseconds, which is what the receiver's time-out arithmetic
// expects of the tick.
uint32_t Platform_TickMs() {
    return static_cast<uint32_t>(GetTickCount()) + SeamState_TickOffset();
}

UtcTime Platform_UtcNow() {
    UtcTime fixed{};
    if (SeamState_FixedUtc(&fixed)) {
        return fixed;
    }
    SYSTEMTIME now{};
    GetSystemTime(&now);
    UtcTime result{};
    result.year = static_cast<uint16_t>(now.wYear);
    result.month = static_cast<uint8_t>(now.wMonth);
    result.day = static_cast<uint8_t>(now.wDay);
    result.hour = static_cast<uint8_t>(now.wHour);
    result.minute = static_cast<uint8_t>(now.wMinute);
    result.second = static_cast<uint8_t>(now.wSecond);
    result.millisecond = static_cast<uint16_t>(now.wMilliseconds);
    return result;
}
