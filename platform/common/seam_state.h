// Read side of the test seams, shared by every platform implementation. The setters are declared
// in platform/seams.h; the implementations ask these functions whether a seam is set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "platform/seams.h"

// The sleep hook, or nullptr for real sleeps.
uint32_t (*SeamState_SleepHook())(uint32_t);

// What PlatformSeam_AdvanceTick added to the tick so far (wrapping).
uint32_t SeamState_TickOffset();

// The key hook, or nullptr for the console.
int (*SeamState_KeyHook())();

// True and *out set when the clock is fixed.
bool SeamState_FixedUtc(UtcTime* out);

// The serial read hook, or nullptr for the system's read call.
SerialReadCall (*SeamState_SerialReadHook())();

// True once after PlatformSeam_FailNextThreadStart (the seam disarms itself).
bool SeamState_TakeThreadStartFailure();

// The fake device list; set is false when the system's list is to be used.
struct FakeDeviceListView {
    bool set;
    const FakeDevice* devices;
    size_t count;
};
FakeDeviceListView SeamState_FakeDeviceList();
