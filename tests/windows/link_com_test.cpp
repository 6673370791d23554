// The Windows serial port and the master link over a COM port that Wine maps to a virtual
// master's pseudo-terminal: the line settings the port gets, reads that never block, exact request
// bytes, responses, port events, faults of the master, and a master that goes and comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "link/link.h"
#include "platform/platform.h"
#include "platform/windows/serial_windows.h"
#include "services/services.h"
#include "tests/support/read_error_probe.h"
#include "tests/support/wait_until.h"
#include "tests/windows/com_fixture.h"

namespace {

// Reads from the port until count bytes have come (bounded).
Bytes ReadBytes(SerialPort* port, size_t count, uint32_t timeoutMs = 3000) {
    Bytes got;
    WaitUntil(
        [&] {
            uint8_t byte = 0;
            while (got.size() < count &&
                   Platform_SerialReadByte(port, &byte) == SerialReadResult::byte) {
                got.push_back(byte);
            }
            return got.size() >= count;
        },
        timeoutMs);
    return got;
}

const Bytes kMasterInfoRequest = {0x05, 0x00, 0x02, 0x67, 0x00};

class ComPort : public ComFixture {};

TEST_F(ComPort, OpenSetsTheMastersLineAndTimeouts) {
    SerialPort* serial = nullptr;
    ASSERT_EQ(Platform_SerialOpen(port.c_str(), &serial), SerialOpenResult::ok);
    const HANDLE handle = SerialWindows_Handle(serial);
    DCB line{};
    line.DCBlength = sizeof(line);
    ASSERT_TRUE(GetCommState(handle, &line));
    EXPECT_EQ(line.BaudRate, 921600u);
    EXPECT_EQ(line.ByteSize, 8);
    EXPECT_EQ(line.Parity, NOPARITY);
    EXPECT_EQ(line.StopBits, ONESTOPBIT);
    // Wine reports the DTR and RTS control of a pseudo-terminal, which has no modem lines, as
    // enabled whatever was set; what is set is checked by WindowsLineSettings on every platform.
    if (!RunningUnderWine()) {
        EXPECT_EQ(line.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
        EXPECT_EQ(line.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    }
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(handle, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_TRUE(Platform_SerialClose(serial));
}

// ---- A raw line whatever the last program left, and a port that no longer answers ----

DCB g_writtenBack{};
SerialReadCall g_injectedRead{};

// The port as a program that used it before may leave it: every field that alters or stops a
// byte stream switched on.
BOOL EverythingOnState(HANDLE handle, DCB* settings) {
    const BOOL ok = GetCommState(handle, settings);
    settings->fBinary = FALSE;
    settings->fParity = TRUE;
    settings->fOutxCtsFlow = TRUE;
    settings->fOutxDsrFlow = TRUE;
    settings->fDsrSensitivity = TRUE;
    settings->fOutX = TRUE;
    settings->fInX = TRUE;
    settings->fErrorChar = TRUE;
    settings->fNull = TRUE;
    settings->fAbortOnError = TRUE;
    settings->XonLim = 123;
    return ok;
}
BOOL RecordState(HANDLE handle, DCB* settings) {
    g_writtenBack = *settings;
    return SetCommState(handle, settings);
}
// A port that no longer answers, as a pulled device's.
BOOL ClearFails(HANDLE, DWORD*, COMSTAT*) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
SerialReadCall InjectedRead() {
    return g_injectedRead;
}

TEST_F(ComPort, OpenMakesTheLineRawWhateverThePortReported) {
    const SerialWindowsCommCalls calls{&EverythingOnState, &RecordState, nullptr, nullptr};
    SerialWindowsSeam_SetCommCalls(&calls);
    SerialPort* serial = nullptr;
    const SerialOpenResult opened = Platform_SerialOpen(port.c_str(), &serial);
    SerialWindowsSeam_SetCommCalls(nullptr);
    ASSERT_EQ(opened, SerialOpenResult::ok);
    const DCB& w = g_writtenBack;
    EXPECT_EQ(w.fBinary, 1u);
    EXPECT_EQ(w.fParity | w.fOutxCtsFlow | w.fOutxDsrFlow | w.fDsrSensitivity | w.fOutX | w.fInX |
                  w.fErrorChar | w.fNull | w.fAbortOnError,
              0u);
    EXPECT_EQ(w.BaudRate, 921600u);
    EXPECT_EQ(w.XonLim, 123) << "a field without effect on the byte stream keeps its value";
    EXPECT_TRUE(Platform_SerialClose(serial));
}

TEST_F(ComPort, ReadsNeverBlockAndWritesGoOutWhole) {
    SerialPort* serial = nullptr;
    ASSERT_EQ(Platform_SerialOpen(port.c_str(), &serial), SerialOpenResult::ok);
    // Nothing has been sent: the read returns at once with no byte.
    uint8_t byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Platform_SerialReadByte(serial, &byte), SerialReadResult::none);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    uint32_t written = 0;
    EXPECT_TRUE(Platform_SerialWrite(serial, kMasterInfoRequest.data(), 5, &written));
    EXPECT_EQ(written, 5u);
    const Bytes header = ReadBytes(serial, 4);
    ASSERT_EQ(header.size(), 4u);
    EXPECT_EQ(header[2], 0x02);
    EXPECT_EQ(header[3], 0x67);
    const size_t length = header[0] | header[1] << 8;
    EXPECT_EQ(ReadBytes(serial, length - 4).size(), length - 4);

    // Bytes the master sends unasked arrive in order, including 0x00 and line-control values.
    const Bytes raw = {0x00, 0x0A, 0x0D, 0x11, 0x13, 0x03, 0x7F, 0xFF};
    std::string command = "raw";
    for (uint8_t b : raw) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        command += hex;
    }
    ASSERT_TRUE(bench.Command(command));
    EXPECT_EQ(ReadBytes(serial, raw.size()), raw);
    EXPECT_TRUE(Platform_SerialClose(serial));
    EXPECT_EQ(bench.Received(), std::vector<Bytes>{kMasterInfoRequest});
}

TEST_F(ComPort, AbsentPortsAndUnfitNamesDoNotOpen) {
    SerialPort* serial = nullptr;
    EXPECT_EQ(Platform_SerialOpen("COM199", &serial), SerialOpenResult::openFailed);
    EXPECT_EQ(serial, nullptr);
    EXPECT_EQ(IOL_Create("COM199"), IOL_ERR_OPEN);
    // 96 characters do not fit the 100-byte path with its prefix: the path names "COM dummy".
    const std::string tooLong = port + std::string(96 - port.size(), ' ');
    EXPECT_EQ(Platform_SerialOpen(tooLong.c_str(), &serial), SerialOpenResult::openFailed);
}

TEST_F(ComPort, ASecondOpenOfAnOpenPortIsRefused) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine grants a second CreateFileA without sharing on a serial port";
    }
    const int32_t slot = Open();
    EXPECT_EQ(IOL_Create(port.c_str()), IOL_ERR_OPEN);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
}

