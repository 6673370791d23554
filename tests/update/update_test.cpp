// The update procedures in-process against a virtual master on ttyACM0, with the long waits
// shortened through the platform's sleep seam (the sleeps asked for are recorded).
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/link.h"
#include "platform/seams.h"
#include "services/services.h"
#include "sim/virtual_master.h"
#include "tests/platform/pty_posix.h"
#include "tests/support/stdout_capture.h"
#include "update/update.h"

namespace fs = std::filesystem;

namespace {

std::mutex sleepsMutex;
std::vector<uint32_t> longSleeps;

// Waits of 100 ms and more are cut to a twenty-fifth and recorded; the link's short polls stay.
uint32_t ShortenLongSleeps(uint32_t ms) {
    if (ms < 100) {
        return ms;
    }
    std::lock_guard<std::mutex> lock(sleepsMutex);
    longSleeps.push_back(ms);
    return ms / 25;
}

const FakeDevice kMasterDevice[] = {
    {"USB\\VID_6F3A&PID_0202\\VM1", "IO-Link USB Master (ttyACM0)", "IO-Link USB Master"}};

class InProcessUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/iolink-update-test-XXXXXX";
        devRoot = mkdtemp(pattern);
        vm.SetPlugListener([this](bool plugged, const std::string& slave) {
            std::error_code ec;
            fs::remove(devRoot / "ttyACM0", ec);
            if (plugged) {
                fs::create_symlink(slave, devRoot / "ttyACM0", ec);
            }
        });
        ASSERT_TRUE(vm.Start());  // the plug listener lays the device node
        ASSERT_TRUE(fs::is_symlink(devRoot / "ttyACM0"));
        PlatformSeam_SetPosixRoots("/sys", devRoot.c_str());
        PlatformSeam_SetDeviceList(kMasterDevice, 1);
        PlatformSeam_SetSleepHook(ShortenLongSleeps);
        {
            std::lock_guard<std::mutex> lock(sleepsMutex);
            longSleeps.clear();
        }
        IOL_LibraryAttach();
        masterTable = MasterTable{};
        updateOptions = UpdateOptions{};
    }

    void TearDown() override {
        IOL_LibraryDetach();
        vm.SetPlugListener(nullptr);
        vm.Stop();
        PlatformSeam_SetSleepHook(nullptr);
        PlatformSeam_SetDeviceList(nullptr, 0);
        PlatformSeam_SetPosixRoots(nullptr, nullptr);
        std::error_code ec;
        fs::remove_all(devRoot, ec);
    }

    // Scans and selects as a run does; the master is then row 0.
    void ScanAndSelect() {
        CaptureStdout([] { ScanMasters(); });
        ASSERT_EQ(masterTable.masterCount, 1);
        SelectUpdate(0);
        SetEditionName(0);
    }

    static std::vector<Bytes> OfType(const std::vector<Bytes>& frames, uint8_t type) {
        std::vector<Bytes> out;
        for (const Bytes& f : frames) {
            if (f.at(3) == type) {
                out.push_back(f);
            }
        }
        return out;
    }

    fs::path devRoot;
    VirtualMaster vm;
};

VmIdentity Identity(const char* main, const char* stack) {
    VmIdentity id;
    std::memcpy(id.main, main, 3);
    std::memcpy(id.stack, stack, 3);
    return id;
}

TEST_F(InProcessUpdate, V2PadsTheLastWriteWithErasedFlashNotLeftoverBytes) {
    vm.SetIdentity(Identity("217", "130"));
    ScanAndSelect();
    ASSERT_EQ(masterTable.rows[0].mainChoiceV2, 1);
    ASSERT_EQ(masterTable.rows[0].mainVariant, 1);
    workBuffer.fill(0xA5);  // what an earlier image would have left behind
    const std::string out = CaptureStdout([] { UpdateMainFirmwareV2(0); });
    EXPECT_NE(out.find("\nBoot swapping was successful\n"), std::string::npos) << out;

    const std::vector<Bytes> writes = OfType(vm.Received(), 0xCB);
    ASSERT_EQ(writes.size(), 376u);
    const Bytes& last = writes.back();
    ASSERT_EQ(last.size(), 8u + 48u);
    const size_t imageBytesInLast = 24038 - 375 * 64;  // 38
    for (size_t i = imageBytesInLast; i < 48; ++i) {
        EXPECT_EQ(last[8 + i], 0xFF) << i;
    }
    // The waits of the procedure, as asked for: verdicts polled every 500 ms, then ten ticks
    // and the scans before the master is looked for.
    std::lock_guard<std::mutex> lock(sleepsMutex);
    EXPECT_GE(std::count(longSleeps.begin(), longSleeps.end(), 500u), 11);
    EXPECT_TRUE(
        std::all_of(longSleeps.begin(), longSleeps.end(), [](uint32_t ms) { return ms == 500; }));
}

