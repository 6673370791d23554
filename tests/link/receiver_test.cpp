// The receive thread: frame assembly, response hand-off, the event ring and per-port state, log
// lines and the capture, against a virtual master on a pseudo-terminal.
#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "tests/link/link_test_support.h"
#include "tests/support/read_error_probe.h"

namespace {

using ReceiverTest = LinkFixture;

Bytes Response(uint8_t type, const Bytes& payload) {
    return VirtualMaster::MakeFrame(type, payload);
}

Bytes HeldResponse(const Link* link) {
    return Bytes(link->response.begin(), link->response.begin() + link->responseLength);
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- Frame assembly ----

TEST_F(ReceiverTest, LengthFieldsZeroToFiveTakeFiveBytesAndCopyTheAnnouncedLength) {
    Open();
    for (uint8_t length = 0; length <= 5; ++length) {
        SCOPED_TRACE(static_cast<int>(length));
        // A full response first, so that a stale byte would show in the short one.
        vm.SendRaw(Response(0x70, Bytes(20, 0xEE)));
        ASSERT_TRUE(WaitForResponse());
        Link_ReleaseResponse(link);

        const Bytes shortFrame = {length, 0x00, 0x02, 0x55, 0xAA};
        const uint16_t eventsBefore = EventCount();
        // The port event right behind must start at the sixth byte.
        vm.SendRaw(shortFrame);
        ASSERT_TRUE(Sync());
        ASSERT_EQ(EventCount(), eventsBefore + 1);
        ASSERT_EQ(link->responseReady.load(), 1);
        EXPECT_EQ(link->responseLength, length);
        EXPECT_EQ(HeldResponse(link), Bytes(shortFrame.begin(), shortFrame.begin() + length));
        // What the frame does not carry reads 0, never a byte of the earlier response.
        EXPECT_TRUE(std::all_of(link->response.begin() + length, link->response.end(),
                                [](uint8_t b) { return b == 0; }));
        Link_ReleaseResponse(link);
    }
}

TEST_F(ReceiverTest, DroppedFramesRestartAtTheNextByte) {
    Open();
    const Bytes good = Response(0x71, {0x01, 0x02, 0x03});
    // Length 501: dropped after its second byte, the third starts the next frame.
    vm.SendRaw(Cat({0xF5, 0x01}, good));
    ASSERT_TRUE(WaitForResponse());
    EXPECT_EQ(HeldResponse(link), good);
    Link_ReleaseResponse(link);

    // Format byte 0x03: dropped after the third byte.
    vm.SendRaw(Cat({0x05, 0x00, 0x03}, good));
    ASSERT_TRUE(WaitForResponse());
    EXPECT_EQ(HeldResponse(link), good);
    Link_ReleaseResponse(link);

    // Length 500 is still accepted.
    Bytes longest = Response(0x72, Bytes(496, 0x5A));
    ASSERT_EQ(longest.size(), 500u);
    vm.SendRaw(longest);
    ASSERT_TRUE(WaitForResponse());
    EXPECT_EQ(link->response[3], 0x72);
    Link_ReleaseResponse(link);
}

TEST_F(ReceiverTest, HeaderTimesOutAfter100MsButPayloadMayTrickle) {
    Open();
    IOL_StartCapture();
    uint8_t captured[kCaptureSize];
    // A lone first byte, then silence well past 100 ms (counted from the moment the thread has
    // taken the byte): the partial frame is dropped, the next frame stands on its own.
    vm.SendRaw({0x09});
    ASSERT_TRUE(WaitUntil([&] { return IOL_ReadCapture(captured, sizeof(captured)) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const Bytes good = Response(0x73, {0x10, 0x20});
    vm.SendRaw(good);
    ASSERT_TRUE(WaitForResponse());
    EXPECT_EQ(HeldResponse(link), good);
    Link_ReleaseResponse(link);

    // A header in time, then a payload over more than a second: assembled whole.
    const Bytes slow = Response(0x74, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    vm.SendRaw(Bytes(slow.begin(), slow.begin() + 4));
    vm.SendRawSlowly(Bytes(slow.begin() + 4, slow.end()), 130);
    ASSERT_TRUE(WaitForResponse());
    EXPECT_EQ(HeldResponse(link), slow);
}

TEST_F(ReceiverTest, ResponseLongerThanTheBufferKeepsItsFirst384Bytes) {
    Open();
    Bytes payload(446);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(i);
    }
    const Bytes big = Response(0x75, payload);
    ASSERT_EQ(big.size(), 450u);
    vm.SendRaw(big);
    ASSERT_TRUE(WaitForResponse());
    EXPECT_EQ(link->responseLength, kFrameBufferSize);
    EXPECT_EQ(HeldResponse(link), Bytes(big.begin(), big.begin() + kFrameBufferSize));
    Link_ReleaseResponse(link);
    // The receiver goes on with the next frame.
    const Bytes next = Response(0x76, {0x42});
    vm.SendRaw(next);
    ASSERT_TRUE(WaitForResponse());
    EXPECT_EQ(HeldResponse(link), next);
}

// ---- Response hand-off ----

TEST_F(ReceiverTest, UnreadResponseIsNeverOverwritten) {
    Open();
    const Bytes first = Response(0x77, {0x01});
    vm.SendRaw(Cat(first, Response(0x78, {0x02})));
    ASSERT_TRUE(Sync());
    ASSERT_EQ(link->responseReady.load(), 1);
    EXPECT_EQ(HeldResponse(link), first);
    Link_ReleaseResponse(link);
    // The second was dropped, not kept for later.
    ASSERT_TRUE(Sync());
    EXPECT_EQ(link->responseReady.load(), 0);
}

TEST_F(ReceiverTest, EventsAndLogRecordsAreNotResponses) {
    Open();
    vm.SendRaw(Response(kFrameTypeLog, {0x00, 0x01, 0x01, 0x09}));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(link->responseReady.load(), 0);
}

// ---- Event ring and per-port state ----

TEST_F(ReceiverTest, TwelveEventsWithoutReaderKeepTheNewestTen) {
    Open();
    for (uint8_t i = 1; i <= 12; ++i) {
        const uint8_t data[5] = {i, 0, 0, 0, 0};
        vm.SendPortEvent(1, data, static_cast<uint16_t>(0x100 + i));
    }
    ASSERT_TRUE(WaitForEvents(12));
    LibraryLockGuard guard;
    EXPECT_EQ(link->eventCount, 12);
    EXPECT_EQ((link->eventHead + kEventRingSize - link->eventTail) % kEventRingSize, 10u);
    for (size_t k = 0; k < 10; ++k) {
        const PortEvent& event = link->events[(link->eventTail + k) % kEventRingSize];
        EXPECT_EQ(event.number, 3 + k);
        EXPECT_EQ(event.port, 1);
        EXPECT_EQ(event.eventCode, 0x100 + 3 + k);
        EXPECT_EQ(event.eventData[0], 3 + k);
    }
}

TEST_F(ReceiverTest, PortEventsSetPortStateAndFlag) {
    Open();
    const uint8_t connected[5] = {0x11, 0xC0, 0x22, 0x33, 0x44};  // byte 6 0xC0, byte 8 0x33
    vm.SendPortEvent(2, connected, 0x0010);
    ASSERT_TRUE(WaitForEvents(1));
    {
        LibraryLockGuard guard;
        EXPECT_EQ(link->portState[2], 1);
        EXPECT_EQ(link->portFlag[2], 1);
        const PortEvent& event = link->events[0];
        EXPECT_EQ(event.number, 1);
        EXPECT_EQ(event.port, 2);
        EXPECT_EQ(event.eventCode, 0x0010);
        EXPECT_EQ(Bytes(event.eventData, event.eventData + 5), Bytes(connected, connected + 5));
    }
    const uint8_t operate[5] = {0, 0x80, 0, 0x40, 0};  // byte 8 0x40 clears the flag
    vm.SendPortEvent(4, operate, 0x0010);
    const uint8_t gone[5] = {0, 0, 0, 0, 0};
    vm.SendPortEvent(2, gone, 0x0024);
    const uint8_t other[5] = {0, 0xC0, 0, 0, 0};  // another code leaves the state, sets the flag
    vm.SendPortEvent(4, other, 0x0030);
    ASSERT_TRUE(WaitForEvents(4));
    LibraryLockGuard guard;
    EXPECT_EQ(link->portState[2], 3);
    EXPECT_EQ(link->portFlag[2], 0);
    EXPECT_EQ(link->portState[4], 2);
    EXPECT_EQ(link->portFlag[4], 1);
}

// A port that went (code 0x24) keeps state 3 through a later event of another code, which flags it.
TEST_F(ReceiverTest, GonePortWithALaterEventReadsGoneAndFlagged) {
    Open();
    const uint8_t gone[5] = {0, 0, 0, 0, 0};
    vm.SendPortEvent(2, gone, 0x0024);
    const uint8_t other[5] = {0, 0, 0, 0x11, 0};
    vm.SendPortEvent(2, other, 0x0030);
    ASSERT_TRUE(WaitForEvents(2));
    EXPECT_EQ(Link_PortStatusBits(link, 2), 0x80 | 0x02 | 0x08 | 0x04);
}

TEST_F(ReceiverTest, PortNumbersAbove15GoIntoTheRingOnly) {
    Open();
    const uint8_t data[5] = {0, 0x80, 0, 0, 0};
    vm.SendPortEvent(200, data, 0x0010);
    ASSERT_TRUE(WaitForEvents(1));
    LibraryLockGuard guard;
    EXPECT_EQ(link->events[0].port, 200);
    for (size_t p = 0; p < kPortCount; ++p) {
        EXPECT_EQ(link->portState[p], 0);
        EXPECT_EQ(link->portFlag[p], 0);
    }
    EXPECT_EQ(Link_PortStatusBits(link, 200), 0x04);
}

TEST_F(ReceiverTest, ShortPortEventReadsZeroForMissingFields) {
    Open();
    const uint8_t full[5] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    vm.SendPortEvent(1, full, 0xBEEF);
    // Eight bytes: port 3, detail bytes 5..7; bytes 8..11 are not carried.
    vm.SendRaw({0x08, 0x00, 0x02, 0x04, 0x03, 0xB1, 0xB2, 0xB3});
    ASSERT_TRUE(WaitForEvents(2));
    LibraryLockGuard guard;
    const PortEvent& event = link->events[1];
    EXPECT_EQ(event.port, 3);
    EXPECT_EQ(Bytes(event.eventData, event.eventData + 5), (Bytes{0xB1, 0xB2, 0xB3, 0, 0}));
    EXPECT_EQ(event.eventCode, 0);
    EXPECT_EQ(link->portFlag[3], 1);
}

TEST_F(ReceiverTest, PortStatusBits) {
    Open();
    EXPECT_EQ(Link_PortStatusBits(link, 255), 0x00);
    const uint8_t noise[5] = {0, 0, 0, 0x40, 0};
    vm.SendPortEvent(9, noise, 0x0001);
    vm.SendPortEvent(9, noise, 0x0001);
    ASSERT_TRUE(WaitForEvents(2));
    EXPECT_EQ(Link_PortStatusBits(link, 255), 0x04);

    const uint8_t operate[5] = {0, 0x80, 0, 0x00, 0};  // state 2, flag 1
    vm.SendPortEvent(3, operate, 0x0010);
    const uint8_t gone[5] = {0, 0, 0, 0, 0};  // state 3, flag 0
    vm.SendPortEvent(5, gone, 0x0024);
    const uint8_t connected[5] = {0, 0xC0, 0, 0x40, 0};  // state 1
    vm.SendPortEvent(6, connected, 0x0010);
    ASSERT_TRUE(WaitForEvents(5));
    {
        LibraryLockGuard guard;
        link->eventTail = link->eventHead;  // as if every event had been fetched
    }
    EXPECT_EQ(Link_PortStatusBits(link, 3), 0x89);
    EXPECT_EQ(Link_PortStatusBits(link, 5), 0x82);
    EXPECT_EQ(Link_PortStatusBits(link, 6), 0x80);
    EXPECT_EQ(Link_PortStatusBits(link, 7), 0x00);
    EXPECT_EQ(Link_PortStatusBits(link, 255), 0x00);
}

// ---- Log lines ----

class LogTest : public ReceiverTest {
  protected:
    void SetUp() override {
        ReceiverTest::SetUp();
        PlatformSeam_SetFixedUtc(&kTime);
        Open();
    }

    std::string WaitForLines(size_t lines) {
        std::string text;
        WaitUntil([&] {
            LibraryLockGuard guard;
            text = log.str();
            return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines;
        });
        return text;
    }

    static constexpr UtcTime kTime{2019, 1, 21, 13, 5, 9, 7};
    std::ostringstream log;
};

TEST_F(LogTest, BothDateStyles) {
    ASSERT_EQ(IOL_SetLogStream(slot, &log, 0), IOL_OK);
    vm.SendRaw(Response(kFrameTypeLog, {0x00, 17, 3, 1, 2, 255}));
    EXPECT_EQ(WaitForLines(1), "\"2019/01/21 13:05:09.007\";17;3;3;1;2;255\n");

    ASSERT_EQ(IOL_SetLogStream(slot, &log, 0x0107), IOL_OK);  // low byte 7
    vm.SendRaw(Response(kFrameTypeLog, {0x00, 200, 0}));
    EXPECT_EQ(WaitForLines(2),
              "\"2019/01/21 13:05:09.007\";17;3;3;1;2;255\n"
              "\"21.01.2019 13:05:09.007\";200;0;0\n");
}

TEST_F(LogTest, ThirdNumberCountsTheValuesWritten) {
    ASSERT_EQ(IOL_SetLogStream(slot, &log, 0), IOL_OK);
    // Five values announced, two carried by the frame.
    vm.SendRaw(Response(kFrameTypeLog, {0x00, 4, 5, 10, 20}));
    EXPECT_EQ(WaitForLines(1), "\"2019/01/21 13:05:09.007\";4;5;2;10;20\n");
}

TEST_F(LogTest, OverlongLineStopsAtTheBufferAndStillEnds) {
    ASSERT_EQ(IOL_SetLogStream(slot, &log, 0), IOL_OK);
    Bytes payload = {0x00, 1, 255};
    payload.insert(payload.end(), 255, 255);
    vm.SendRaw(Response(kFrameTypeLog, payload));
    const std::string line = WaitForLines(1);
    ASSERT_FALSE(line.empty());
    EXPECT_LE(line.size(), 399u);  // 400-byte buffer with its terminator
    EXPECT_EQ(line.back(), '\n');
    const std::string head = "\"2019/01/21 13:05:09.007\";1;255;";
    ASSERT_EQ(line.rfind(head, 0), 0u);
    const size_t written = std::stoul(line.substr(head.size()));
    EXPECT_LT(written, 255u);
    EXPECT_GT(written, 80u);
    const size_t values = static_cast<size_t>(std::count(line.begin(), line.end(), ';')) - 3;
    EXPECT_EQ(values, written);
    // One more value would not have fitted.
    EXPECT_GT(line.size() + 4, 399u);
}

TEST_F(LogTest, NoStreamNoLine) {
    ASSERT_EQ(IOL_SetLogStream(slot, &log, 0), IOL_OK);
    ASSERT_EQ(IOL_SetLogStream(slot, nullptr, 0), IOL_OK);
    vm.SendRaw(Response(kFrameTypeLog, {0x00, 1, 1, 1}));
    ASSERT_TRUE(Sync());
    LibraryLockGuard guard;
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(IOL_SetLogStream(0, &log, 0), IOL_ERR_NO_LINK);
}

// ---- Capture ----

TEST_F(ReceiverTest, CaptureRecordsReceivedBytesUpTo1000) {
    Open();
    uint8_t captured[kCaptureSize + 10];
    // Switched off, the capture takes nothing.
    const size_t before = IOL_ReadCapture(captured, sizeof(captured));
    const Bytes first = Response(0x79, {1, 2, 3});
    vm.SendRaw(first);
    ASSERT_TRUE(WaitForResponse());
    Link_ReleaseResponse(link);
    EXPECT_EQ(IOL_ReadCapture(captured, sizeof(captured)), before);

    IOL_StartCapture();
    vm.SendRaw(first);
    ASSERT_TRUE(WaitForResponse());
    ASSERT_EQ(IOL_ReadCapture(captured, sizeof(captured)), first.size());
    EXPECT_EQ(Bytes(captured, captured + first.size()), first);
    EXPECT_EQ(IOL_ReadCapture(captured, 2), 2u);

    // Garbage (length 0xFFFF frames, dropped) until the capture is full.
    vm.SendRaw(Bytes(1100, 0xFF));
    ASSERT_TRUE(
        WaitUntil([&] { return IOL_ReadCapture(captured, sizeof(captured)) == kCaptureSize; }));
    ASSERT_TRUE(Sync());
    EXPECT_EQ(IOL_ReadCapture(captured, sizeof(captured)), kCaptureSize);

    // Start again: count back to 0; stopped: nothing more is added.
    IOL_StartCapture();
    vm.SendRaw(Response(0x7A, {0x00}));
    ASSERT_TRUE(WaitUntil([&] { return IOL_ReadCapture(captured, sizeof(captured)) == 5; }));
    IOL_StopCapture();
    ASSERT_TRUE(Sync());
    EXPECT_EQ(IOL_ReadCapture(captured, sizeof(captured)), 5u);
}

// ---- Read errors ----

TEST_F(ReceiverTest, APersistentReadErrorPausesEveryPassAndKeepsTheLinkOnline) {
    Open();
    // An error that does not mean a lost device.
    read_error_probe::Install(EBADF);
    ASSERT_TRUE(WaitUntil([] { return read_error_probe::Reads() >= 200; }));
    EXPECT_EQ(link->online.load(), 1);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
    read_error_probe::RemoveAndExpectAPausePerRead();
}

}  // namespace
