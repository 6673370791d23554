// Whole updates by the updater's own run sequence, built for Windows, against the virtual master
// over the mapped COM port: the console output, the requests the master received in order, and
// the master's flash against the image. Wine's device list has no COM ports, so the scan is
// given the master through the fake device list; everything from the port name on is real.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "app/app.h"
#include "images/images.h"
#include "platform/windows/console_windows.h"
#include "tests/support/update_checks.h"
#include "tests/windows/com_fixture.h"
#include "update/update.h"

namespace {

using namespace update_checks;

// The master's restart after a successful swap, fixed here because the console output counts the
// 500 ms ticks of the wait for it: it unplugs 1.5 s after the swap verdict (after the updater's
// verdict poll has read it) and stays away 300 ms.
constexpr const char* kRestart = " --restart-ms 1500 --restart-down-ms 300";

// The 2.x main image in flash from address 0, with a valid programming stamp in its place.
void ExpectMain2Flash(Bytes flash) {
    const FirmwareDescriptor& d = firmwareDescriptors[0];
    const Bytes image(d.image, d.image + d.length);
    ASSERT_GE(flash.size(), image.size());
    ExpectStamp(flash, kMain2StampOffset);
    std::copy_n(image.begin() + kMain2StampOffset, 11, flash.begin() + kMain2StampOffset);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()))
        << "flash differs from the image";
}

class ComUpdate : public ComFixture {
  protected:
    void SetUp() override {
        ComFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        friendlyName_ = "IO-Link USB Master (" + port + ")";
        device_ = FakeDevice{"USB\\VID_6F3A&PID_0202\\5&1A2B3C4D&0&1", friendlyName_.c_str(),
                             "IO-Link USB Master"};
        PlatformSeam_SetDeviceList(&device_, 1);
        PlatformSeam_SetSleepHook(&ShortResponsePolls);
        // The run sequence starts from the state of a fresh process.
        masterTable = MasterTable{};
        updateOptions = UpdateOptions{};
        // RunUpdater starts and ends the library itself.
        IOL_LibraryDetach();
    }

    std::string RunUpdate() {
        StdoutCapture capture;
        const char* argv[] = {"iolink-update.exe"};
        EXPECT_EQ(RunUpdater(1, argv, PlaceholderWrites::allowed), 0);
        return capture.Text();
    }

    std::string Header(const std::string& versionText) const {
        return port + " found, try to get information\n" +
               "Found 1 USB IO-Link Master. Only one is updateable by this program.\n\r" +
               "-> Standard Edition (" + versionText + ") on " + port + "\n\r";
    }

    std::string SwapAndReturn(const std::string& newVersion) const {
        return "\nBoot swapping was successful\n"
               "Waiting for detection of the new interface" +
               Repeat('.', 11) + port + " found, try to get information\n" +
               "New Master Version:  " + newVersion + " SE\n\r";
    }

    std::string friendlyName_;
    FakeDevice device_{};
};

class ComUpdateV3 : public ComUpdate {
  protected:
    std::string MasterOptions() const override {
        return "--main 3.0.A --stack 1.3.0 --after-update-main 3.0.B" + std::string(kRestart);
    }
};

TEST_F(ComUpdateV3, MainFirmwareOfA3xMaster) {
    const std::string out = RunUpdate();
    EXPECT_EQ(out,
              Header("3.0.A/1.3.0") + Repeat('.', 14 * 16) + SwapAndReturn("3.0.B/1.3.0") + "\n");

    const std::vector<Request> requests = Requests(bench.Received());
    ASSERT_GE(requests.size(), 6u);
    EXPECT_EQ(requests[0].type, 0x67);
    EXPECT_EQ(requests[1].type, 0x0F);
    EXPECT_EQ(requests[2].type, 0x0F);
    EXPECT_EQ(requests[3].type, 0xC9);
    EXPECT_EQ(requests[3].format, 3);
    EXPECT_EQ(requests[4].type, 0xCA);
    EXPECT_EQ(CountType(requests, 0xCB), 1792u);
    EXPECT_EQ(CountType(requests, 0xCE), 14u);
    EXPECT_EQ(CountType(requests, 0xCD), 1u);
    // The 3.x image leaves out 0xFFFF8000 to 0xFFFFBFFF.
    ExpectWrites(requests, kMain3WindowBase, 0, 0xFFFF8000, 0xFFFFC000);

    std::vector<uint8_t> image(kMain3WindowSize);
    ExpandRecords(main3Records, kMain3WindowBase, image);
    Bytes flash = bench.Flash3();
    ASSERT_EQ(flash.size(), image.size());
    ExpectStamp(flash, kMain3StampOffset);
    std::copy_n(image.begin() + kMain3StampOffset, 11, flash.begin() + kMain3StampOffset);
    EXPECT_TRUE(flash == Bytes(image.begin(), image.end())) << "flash differs from the image";
    EXPECT_EQ(bench.Violations(), "");
}

class ComUpdateV2 : public ComUpdate {
  protected:
    std::string MasterOptions() const override {
        return "--main 2.1.7 --stack 1.2.0 --after-update-main 2.1.8 --after-update-stack 1.3.0" +
               std::string(kRestart);
    }
};

