// The boot-loader services over the mapped COM port: exact request frames, status bytes, the
// verdict events, and what lands in the master's flash.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "images/images.h"
#include "services/services.h"
#include "tests/windows/com_fixture.h"

namespace {

// The next port event with the given code (bounded wait); other events are passed over.
bool WaitForEvent(int32_t slot, uint16_t code, PortEvent* event) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int32_t status = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (IOL_FetchEvent(slot, event, &status) == IOL_OK && event->eventCode == code) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

Bytes Pattern(size_t count, uint8_t seed) {
    Bytes data(count);
    for (size_t i = 0; i < count; ++i) {
        data[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return data;
}

class ComServices : public ComFixture {
  protected:
    void SetUp() override {
        ComFixture::SetUp();
        PlatformSeam_SetSleepHook(&ShortResponsePolls);
    }
};

TEST_F(ComServices, MainBootLoaderDownloadWithLongAddresses) {
    const int32_t slot = Open();
    uint8_t out1[4] = {};
    uint8_t out2[4] = {};
    ASSERT_EQ(IOL_SP_InitDownload(slot, out1, out2, kFormatLongAddress), 0);
    ASSERT_EQ(IOL_SP_Erase(slot), 0);
    PortEvent verdict{};
    ASSERT_TRUE(WaitForEvent(slot, kEventBootVerdict, &verdict));
    EXPECT_NE(verdict.eventData[1], kVerdictFailure);

    const Bytes data = Pattern(64, 0x21);
    ASSERT_EQ(IOL_SP_Write(slot, kMain3WindowBase + 0x40, 64, data.data(), kFormatLongAddress), 0);
    ASSERT_EQ(IOL_SP_WriteBlock(slot, out1, out2), 0);
    ASSERT_TRUE(WaitForEvent(slot, kEventBootVerdict, &verdict));
    EXPECT_NE(verdict.eventData[1], kVerdictFailure);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);

    const std::vector<Bytes> frames = bench.Received();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], (Bytes{0x05, 0x00, 0x03, 0xC9, 0x00}));
    EXPECT_EQ(frames[1], (Bytes{0x05, 0x00, 0x02, 0xCA, 0x00}));
    Bytes write = {74, 0x00, 0x03, 0xCB, 0x00, 64, 0x40, 0x00, 0xFE, 0xFF};
    write.insert(write.end(), data.begin(), data.end());
    EXPECT_EQ(frames[2], write);
    EXPECT_EQ(frames[3], (Bytes{0x05, 0x00, 0x02, 0xCE, 0x00}));

    const Bytes flash = bench.Flash3();
    ASSERT_GE(flash.size(), 0x80u);
    EXPECT_EQ(Bytes(flash.begin() + 0x40, flash.begin() + 0x80), data);
    EXPECT_EQ(flash[0x3F], 0xFF);
    EXPECT_EQ(flash[0x80], 0xFF);
    EXPECT_EQ(bench.Violations(), "");
}

TEST_F(ComServices, AFailureVerdictArrivesAsAnEvent) {
    ASSERT_TRUE(bench.Command("fault 0xCA:verdict=fail"));
    const int32_t slot = Open();
    ASSERT_EQ(IOL_SP_InitDownload(slot, nullptr, nullptr, kFormatShortAddress), 0);
    ASSERT_EQ(IOL_SP_Erase(slot), 0);
    PortEvent verdict{};
    ASSERT_TRUE(WaitForEvent(slot, kEventBootVerdict, &verdict));
    EXPECT_EQ(verdict.eventData[1], kVerdictFailure);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
}

TEST_F(ComServices, StackBootLoaderWritesChunksAndTheIdentificationRecord) {
    const int32_t slot = Open();
    ASSERT_EQ(IOL_STK_Init(slot, 0), 0);
    const Bytes chunk = Pattern(128, 0x05);
    ASSERT_EQ(IOL_STK_Write(slot, 0, 0x0100, 128, chunk.data()), 0);
    const Bytes id = {0x01, 0x03, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    ASSERT_EQ(IOL_STK_Write(slot, 0, kStackIdAddress, 8, id.data()), 0);
    ASSERT_EQ(IOL_STK_Finish(slot, 0), 0);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);

    const std::vector<Bytes> frames = bench.Received();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], (Bytes{0x05, 0x00, 0x02, 0xE7, 0x00}));
    Bytes write = {138, 0x00, 0x02, 0xE8, 0x00, 0x00, 0x01, 0x00, 0x00, 128};
    write.insert(write.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(frames[1], write);
    Bytes idWrite = {18, 0x00, 0x02, 0xE8, 0x00, 0xF8, 0xFB, 0x03, 0x00, 8};
    idWrite.insert(idWrite.end(), id.begin(), id.end());
    EXPECT_EQ(frames[2], idWrite);
    EXPECT_EQ(frames[3], (Bytes{0x05, 0x00, 0x02, 0xEB, 0x00}));

    const Bytes flash = bench.StackFlash();
    ASSERT_GE(flash.size(), 0x180u);
    EXPECT_EQ(Bytes(flash.begin() + 0x100, flash.begin() + 0x180), chunk);
    EXPECT_EQ(bench.StackIdRecord(), id);
}

}  // namespace
