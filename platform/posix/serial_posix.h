// Test knob of the POSIX serial port: how long a write may make no progress before it fails.
#pragma once

#include <cstdint>

// The default bound, in milliseconds.
constexpr uint32_t kPosixSerialWriteStallMs = 2000;

// Sets the bound for the following writes; 0 restores the default.
void PosixSerial_SetWriteStallLimitMs(uint32_t ms);
