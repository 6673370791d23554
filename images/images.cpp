// Image versions, record expansion and the programming stamp.
#include "images/images.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int32_t GetMain3ImageVersion() {
    // The 3.x image carries no version record that the program reads; its version comes with it,
    // from the firmware folder, so that the selection compares masters with the image built in.
    return main3ImageVersion;
}

int32_t GetStackImageVersion() {
    return GetStackImageVersion(stackRecords);
}

int32_t GetStackImageVersion(std::span<const FirmwareRecord> records) {
    for (const FirmwareRecord& record : records) {
        if (record.address == kStackIdAddress) {
            // Three hex digits: major in the low nibble of byte 1, minor and patch in byte 0.
            const uint8_t d0 = record.data[0];
            const uint8_t d1 = record.data[1];
            return (d1 & 0x0F) * 65536 + (d0 >> 4) * 256 + (d0 & 0x0F);
        }
    }
    return 0;
}

ExpandResult ExpandRecords(std::span<const FirmwareRecord> records, uint32_t base,
                           std::span<uint8_t> buffer) {
    ExpandResult result{};
    std::fill(buffer.begin(), buffer.end(), uint8_t{0xFF});
    const uint64_t size = buffer.size();

    for (const FirmwareRecord& record : records) {
        if (record.address == kStackIdAddress) {
            // The identification record is written on its own after the image. Should a table
            // hold more than one, the first counts, as it does for GetStackImageVersion.
            if (!result.hasId) {
                result.hasId = true;
                std::memcpy(result.idRecord.bytes, record.data, sizeof result.idRecord.bytes);
            }
            continue;
        }
        // Only the low 8 bits of length are read; data holds 16 bytes, so no more are copied.
        const uint32_t length = std::min<uint32_t>(record.length & 0xFF, sizeof record.data);
        // Position in the window in 32-bit arithmetic: an address below base wraps to a large
        // position and fails the test below like one beyond the window.
        const uint32_t position = record.address - base;
        if (position >= size || length > size - position) {
            // Not wholly inside the window: left out entirely rather than clipped, so that no
            // byte lands outside the buffer and end never points past it. The build refuses
            // such records in the shipped images; the count lets a caller notice them.
            ++result.skipped;
            continue;
        }
        // 32-bit like the addresses: a record that ends exactly at 2^32 (the top of the 3.x
        // window) gives 0 here and does not raise end. The 3.x image is sent whole, so nothing
        // reads end for it; for the stack window (base 0) end is exact.
        const uint32_t end = record.address + length;
        if (end > result.end) {
            result.end = end;
        }
        std::memcpy(buffer.data() + position, record.data, length);
    }
    return result;
}

bool StampImage(std::span<uint8_t> buffer, uint32_t offset) {
    if (offset > buffer.size() || buffer.size() - offset < sizeof(ProgrammingStamp)) {
        return false;
    }
    const UtcTime now = Platform_UtcNow();

    // Not a true count of days: a year counts 372 * 31 = 11,532 units here, a month 31. Every
    // step is unsigned 32-bit arithmetic, so the seconds wrap modulo 2^32 (they have since 2018)
    // and a year before 2013 wraps the same way instead of going negative.
    const uint32_t days = ((uint32_t{now.year} - 2013u) * 372u + now.month) * 31u + now.day;
    const uint32_t seconds = ((days * 24u + now.hour) * 60u + now.minute) * 60u + now.second;

    char text[16];
    std::snprintf(text, sizeof text, "%010lu", static_cast<unsigned long>(seconds));

    ProgrammingStamp stamp{};
    uint8_t sum = 0;
    for (size_t i = 0; i < sizeof stamp.digits; ++i) {
        stamp.digits[i] = text[i];
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(text[i]));
    }
    stamp.sum = sum;
    std::memcpy(buffer.data() + offset, &stamp, sizeof stamp);
    return true;
}