class ComLink : public ComFixture {
  protected:
    std::string MasterOptions() const override {
        return "--main 2.1.7 --stack 1.2.0 --edition SE --id AB,CD";
    }
};

TEST_F(ComLink, IdentificationSendsTheExactRequestAndReadsTheResponse) {
    PlatformSeam_SetSleepHook(&ShortResponsePolls);
    const int32_t slot = Open();
    MasterInfo info{};
    ASSERT_EQ(IOL_GetMasterInfo(slot, &info), IOL_OK);
    EXPECT_STREQ(info.versionText, "2.1.7/1.2.0");
    EXPECT_STREQ(info.editionCode, "SE");
    EXPECT_EQ(info.idBytes[0], 0xAB);
    EXPECT_EQ(info.idBytes[1], 0xCD);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
    EXPECT_EQ(bench.Received(), std::vector<Bytes>{kMasterInfoRequest});
}

TEST_F(ComLink, PortEventsReachTheRingInOrder) {
    const int32_t slot = Open();
    ASSERT_TRUE(bench.Command("event 2 11 C0 33 40 55 0010"));
    ASSERT_TRUE(bench.Command("event 3 01 02 03 04 05 0024"));
    PortEvent first{};
    int32_t status = 0;
    ASSERT_TRUE(WaitUntil([&] { return IOL_FetchEvent(slot, &first, &status) == IOL_OK; }));
    EXPECT_EQ(first.number, 1);
    EXPECT_EQ(first.eventCode, 0x0010);
    EXPECT_EQ(Bytes(first.eventData, first.eventData + 5), (Bytes{0x11, 0xC0, 0x33, 0x40, 0x55}));
    PortEvent second{};
    ASSERT_TRUE(WaitUntil([&] { return IOL_FetchEvent(slot, &second, &status) == IOL_OK; }));
    EXPECT_EQ(second.number, 2);
    EXPECT_EQ(second.eventCode, 0x0024);
    EXPECT_EQ(IOL_FetchEvent(slot, &second, &status), IOL_ERR_NO_EVENT);
    {
        LibraryLockGuard guard;
        const Link* link = LinkTable_At(slot);
        EXPECT_EQ(link->portState[2], 1);  // code 0x0010 with byte 6 0xC0
        EXPECT_EQ(link->portFlag[2], 0);   // byte 8 is 0x40
        EXPECT_EQ(link->portState[3], 3);  // code 0x0024
    }
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
}

