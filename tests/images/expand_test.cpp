// ExpandRecords and the stack version over small record tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "images/images.h"

namespace {

FirmwareRecord Record(uint32_t length, uint32_t address, uint8_t fill) {
    FirmwareRecord r{length, address, {}};
    std::memset(r.data, fill, sizeof r.data);
    return r;
}

FirmwareRecord IdRecord(std::array<uint8_t, 8> bytes) {
    FirmwareRecord r{8, kStackIdAddress, {}};
    std::copy(bytes.begin(), bytes.end(), r.data);
    std::memset(r.data + 8, 0xEE, 8);
    return r;
}

// A buffer that starts with 0x00 everywhere, so that the 0xFF fill is seen.
std::vector<uint8_t> Dirty(size_t size) {
    return std::vector<uint8_t>(size, 0x00);
}

size_t CountNot(const std::vector<uint8_t>& buffer, uint8_t value) {
    return static_cast<size_t>(
        std::count_if(buffer.begin(), buffer.end(), [value](uint8_t b) { return b != value; }));
}

TEST(ExpandRecords, FillsErasedAndCopiesOnlyTheValidBytes) {
    constexpr uint32_t base = 0x1000;
    // Only the low 8 bits of length count (0x103 is 3); a length above 16 copies the 16 bytes that
    // exist; later records overwrite earlier ones whatever their order.
    const FirmwareRecord records[] = {
        Record(0x103, base + 0x40, 0x11),
        Record(32, base + 0x20, 0x22),
        Record(16, base + 0x00, 0x33),
        Record(4, base + 0x04, 0x44),
    };
    auto buffer = Dirty(0x100);
    const ExpandResult r = ExpandRecords(records, base, buffer);

    EXPECT_EQ(r.end, base + 0x43u);
    EXPECT_FALSE(r.hasId);
    EXPECT_EQ(r.skipped, 0u);
    const std::vector<uint8_t> head(buffer.begin(), buffer.begin() + 16);
    EXPECT_EQ(head, (std::vector<uint8_t>{0x33, 0x33, 0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x33,
                                          0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33}));
    EXPECT_EQ(buffer[0x20], 0x22);
    EXPECT_EQ(buffer[0x2F], 0x22);
    EXPECT_EQ(buffer[0x30], 0xFF);  // the 32-byte record stops after its 16 data bytes
    EXPECT_EQ(buffer[0x42], 0x11);
    EXPECT_EQ(buffer[0x43], 0xFF);  // bytes beyond length never reach the buffer
    EXPECT_EQ(CountNot(buffer, 0xFF), 16u + 16u + 3u);
}

TEST(ExpandRecords, SetsTheIdentificationRecordAside) {
    // A window that contains 0x3FBF8: the record is still not copied into it.
    constexpr uint32_t base = 0x3FB00;
    const FirmwareRecord records[] = {
        Record(16, base + 0x10, 0x5A), IdRecord({0x30, 0x01, 0x00, 0x00, 0x20, 0xA7, 0xFF, 0xFF}),
        Record(16, base + 0x20, 0x5B),
        IdRecord({0x45, 0x02, 1, 2, 3, 4, 5, 6}),  // a second one: the first counts
    };
    auto buffer = Dirty(0x200);
    const ExpandResult r = ExpandRecords(records, base, buffer);

    ASSERT_TRUE(r.hasId);
    EXPECT_EQ(std::vector<uint8_t>(r.idRecord.bytes, r.idRecord.bytes + 8),
              (std::vector<uint8_t>{0x30, 0x01, 0x00, 0x00, 0x20, 0xA7, 0xFF, 0xFF}));
    EXPECT_EQ(r.end, base + 0x30);  // the identification record does not raise end
    EXPECT_EQ(r.skipped, 0u);
    EXPECT_EQ(CountNot(buffer, 0xFF), 32u);
    EXPECT_EQ(buffer[0xF8], 0xFF);
    EXPECT_EQ(GetStackImageVersion(records), 0x010300);
}

TEST(ExpandRecords, TableWithoutIdentificationRecord) {
    const FirmwareRecord records[] = {Record(8, 0x0000, 0x01), Record(8, 0x3FBF0, 0x02)};
    auto buffer = Dirty(0xFFFF);
    const ExpandResult r = ExpandRecords(records, 0, buffer);
    EXPECT_FALSE(r.hasId);
    EXPECT_EQ(GetStackImageVersion(records), 0);
    EXPECT_EQ(GetStackImageVersion(std::span<const FirmwareRecord>{}), 0);
    EXPECT_EQ(r.skipped, 1u);  // 0x3FBF0 lies outside the 0x0000..0xFFFE window
}

TEST(ExpandRecords, LeavesOutRecordsNotWhollyInsideTheWindow) {
    constexpr uint32_t base = 0xFFFE0000;
    constexpr uint32_t size = 0x20000;
    const FirmwareRecord records[] = {
        Record(8, base - 4, 0x01),          // straddles the window's start
        Record(16, 0xFFFFFFF0, 0x02),       // ends exactly at the window's end (2^32)
        Record(8, 0x00000000, 0x03),        // wraps to the window's start: outside
        Record(16, base + size - 8, 0x04),  // would run past the end of the buffer
        Record(4, base + 0x10, 0x05),      Record(4, 0x00001000, 0x06),  // far below the window
    };
    auto buffer = Dirty(size);
    const ExpandResult r = ExpandRecords(records, base, buffer);

    EXPECT_EQ(r.skipped, 4u);
    EXPECT_EQ(CountNot(buffer, 0xFF), 16u + 4u);
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[0x10], 0x05);
    EXPECT_EQ(buffer[size - 16], 0x02);
    EXPECT_EQ(buffer[size - 1], 0x02);

    // With base 0, as for the stack image, end never goes past the buffer.
    const FirmwareRecord stack[] = {Record(16, 0xFFF0, 0x07), Record(15, 0xFFF0, 0x08)};
    auto stackBuffer = Dirty(kStackWindowSize);
    const ExpandResult s = ExpandRecords(stack, 0, stackBuffer);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.end, 0xFFFFu);
    EXPECT_EQ(stackBuffer[0xFFFE], 0x08);
}

TEST(StackVersion, ReadsThreeHexDigitsFromTheFirstIdentificationRecord) {
    const FirmwareRecord records[] = {
        Record(16, 0x0000, 0x00),
        IdRecord({0x4B, 0xF2, 0, 0, 0, 0, 0, 0}),  // high nibble of byte 1 is not version
        IdRecord({0x30, 0x01, 0, 0, 0, 0, 0, 0}),
    };
    EXPECT_EQ(GetStackImageVersion(records), 0x02040B);
}

}  // namespace
