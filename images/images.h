// The firmware images built into the program, their versions, and the two operations that turn
// them into what is sent: ExpandRecords (record table to flash buffer) and StampImage (the
// programming time stamp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// One piece of an image. Only the low 8 bits of length are read.
struct FirmwareRecord {
    uint32_t length;
    uint32_t address;
    uint8_t data[16];
};

// A main image for masters on main firmware 2.x, written from flash address 0 upwards.
struct FirmwareDescriptor {
    uint32_t length;       // at most kMaxV2ImageLength
    char editionCode[3];   // e.g. "SE"
    char versionText[17];  // e.g. "2.1.7"
    uint8_t unread[2];     // not read by the program
    uint8_t version[3];    // major, minor, patch
    const uint8_t* image;
};

// The IO-Link stack's identification record: version in bytes 0 and 1, then six id bytes.
struct StackIdRecord {
    uint8_t bytes[8];
};

// Ten ASCII digits of the programming time, then the sum of their codes modulo 256.
struct ProgrammingStamp {
    char digits[10];
    uint8_t sum;
};
static_assert(sizeof(ProgrammingStamp) == 11);

constexpr uint32_t kStackIdAddress = 0x3FBF8;
constexpr uint32_t kMain3WindowBase = 0xFFFE0000;
constexpr uint32_t kMain3WindowSize = 0x20000;
constexpr uint32_t kStackWindowSize = 0xFFFF;  // 65,535 bytes: flash 0x0000 to 0xFFFE
constexpr uint32_t kMaxV2ImageLength = 0xFFF0;
constexpr uint32_t kMain3StampOffset = 0x1FF70;  // flash 0xFFFFFF70
constexpr uint32_t kMain2StampOffset = 0x007A;

// The shipped data, generated at build time from images/firmware (or the folder the build names).
extern const std::span<const FirmwareRecord> main3Records;
extern const std::span<const FirmwareRecord> stackRecords;
extern const std::span<const FirmwareDescriptor> firmwareDescriptors;

// The version of the 3.x main image, from main3.txt beside it, packed as
// major * 65536 + minor * 256 + patch (3.0.10 for the placeholder images).
extern const int32_t main3ImageVersion;

// True when the images are the repo's placeholders (their folder holds the PLACEHOLDER marker, or
// one of its image files holds the placeholders' data): synthetic data of the right shape that
// must not reach a device unless the build allows it.
extern const bool imagesArePlaceholders;

// The version of the 3.x main image: main3ImageVersion.
int32_t GetMain3ImageVersion();

// The version held by the stack image's identification record, packed as
// major * 65536 + minor * 256 + patch; 0 when the table has no such record.
int32_t GetStackImageVersion();
int32_t GetStackImageVersion(std::span<const FirmwareRecord> records);

struct ExpandResult {
    uint32_t end;            // end address of the highest record (0 if none)
    bool hasId;              // the table holds a record at kStackIdAddress
    StackIdRecord idRecord;  // its eight bytes
    uint32_t skipped;        // records left out because they do not lie wholly inside the window
};

// Fills buffer (the window base..base+buffer.size()) with 0xFF and copies every record into it.
// A record that does not lie wholly inside the window is left out entirely (counted in skipped),
// so end - base never exceeds buffer.size().
ExpandResult ExpandRecords(std::span<const FirmwareRecord> records, uint32_t base,
                           std::span<uint8_t> buffer);

// Writes the programming stamp for the current UTC time at buffer[offset..offset+10].
// Returns false (and writes nothing) when the stamp would not fit the buffer.
bool StampImage(std::span<uint8_t> buffer, uint32_t offset);