TEST_F(ComLink, AResponseTrickledByteByByteIsAssembled) {
    // Real 10 ms polls: the response wait of two seconds covers the trickle.
    ASSERT_TRUE(bench.Command("fault 0x67:trickle=600"));
    const int32_t slot = Open();
    MasterInfo info{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_OK);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_STREQ(info.versionText, "2.1.7/1.2.0");
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
}

TEST_F(ComLink, SilenceTimesOutAndAnotherFrameTypeIsRefused) {
    PlatformSeam_SetSleepHook(&ShortResponsePolls);
    const int32_t slot = Open();
    MasterInfo info{};
    ASSERT_TRUE(bench.Command("silent 1"));
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_ERR_TIMEOUT);
    ASSERT_TRUE(bench.Command("silent 0"));
    ASSERT_TRUE(bench.Command("fault 0x67:type=0x68"));
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_ERR_FRAME_TYPE);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
    EXPECT_EQ(bench.Received(), (std::vector<Bytes>{kMasterInfoRequest, kMasterInfoRequest}));
}

TEST_F(ComLink, AnUnpluggedMasterIsReportedLost) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "under Wine a read of a closed pseudo-terminal succeeds with 0 bytes "
                        "instead of failing with access denied";
    }
    const int32_t slot = Open();
    ASSERT_TRUE(bench.Command("unplug"));
    ASSERT_TRUE(
        WaitUntil([&] { return LinkTable_At(slot)->online.load(std::memory_order_acquire) == 0; }));
    MasterInfo info{};
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_ERR_LOST);
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_ERR_NO_LINK);
}

// The real receive loop over injected read errors: a removal reported as "device not
// functioning", with a port that no longer answers ClearCommError, marks the link lost (Wine
// itself cannot pull a device), and a persistent line error pauses every pass instead of spinning.
TEST_F(ComLink, ARemovalReportedAsAFailingDeviceMarksTheLinkLost) {
    const int32_t slot = Open();
    g_injectedRead = SerialReadCall{-1, 0, ERROR_GEN_FAILURE};
    const SerialWindowsCommCalls calls{nullptr, nullptr, &ClearFails, nullptr};
    SerialWindowsSeam_SetCommCalls(&calls);
    PlatformSeam_SetSerialReadHook(&InjectedRead);
    const bool lost =
        WaitUntil([&] { return LinkTable_At(slot)->online.load(std::memory_order_acquire) == 0; });
    PlatformSeam_SetSerialReadHook(nullptr);
    SerialWindowsSeam_SetCommCalls(nullptr);
    ASSERT_TRUE(lost);
    MasterInfo info{};
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_ERR_LOST);
}

TEST_F(ComLink, APersistentLineErrorPausesEveryPass) {
    const int32_t slot = Open();
    read_error_probe::Install(ERROR_OPERATION_ABORTED);
    const bool enough = WaitUntil([] { return read_error_probe::Reads() >= 200; });
    EXPECT_EQ(LinkTable_At(slot)->online.load(), 1);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
    read_error_probe::RemoveAndExpectAPausePerRead();
    EXPECT_TRUE(enough);
}

TEST_F(ComLink, ARepluggedMasterOpensUnderTheSameName) {
    PlatformSeam_SetSleepHook(&ShortResponsePolls);
    ASSERT_TRUE(bench.Command("unplug"));
    EXPECT_EQ(IOL_Create(port.c_str()), IOL_ERR_OPEN);
    ASSERT_TRUE(bench.Command("replug"));
    const int32_t slot = Open();
    MasterInfo info{};
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_OK);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
}

}  // namespace
