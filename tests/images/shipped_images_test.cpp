// The images built into the program, through the generated tables. The first group holds for any
// firmware folder; the second checks the exact shape of the placeholder images and runs only when
// the build carries them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "images/images.h"

namespace {

TEST(ShippedImages, RecordsLieInsideTheirWindows) {
    ASSERT_FALSE(main3Records.empty());
    for (const FirmwareRecord& r : main3Records) {
        EXPECT_GE(r.length, 1u);
        EXPECT_LE(r.length, 16u);
        EXPECT_GE(r.address, kMain3WindowBase);  // and address + length <= 2^32
        EXPECT_LE(uint64_t{r.address} + r.length, uint64_t{1} << 32);
    }
    int ids = 0;
    for (const FirmwareRecord& r : stackRecords) {
        EXPECT_GE(r.length, 1u);
        EXPECT_LE(r.length, 16u);
        if (r.address == kStackIdAddress) {
            EXPECT_EQ(r.length, 8u);
            ++ids;
        } else {
            EXPECT_LE(r.address + r.length, kStackWindowSize);
        }
    }
    EXPECT_EQ(ids, 1);

    std::vector<uint8_t> buffer(kMain3WindowSize);
    EXPECT_EQ(ExpandRecords(main3Records, kMain3WindowBase, buffer).skipped, 0u);
    std::vector<uint8_t> stack(kStackWindowSize);
    const ExpandResult s = ExpandRecords(stackRecords, 0, stack);
    EXPECT_EQ(s.skipped, 0u);
    EXPECT_TRUE(s.hasId);
    EXPECT_EQ(GetStackImageVersion(), GetStackImageVersion(stackRecords));
}

TEST(ShippedImages, DescriptorsDescribeTheirImages) {
    ASSERT_FALSE(firmwareDescriptors.empty());
    for (const FirmwareDescriptor& d : firmwareDescriptors) {
        EXPECT_LE(d.length, kMaxV2ImageLength);
        EXPECT_GE(d.length, kMain2StampOffset + sizeof(ProgrammingStamp));
        EXPECT_NE(d.image, nullptr);
        EXPECT_NE(std::memchr(d.editionCode, 0, sizeof d.editionCode), nullptr);
        EXPECT_NE(std::memchr(d.versionText, 0, sizeof d.versionText), nullptr);
    }
}

class PlaceholderImages : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef IOLINK_PLACEHOLDER_FIRMWARE
        GTEST_SKIP() << "the build carries other firmware than the placeholders";
#endif
    }
};

TEST_F(PlaceholderImages, Main3) {
    EXPECT_EQ(GetMain3ImageVersion(), 0x03000A);
    ASSERT_EQ(main3Records.size(), 3224u);
    const FirmwareRecord& last = main3Records.back();
    EXPECT_EQ(last.address, 0xFFFFFF60u);
    EXPECT_EQ(last.length, 2u);
    EXPECT_GT(main3Records[main3Records.size() - 2].address, last.address);  // out of order

    std::vector<uint8_t> buffer(kMain3WindowSize);
    ExpandRecords(main3Records, kMain3WindowBase, buffer);
    // Data only within 0xFFFE0000..0xFFFE899F and 0xFFFFC000..0xFFFFFFFF, present at both ends
    // of both ranges; content bytes are never 0xFF, so 0xFF means erased (or the stamp field).
    for (uint32_t p = 0; p < kMain3WindowSize; ++p) {
        const bool inData = p < 0x89A0 || p >= 0x1C000;
        if (!inData) {
            ASSERT_EQ(buffer[p], 0xFF) << std::hex << kMain3WindowBase + p;
        }
    }
    for (uint32_t p : {0x0u, 0x899Fu, 0x1C000u, 0x1FF60u, 0x1FF61u, 0x1FFFFu}) {
        EXPECT_NE(buffer[p], 0xFF) << std::hex << kMain3WindowBase + p;
    }
    for (uint32_t p = kMain3StampOffset; p < kMain3StampOffset + 11; ++p) {
        EXPECT_EQ(buffer[p], 0xFF) << std::hex << kMain3WindowBase + p;
    }
}

TEST_F(PlaceholderImages, Stack) {
    EXPECT_EQ(GetStackImageVersion(), 0x010300);
    ASSERT_EQ(stackRecords.size(), 3212u);
    for (size_t i = 0; i + 1 < stackRecords.size(); ++i) {
        ASSERT_LT(stackRecords[i].address, stackRecords[i + 1].address) << i;
    }
    for (const FirmwareRecord& r : stackRecords.first(stackRecords.size() - 1)) {
        const uint32_t end = r.address + r.length;
        EXPECT_TRUE(end <= 0x1E10 || (r.address >= 0x4000 && end <= 0xEB60))
            << std::hex << r.address;
    }
    std::vector<uint8_t> buffer(kStackWindowSize);
    const ExpandResult s = ExpandRecords(stackRecords, 0, buffer);
    EXPECT_EQ(stackRecords.back().address, kStackIdAddress);
    EXPECT_EQ(s.end, 0xEB60u);
    EXPECT_EQ(std::vector<uint8_t>(s.idRecord.bytes, s.idRecord.bytes + 8),
              (std::vector<uint8_t>{0x30, 0x01, 0x00, 0x00, 0x20, 0xA7, 0xFF, 0xFF}));
    EXPECT_NE(buffer[0x1E0F], 0xFF);
    EXPECT_EQ(buffer[0x1E10], 0xFF);
    EXPECT_NE(buffer[0x4000], 0xFF);
    EXPECT_NE(buffer[0xEB5F], 0xFF);
}

TEST_F(PlaceholderImages, Main2) {
    ASSERT_EQ(firmwareDescriptors.size(), 1u);
    const FirmwareDescriptor& d = firmwareDescriptors[0];
    EXPECT_EQ(d.length, 24038u);
    EXPECT_STREQ(d.editionCode, "SE");
    EXPECT_STREQ(d.versionText, "2.1.7");
    EXPECT_EQ(std::vector<uint8_t>(d.version, d.version + 3), (std::vector<uint8_t>{2, 1, 7}));
    EXPECT_EQ(std::vector<uint8_t>(d.unread, d.unread + 2), (std::vector<uint8_t>{0x12, 0xFF}));
    const std::vector<uint8_t> stamp(d.image + kMain2StampOffset, d.image + kMain2StampOffset + 11);
    EXPECT_EQ(stamp, (std::vector<uint8_t>{0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF}));
    EXPECT_NE(d.image[0], d.image[1]);  // content, not a constant fill
}

}  // namespace