// A stack image whose data ends inside the skipped range 0x2000-0x3FFF.
std::vector<FirmwareRecord> StackImageEndingInTheGap() {
    std::vector<FirmwareRecord> records;
    for (uint32_t address = 0; address < 0x100; address += 16) {
        FirmwareRecord r{16, address, {}};
        std::memset(r.data, static_cast<int>(address / 16), 16);
        records.push_back(r);
    }
    records.push_back(FirmwareRecord{16, 0x2100, {0x11}});
    records.push_back(FirmwareRecord{8, 0x3FBF8, {0x30, 0x01, 0, 0, 0x20, 0xA7, 0xFF, 0xFF}});
    return records;
}

TEST_F(InProcessUpdate, StackImageEndingInTheSkippedRangeStopsAtTheGap) {
    vm.SetIdentity(Identity("217", "120"));
    ScanAndSelect();
    const std::vector<FirmwareRecord> image = StackImageEndingInTheGap();
    int32_t result = -1;
    EXPECT_EQ(CaptureStdout([&] { result = UpdateStackWith(0, image); }),
              std::string(64, '+') + "\n");
    EXPECT_EQ(result, 0);
    const std::vector<Bytes> writes = OfType(vm.Received(), 0xE8);
    ASSERT_EQ(writes.size(), 65u);
    for (size_t i = 0; i < 64; ++i) {
        const uint32_t address = writes[i][5] | writes[i][6] << 8;
        EXPECT_EQ(address, i * 128);
        EXPECT_EQ(writes[i][9], 128);
    }
    EXPECT_EQ(writes[64][7], 0x03);  // the identification record at 0x3FBF8, last
    EXPECT_EQ(writes[64][9], 8);
    EXPECT_EQ(OfType(vm.Received(), 0xEB).size(), 1u);
    EXPECT_TRUE(vm.Violations().empty());
}

TEST_F(InProcessUpdate, StackOpenFailureAndInitFailure) {
    vm.SetIdentity(Identity("217", "120"));
    ScanAndSelect();
    {
        VmFault refuse;
        refuse.status = 9;
        vm.SetFault(0xE7, refuse);
        int32_t result = -1;
        EXPECT_EQ(CaptureStdout([&] { result = UpdateStack(0); }), "Init Failed: 9\n");
        EXPECT_EQ(result, 1);
        vm.ClearFaults();
    }
    std::strcpy(masterTable.rows[0].portName, "ttyACM5");  // no such device
    int32_t result = -1;
    EXPECT_EQ(CaptureStdout([&] { result = UpdateStack(0); }), "Open Device Failed\n-2");
    EXPECT_EQ(result, 1);
}

TEST_F(InProcessUpdate, StackFinishFailureIsReportedAfterTheLinkIsClosed) {
    vm.SetIdentity(Identity("217", "120"));
    ScanAndSelect();
    VmFault refuse;
    refuse.status = 4;
    vm.SetFault(0xEB, refuse);
    int32_t result = -1;
    EXPECT_EQ(CaptureStdout([&] { result = UpdateStack(0); }),
              std::string(407, '+') + "Finish failed: 4\n");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(LinkTable_CheckSlot(1), IOL_ERR_NO_LINK);
}

class BootVerdict : public InProcessUpdate {
  protected:
    void SetUp() override {
        InProcessUpdate::SetUp();
        slot = IOL_Create("ttyACM0");
        ASSERT_GT(slot, 0);
    }
    // Queues events on the link and waits until its receiver has taken them all.
    void Queue(std::vector<std::pair<uint16_t, uint8_t>> events) {
        Link* link = nullptr;
        ASSERT_EQ(LinkTable_GetLink(slot, &link), IOL_OK);
        uint16_t before = 0;
        {
            LibraryLockGuard lock;
            before = link->eventCount;
        }
        for (const auto& [code, data1] : events) {
            const uint8_t data[5] = {0, data1, 0, 0, 0};
            vm.SendPortEvent(0, data, code);
        }
        for (int i = 0; i < 500; ++i) {
            {
                LibraryLockGuard lock;
                if (static_cast<uint16_t>(link->eventCount - before) == events.size()) {
                    return;
                }
            }
            Platform_SleepMs(2);
        }
        FAIL() << "events did not arrive";
    }
    int32_t slot = 0;
};

