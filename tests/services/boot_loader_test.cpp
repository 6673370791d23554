// The main controller's boot-loader calls and IOL_FetchEvent.
#include <cstring>

#include "tests/services/services_test_support.h"

namespace {

using BootLoaderTest = ServiceFixture;

TEST_F(BootLoaderTest, WriteFramesInBothAddressForms) {
    AnswerStatus(kFrameTypeSpWrite, 0);
    const Bytes data = Pattern(64, 0x10);
    ASSERT_EQ(IOL_SP_Write(slot, 0xFFFE0000u, 64, data.data(), kFormatLongAddress), 0);
    ASSERT_EQ(IOL_SP_Write(slot, 0xFFFE0000u, 64, data.data(), kFormatShortAddress), 0);
    ASSERT_EQ(IOL_SP_Write(slot, 0x00012345u, 3, data.data(), 5), 0);  // any format but 3
    ASSERT_EQ(IOL_SP_Write(slot, 0x01020304u, 0, nullptr, kFormatLongAddress), 0);
    ASSERT_EQ(IOL_SP_Write(slot, 0x01020304u, 0, nullptr, kFormatShortAddress), 0);
    const auto frames = Requests(5);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0],
              Concat({{0x4A, 0x00, 0x03, 0xCB, 0x00, 0x40, 0x00, 0x00, 0xFE, 0xFF}, data}));
    EXPECT_EQ(frames[1], Concat({{0x48, 0x00, 0x02, 0xCB, 0x00, 0x40, 0x00, 0x00}, data}));
    EXPECT_EQ(frames[2], (Bytes{0x0B, 0x00, 0x05, 0xCB, 0x00, 0x03, 0x45, 0x23, 0x10, 0x11, 0x12}));
    EXPECT_EQ(frames[3], (Bytes{0x0A, 0x00, 0x03, 0xCB, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(frames[4], (Bytes{0x08, 0x00, 0x02, 0xCB, 0x00, 0x00, 0x04, 0x03}));
}

TEST_F(BootLoaderTest, LongestWriteFitsTheRequest) {
    AnswerStatus(kFrameTypeSpWrite, 0);
    const Bytes data = Pattern(255, 0x80);
    ASSERT_EQ(IOL_SP_Write(slot, 0xFFFE1000u, 255, data.data(), kFormatLongAddress), 0);
    const Bytes frame = Requests(1)[0];
    ASSERT_EQ(frame.size(), 265u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 10),
              (Bytes{0x09, 0x01, 0x03, 0xCB, 0x00, 0xFF, 0x00, 0x10, 0xFE, 0xFF}));
    EXPECT_EQ(Bytes(frame.begin() + 10, frame.end()), data);
}

TEST_F(BootLoaderTest, RequestsWithoutPayload) {
    AnswerStatus(kFrameTypeSpErase, 0);
    AnswerStatus(kFrameTypeSpFinish, 0);
    AnswerStatus(kFrameTypeSpInitDownload, 0);
    AnswerStatus(kFrameTypeSpWriteBlock, 0);
    EXPECT_EQ(IOL_SP_Erase(slot), 0);
    EXPECT_EQ(IOL_SP_Finish(slot), 0);
    EXPECT_EQ(IOL_SP_InitDownload(slot, nullptr, nullptr, kFormatLongAddress), 0);
    EXPECT_EQ(IOL_SP_InitDownload(slot, nullptr, nullptr, kFormatShortAddress), 0);
    EXPECT_EQ(IOL_SP_WriteBlock(slot, nullptr, nullptr), 0);
    const auto frames = Requests(5);
    EXPECT_EQ(frames[0], (Bytes{0x05, 0x00, 0x02, 0xCA, 0x00}));
    EXPECT_EQ(frames[1], (Bytes{0x05, 0x00, 0x02, 0xCD, 0x00}));
    EXPECT_EQ(frames[2], (Bytes{0x05, 0x00, 0x03, 0xC9, 0x00}));
    EXPECT_EQ(frames[3], (Bytes{0x05, 0x00, 0x02, 0xC9, 0x00}));
    EXPECT_EQ(frames[4], (Bytes{0x05, 0x00, 0x02, 0xCE, 0x00}));
}

TEST_F(BootLoaderTest, ExactEraseResponse) {
    vm.SetHandler(kFrameTypeSpErase, [](VirtualMaster& master, const Bytes&) {
        master.SendRaw({0x06, 0x00, 0x02, 0xCA, 0x00, 0x00});
    });
    EXPECT_EQ(IOL_SP_Erase(slot), 0);
}

TEST_F(BootLoaderTest, OutBuffersComeFromFixedResponseBytes) {
    // Response payload from byte 4: status at 5, then a pattern through byte 27.
    Bytes initPayload = Pattern(24, 0x30);
    initPayload[1] = 0x00;
    Bytes blockPayload = Pattern(10, 0x60);
    blockPayload[1] = 0x07;
    Answer(kFrameTypeSpInitDownload, {{0xC9, initPayload}, {0xC8, initPayload}});
    Answer(kFrameTypeSpWriteBlock, {{0xCE, blockPayload}, {0xCF, blockPayload}});

    uint8_t first[4] = {};
    uint8_t second[4] = {};
    EXPECT_EQ(IOL_SP_InitDownload(slot, first, second, kFormatLongAddress), 0);
    EXPECT_EQ(Bytes(first, first + 4), (Bytes{0x40, 0x41, 0x42, 0x43}));    // bytes 20-23
    EXPECT_EQ(Bytes(second, second + 4), (Bytes{0x44, 0x45, 0x46, 0x47}));  // bytes 24-27

    EXPECT_EQ(IOL_SP_WriteBlock(slot, first, second), 7);
    EXPECT_EQ(Bytes(first, first + 4), (Bytes{0x62, 0x63, 0x64, 0x65}));    // bytes 6-9
    EXPECT_EQ(Bytes(second, second + 4), (Bytes{0x66, 0x67, 0x68, 0x69}));  // bytes 10-13

    // Another frame type: 0x1000 and the out-buffers are left alone.
    std::memset(first, 0xEE, 4);
    std::memset(second, 0xEE, 4);
    EXPECT_EQ(IOL_SP_InitDownload(slot, first, second, kFormatLongAddress), IOL_BOOT_FRAME_TYPE);
    EXPECT_EQ(IOL_SP_WriteBlock(slot, first, second), IOL_BOOT_FRAME_TYPE);
    EXPECT_EQ(Bytes(first, first + 4), Bytes(4, 0xEE));
    EXPECT_EQ(Bytes(second, second + 4), Bytes(4, 0xEE));
}

TEST_F(BootLoaderTest, StatusByteAndOtherFrameType) {
    Answer(kFrameTypeSpErase, {{0xCA, {0x00, 0x05}}, {0x67, {0x00, 0x00}}, {0xCA, {0x00, 0x00}}});
    EXPECT_EQ(IOL_SP_Erase(slot), 5);
    EXPECT_EQ(IOL_SP_Erase(slot), IOL_BOOT_FRAME_TYPE);
    // The mismatched response was cleared: this call waits for and takes its own.
    EXPECT_EQ(IOL_SP_Erase(slot), 0);
    EXPECT_EQ(link->responseReady.load(), 0);
}

TEST_F(BootLoaderTest, WriteDiscardsALateResponseFirst) {
    AnswerStatus(kFrameTypeSpWrite, 0);
    // A response to an earlier call that had stopped waiting.
    vm.SendRaw(VirtualMaster::MakeFrame(kFrameTypeSpWrite, {0x00, 0x07}));
    ASSERT_TRUE(WaitForResponse());
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(IOL_SP_Write(slot, 0, 2, data, kFormatShortAddress), 0);
}

// ---- Events ----

TEST_F(BootLoaderTest, FetchEventOnAnEmptyRing) {
    PortEvent event{0x1111, 0x2222, 0x3333, {1, 2, 3, 4, 5}};
    int32_t status = 0x4444;
    EXPECT_EQ(IOL_FetchEvent(slot, &event, &status), IOL_ERR_NO_EVENT);
    EXPECT_EQ(event.number, 0x1111);
    EXPECT_EQ(event.eventCode, 0x3333);
    EXPECT_EQ(status, 0x4444);
    EXPECT_EQ(IOL_FetchEvent(0, &event, &status), IOL_ERR_NO_LINK);
}

TEST_F(BootLoaderTest, FetchEventTakesTheOldestAndReportsMore) {
    const uint8_t verdict[5] = {0x00, 0xC0, 0x00, 0x00, 0x00};
    const uint8_t operate[5] = {0x00, 0x80, 0x00, 0x00, 0x00};  // port 0: state 2, flag 1
    vm.SendPortEvent(7, verdict, kEventBootVerdict);
    vm.SendPortEvent(0, operate, 0x0010);
    ASSERT_TRUE(WaitForEvents(2));

    PortEvent event{};
    event.port = 0xABCD;
    int32_t status = 0;
    ASSERT_EQ(IOL_FetchEvent(slot, &event, &status), IOL_OK);
    EXPECT_EQ(event.number, 1);
    EXPECT_EQ(event.eventCode, kEventBootVerdict);
    EXPECT_EQ(event.eventData[1], kVerdictFailure);
    EXPECT_EQ(event.port, 0xABCD);  // the caller's port is left as it was
    EXPECT_EQ(status, 0x89 | 0x04);

    ASSERT_EQ(IOL_FetchEvent(slot, &event, &status), IOL_OK);
    EXPECT_EQ(event.number, 2);
    EXPECT_EQ(event.eventCode, 0x0010);
    EXPECT_EQ(status, 0x89);
    EXPECT_EQ(IOL_FetchEvent(slot, &event, &status), IOL_ERR_NO_EVENT);
}

TEST_F(BootLoaderTest, FetchAfterTwelveEventsGivesTheNewestTenOldestFirst) {
    for (uint16_t i = 1; i <= 12; ++i) {
        const uint8_t data[5] = {static_cast<uint8_t>(i), 0, 0, 0x40, 0};
        vm.SendPortEvent(1, data, kEventBootBusy);
    }
    ASSERT_TRUE(WaitForEvents(12));
    PortEvent event{};
    int32_t status = 0;
    for (uint16_t expected = 3; expected <= 12; ++expected) {
        ASSERT_EQ(IOL_FetchEvent(slot, &event, &status), IOL_OK);
        EXPECT_EQ(event.number, expected);
        EXPECT_EQ(event.eventData[0], expected);
        EXPECT_EQ(status & 0x04, expected < 12 ? 0x04 : 0);
    }
    EXPECT_EQ(IOL_FetchEvent(slot, &event, &status), IOL_ERR_NO_EVENT);
}

}  // namespace