TEST_F(ComUpdateV2, StackThenMainFirmwareOfA2xMaster) {
    const std::string out = RunUpdate();
    EXPECT_EQ(out, Header("2.1.7/1.2.0") + Repeat('+', 407) + "\n" + Repeat('.', 16 + 16 + 15) +
                       SwapAndReturn("2.1.8/1.3.0") + "\n");

    const std::vector<Request> requests = Requests(bench.Received());
    ASSERT_GE(requests.size(), 411u);
    EXPECT_EQ(requests[1].type, 0xE7);
    for (size_t i = 2; i < 410; ++i) {
        ASSERT_EQ(requests[i].type, 0xE8) << i;
    }
    EXPECT_EQ(requests[409].address, kStackIdAddress);
    EXPECT_EQ(requests[410].type, 0xEB);
    const std::vector<Request> main(requests.begin() + 411, requests.end());
    ASSERT_GE(main.size(), 2u);
    EXPECT_EQ(main[0].type, 0xC9);
    EXPECT_EQ(main[0].format, 2);
    EXPECT_EQ(CountType(main, 0xCE), 3u);
    ExpectWrites(main, 0, 24048, 0x10000, 0x10000);

    std::vector<uint8_t> stackImage(kStackWindowSize);
    const ExpandResult expanded = ExpandRecords(stackRecords, 0, stackImage);
    const Bytes stackFlash = bench.StackFlash();
    ASSERT_GE(stackFlash.size(), stackImage.size());
    EXPECT_TRUE(std::equal(stackImage.begin(), stackImage.end(), stackFlash.begin()));
    EXPECT_EQ(bench.StackIdRecord(), Bytes(expanded.idRecord.bytes, expanded.idRecord.bytes + 8));

    const Bytes flash = bench.Flash2();
    ExpectMain2Flash(flash);
    const uint32_t length = firmwareDescriptors[0].length;
    EXPECT_TRUE(
        std::all_of(flash.begin() + length, flash.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(bench.Violations(), "");
}

}  // namespace

namespace {

// The operator of the replug procedure: at each prompt the master is unplugged and plugged back
// in (a new pseudo-terminal behind the same COM name), then a key is pressed.
BenchControl* g_operatorBench = nullptr;
std::atomic<int> g_prompts{0};

int ReplugAndPressAKey() {
    g_prompts.fetch_add(1, std::memory_order_relaxed);
    const bool replugged = g_operatorBench != nullptr && g_operatorBench->Command("unplug") &&
                           g_operatorBench->Command("replug");
    return replugged ? 'k' : -1;
}

// Short response polls, and countdown ticks of 100 ms instead of 500 ms.
uint32_t ShortPollsAndTicks(uint32_t ms) {
    return ms == 500 ? 100 : ShortResponsePolls(ms);
}

class ComUpdateReplug : public ComUpdate {
  protected:
    std::string MasterOptions() const override {
        // The master's own restart after the swap (200 ms after the verdict, 200 ms away) is over
        // well before the 1.5 s of countdown that precede the last prompt.
        return "--main 2.0.5 --stack 1.3.0 --after-update-main 2.1.7 --restart-ms 200 "
               "--restart-down-ms 200";
    }
    void TearDown() override {
        g_operatorBench = nullptr;
        ConsoleWindowsSeam_SetGetch(nullptr);
        PlatformSeam_ClearStops();
        ComUpdate::TearDown();
    }
};

// Ctrl-C pressed at the console's replug prompt (read by _getch as the key 0x03).
int CtrlCKey() {
    return 0x03;
}

// Ctrl-C at the first prompt stops the procedure there: it answers no prompt, and the master
// receives nothing after the erase's step.
TEST_F(ComUpdateReplug, CtrlCAtThePromptStopsTheProcedure) {
    ConsoleWindowsSeam_SetGetch(&CtrlCKey);
    PlatformSeam_SetSleepHook(&ShortPollsAndTicks);
    const char* argv[] = {"iolink-update.exe", "--exit-code"};
    StdoutCapture capture;
    EXPECT_EQ(RunUpdater(2, argv, PlaceholderWrites::allowed), kExitStopped);
    EXPECT_EQ(mainReport.end, ProcedureEnd::stopped);
    EXPECT_EQ(Types(Requests(bench.Received())), "67 C9 CA ");
}

TEST_F(ComUpdateReplug, ReplugProcedureOnA205Master) {
    g_operatorBench = &bench;
    g_prompts = 0;
    PlatformSeam_SetKeyHook(&ReplugAndPressAKey);
    PlatformSeam_SetSleepHook(&ShortPollsAndTicks);
    const std::string out = RunUpdate();

    const std::string pause = Repeat('w', 15) + "\n" +
                              "Please disconnect the USB master and connect it back to the PC. "
                              "Press any key if you are ready\n";
    EXPECT_EQ(out, port + " found, try to get information\n" +
                       "Found 1 USB IO-Link Master. Only one is updateable by this program.\n\r" +
                       "-> Standard Edition (2.0.5/1.3.0) on " + port + "\n\r" +
                       "Current Master Version:  2.0.5/1.3.0 SE\n\r"
                       "Flashing: 2.1.7\n\r"
                       "Starting Erase:" +
                       pause + "Begin transfer for adress:   0" + Repeat('.', 16) +
                       "Writing Block:" + pause + "Begin transfer for adress:2000" +
                       Repeat('.', 16) + "Writing Block:" + pause +
                       "Begin transfer for adress:4000" + Repeat('.', 15) +
                       "Writing Block:" + pause + "Swap old and new firmware:" + pause +
                       "New Master Version:  2.1.7/1.3.0 SE\n\r"
                       "\n");
    EXPECT_EQ(g_prompts.load(), 5);

    const std::vector<Request> requests = Requests(bench.Received());
    // Every step starts a download on a link of its own, opened anew after each replug.
    EXPECT_EQ(CountType(requests, 0xC9), 6u);
    ExpectWrites(requests, 0, 24048, 0x10000, 0x10000);
    ExpectMain2Flash(bench.Flash2());
    EXPECT_EQ(bench.Violations(), "");
}

}  // namespace