TEST_F(BootVerdict, VerdictsBusyEventsAndForeignCodes) {
    Queue({{0x49, 0x00}});
    EXPECT_EQ(WaitBootResult(slot, true), 0);
    Queue({{0x49, 0xC0}});
    EXPECT_EQ(WaitBootResult(slot, false), 1);
    Queue({{0x49, 0xC1}});
    EXPECT_EQ(WaitBootResult(slot, false), 0);  // only 0xC0 in byte 1 is a failure
    Queue({{0x22, 0}, {0x22, 0}, {0x49, 0}});
    EXPECT_EQ(WaitBootResult(slot, true), 0);
    Queue({{0x22, 0}, {0x49, 0}});
    EXPECT_EQ(WaitBootResult(slot, false), 0x22);
    EXPECT_EQ(WaitBootResult(slot, false), 0);  // the verdict behind it is still queued
    Queue({{0x0077, 0}});
    EXPECT_EQ(WaitBootResult(slot, true), 0x77);
}

TEST_F(BootVerdict, NoVerdictAfterTwentyPollsHalfASecondApart) {
    EXPECT_EQ(WaitBootResult(slot, true), 2);
    std::lock_guard<std::mutex> lock(sleepsMutex);
    EXPECT_EQ(longSleeps, std::vector<uint32_t>(20, 500));
}

// The chunk loop never reads past workBuffer: a write that would is not sent, the block is not
// committed, and the loop ends as a failure with its message, for both line prefixes.
TEST_F(BootVerdict, ChunkLoopEndsAsAFailureBeforeReadingBeyondTheBuffer) {
    uint8_t out1[4] = {};
    uint8_t out2[4] = {};
    ASSERT_EQ(IOL_SP_InitDownload(slot, out1, out2, kFormatLongAddress), 0);
    ASSERT_EQ(IOL_SP_Erase(slot), 0);
    for (const char* prefix : {"", "\n"}) {
        vm.ClearReceived();
        // Room for one 64-byte write and half of the next.
        ImageCursor at;
        at.cursor = static_cast<uint32_t>(workBuffer.size()) - 96;
        at.remaining = 128;
        at.address = 0xFFFFFF00;
        int32_t r = 0;
        const std::string out =
            CaptureStdout([&] { r = WriteImageChunks(slot, kFormatLongAddress, at, prefix); });
        EXPECT_EQ(r, kImageBeyondBuffer);
        EXPECT_EQ(out, std::string(prefix) +
                           "Error in the image at FFFFFF40: the write would read beyond the work "
                           "buffer. Terminating update\n");
        const std::vector<Bytes> frames = vm.Received();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0][3], kFrameTypeSpWrite);
        EXPECT_EQ(frames[0][5], 64);
        EXPECT_EQ(at.cursor, workBuffer.size() - 32);
        EXPECT_EQ(at.remaining, 64u);
        // A new download for the next pass: the device takes no write below the last one.
        ASSERT_EQ(IOL_SP_Erase(slot), 0);
    }
}

}  // namespace

