// The firmware update procedures: main firmware for 3.x and 2.x masters, the replug procedure for
// 2.0.1 to 2.0.9, and the IO-Link stack. Each prints its own progress and failures.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "images/images.h"

// The buffer a main-firmware image is expanded or copied into and sent from.
extern std::array<uint8_t, kMain3WindowSize> workBuffer;

void UpdateMainFirmwareV3(uint8_t row);
void UpdateMainFirmwareV2(uint8_t row);
void UpdateMainFirmwareV2Replug(uint8_t row);
// 0 on success, 1 on failure.
int32_t UpdateStack(uint8_t row);
// The same with another stack image (UpdateStack passes stackRecords).
int32_t UpdateStackWith(uint8_t row, std::span<const FirmwareRecord> records);

// Verdict of the boot loader on the last long step: 0 success, 1 failure, 2 no verdict within 20
// polls, any other value the code of an unexpected event.
int32_t WaitBootResult(int32_t slot, bool busyTolerant);

// Waits for the updated master to come back, then identifies it.
void WaitForMaster();
