// Test seams of the platform layer. The shipped program never calls these; with none of them set,
// every platform operation does exactly what the system does. Tests use them to fix the clock,
// shorten long sleeps, answer key presses, replace the device list and make a thread start fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// A device of a test-supplied device list. A nullptr text cannot be read (as an absent property).
struct FakeDevice {
    const char* instanceId;
    const char* friendlyName;
    const char* description;
    const char* serialNumber = nullptr;
    const char* location = nullptr;
};

// Replaces the system's device list by count devices (the array must outlive its use); nullptr
// restores the system's list.
void PlatformSeam_SetDeviceList(const FakeDevice* devices, size_t count);

// Fixes Platform_UtcNow at *time; nullptr restores the clock.
void PlatformSeam_SetFixedUtc(const UtcTime* time);

// Every Platform_SleepMs(ms) sleeps hook(ms) milliseconds instead; nullptr restores real sleeps.
// The hook also lets a test record the sleeps that were asked for. It may run on any thread.
void PlatformSeam_SetSleepHook(uint32_t (*hook)(uint32_t ms));

// Moves Platform_TickMs on by ms (added to every later tick): a sleep hook that shortens a long
// wait can advance the tick by what the wait would have taken. The offset stays until the process
// ends.
void PlatformSeam_AdvanceTick(uint32_t ms);

// Platform_ReadKey returns hook() instead of reading the console; nullptr restores the console.
void PlatformSeam_SetKeyHook(int (*hook)());

// Records a stop request as a handler does (a signal or console event that a test cannot send
// to its own process without ending it); PlatformSeam_ClearStops forgets every request.
void PlatformSeam_RecordStop(StopCause cause, bool urgent);
void PlatformSeam_ClearStops();

// The next Platform_ThreadStart fails (returns nullptr) without starting a thread.
void PlatformSeam_FailNextThreadStart();

// What the system's read call of a serial port returned (read(2) on POSIX, ReadFile on Windows),
// in that call's own terms: got is the number of bytes read (0 or 1) or -1 for a failed call,
// error the system's error code of a failed call (errno, or GetLastError()).
struct SerialReadCall {
    int got;
    uint8_t byte;
    uint32_t error;
};

// Every one-byte read of every open serial port takes hook() as the result of the system's read
// call instead of making it; the platform's own handling of that result (which errors mean a lost
// device, what follows a failed read) is unchanged. nullptr restores the system's call. The hook
// runs on the receive threads.
void PlatformSeam_SetSerialReadHook(SerialReadCall (*hook)());

// POSIX only: the folders that stand for /sys and /dev (for a fake sysfs tree and device nodes);
// nullptr restores the real ones.
void PlatformSeam_SetPosixRoots(const char* sysRoot, const char* devRoot);