namespace {

// A 3.x update that the master refuses at one step: the step's message, no success, and the
// link closed.
struct MainStepFailure {
    const char* name;
    uint8_t type;  // the request the fault is set on
    VmFault fault;
    const char* message;
};

// The test names carry the step; so does the parameter as printed.
void PrintTo(const MainStepFailure& step, std::ostream* os) {
    *os << step.name;
}

class MainFirmwareStepFailure : public InProcessUpdate,
                                public ::testing::WithParamInterface<MainStepFailure> {};

VmFault Refuse(uint8_t status, uint32_t from = 1) {
    VmFault fault;
    fault.from = from;
    fault.count = 1;
    fault.status = status;
    return fault;
}

VmFault FailureVerdict() {
    VmFault fault;
    fault.verdict = VmVerdict::Failure;
    return fault;
}

// The response polls last 1 ms too, so that a whole image goes out in a few seconds.
uint32_t ShortenPollsAndLongSleeps(uint32_t ms) {
    return ms == 10 ? 1 : ShortenLongSleeps(ms);
}

TEST_P(MainFirmwareStepFailure, EndsWithTheStepsMessage) {
    const MainStepFailure& step = GetParam();
    vm.SetIdentity(Identity("30A", "130"));
    // Verdicts at once: the steps at the end of a whole image come within seconds.
    VmTiming quick;
    quick.verdictDelayMs = 1;
    quick.busyGapMs = 1;
    vm.SetTiming(quick);
    PlatformSeam_SetSleepHook(ShortenPollsAndLongSleeps);
    ScanAndSelect();
    vm.SetFault(step.type, step.fault);
    const std::string out = CaptureStdout([] { UpdateMainFirmwareV3(0); });
    EXPECT_NE(out.find(step.message), std::string::npos) << out;
    EXPECT_EQ(out.find("Boot swapping was successful"), std::string::npos) << out;
    for (int32_t slot = 1; slot < kLinkSlots; ++slot) {
        EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_ERR_NO_LINK);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, MainFirmwareStepFailure,
    ::testing::Values(
        MainStepFailure{"SecondPortReset", 0x0F, Refuse(1, 2),
                        "Error in IOL_ResetPort port=1 error=-12. Terminating update\n"},
        MainStepFailure{"Erase", 0xCA, Refuse(7), "  Error in IOL_SP_Erase:7\n"},
        MainStepFailure{"WriteBlock", 0xCE, Refuse(0x1F), "  Error in IOL_SP_WriteBlock:1F\n"},
        MainStepFailure{"BlockVerdict", 0xCE, FailureVerdict(), "  writing was not successful: "},
        MainStepFailure{"Finish", 0xCD, Refuse(0x2A), "  Error in IOL_SP_Finish:2A\n"},
        MainStepFailure{"FinishVerdict", 0xCD, FailureVerdict(), "  swapping was not successful("}),
    [](const ::testing::TestParamInfo<MainStepFailure>& info) { return info.param.name; });

TEST_F(InProcessUpdate, MainFirmwareOnAPortThatIsGoneSaysSo) {
    vm.SetIdentity(Identity("30A", "130"));
    ScanAndSelect();
    std::strcpy(masterTable.rows[0].portName, "ttyACM5");  // no such device
    std::string out;
    const std::string err =
        CaptureStderr([&] { out = CaptureStdout([] { UpdateMainFirmwareV3(0); }); });
    EXPECT_EQ(out, "Error in IOL_Create:-2\n");
    EXPECT_NE(err.find("cannot open ttyACM5: the port is gone"), std::string::npos) << err;
}

}  // namespace

namespace {

// Standard output and standard error on one terminal: a line on standard error after progress
// marks begins on a line of its own (the line end written to standard error), and standard output
// carries the run's text alone. Where standard output goes elsewhere nothing is added.
TEST(ConsoleLines, StderrLineAfterProgressMarksStartsAtTheLeft) {
    struct Case {
        bool stdoutOnTerminal;
        const char* terminal;  // what the terminal shows
    };
    const Case cases[] = {
        {true, "..\niolink-update: one\niolink-update: two\n.\niolink-update: three\n"},
        {false, "iolink-update: one\niolink-update: two\niolink-update: three\n"},
    };
    for (const Case& c : cases) {
        TestPty pty;
        ASSERT_TRUE(pty.ok());
        const int terminal = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(terminal, 0);
        termios raw{};
        ASSERT_EQ(tcgetattr(terminal, &raw), 0);
        raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // line ends as written
        ASSERT_EQ(tcsetattr(terminal, TCSANOW, &raw), 0);
        std::string elsewhere;
        {
            StdoutCapture capture(1);
            const int savedErr = dup(2);
            if (c.stdoutOnTerminal) {
                dup2(terminal, 1);
            }
            dup2(terminal, 2);
            {
                const ConsoleTracking tracking;
                Console_Print("..");
                Console_Tell("one");
                Console_Tell("two");
                std::cout << ".";
                Console_Tell("three");
            }
            dup2(savedErr, 2);
            close(savedErr);
            elsewhere = capture.Text();
        }
        close(terminal);
        const std::string expected = c.terminal;
        const std::vector<uint8_t> shown = pty.Read(expected.size(), 500);
        EXPECT_EQ(std::string(shown.begin(), shown.end()), expected);
        EXPECT_EQ(elsewhere, c.stdoutOnTerminal ? "" : "...");
    }
}

}  // namespace
