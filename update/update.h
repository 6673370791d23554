// The firmware update procedures: main firmware for 3.x and 2.x masters, the replug procedure for
// 2.0.1 to 2.0.9, and the IO-Link stack. Each prints its own progress and failures.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "images/images.h"

// The buffer a main-firmware image is expanded or copied into and sent from.
extern std::array<uint8_t, kMain3WindowSize> workBuffer;

// Main-firmware images go out in writes of at most 64 bytes, committed in blocks of 8 KB.
constexpr uint32_t kMainChunkBytes = 64;
constexpr uint32_t kMainBlockBytes = 8192;

// Where the next write of a main-firmware image comes from and goes to.
struct ImageCursor {
    uint32_t cursor = 0;     // position in workBuffer of the next byte to send
    uint32_t remaining = 0;  // bytes still to send
    uint32_t address = 0;    // flash address of the next write
};

// The result of a chunk loop that stopped because a write would read beyond workBuffer: above
// every status byte and the boot loader's 0x1000, so that it counts as a failure like them.
constexpr int32_t kImageBeyondBuffer = 0x2000;

// The chunk loop of one 8 KB block: writes of at most 64 bytes (the last one raised to a multiple
// of 16) from workBuffer until the block holds 8192 bytes or nothing remains, with a progress dot
// at every eighth write from the fourth. Returns 0 when every write was accepted; otherwise the
// failed write's result, or kImageBeyondBuffer when the next write would read beyond workBuffer,
// after printing its message with linePrefix ("" or "\n") before it. Nothing is committed here.
int32_t WriteImageChunks(int32_t slot, uint8_t format, ImageCursor& at, const char* linePrefix);

// The 2.x image that a row's mainChoiceV2 names (1-based), or nullptr when it names none.
const FirmwareDescriptor* ChosenV2Image(uint8_t mainChoiceV2);

// Copies a 2.x image to the start of workBuffer, stamps it, and returns the bytes to send.
uint32_t LoadV2Image(const FirmwareDescriptor& descriptor);

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
