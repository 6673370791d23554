// The run sequence in-process, on a machine whose device list the test supplies.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "app/app.h"
#include "link/link.h"
#include "platform/seams.h"
#include "tests/support/stdout_capture.h"
#include "update/update.h"

namespace {

class RunSequence : public ::testing::Test {
  protected:
    void SetUp() override {
        masterTable = MasterTable{};
        updateOptions = UpdateOptions{};
    }
    void TearDown() override { PlatformSeam_SetDeviceList(nullptr, 0); }

    std::string Run(std::vector<const char*> args) {
        args.insert(args.begin(), "iolink-update");
        int status = -1;
        const std::string out = CaptureStdout([&] {
            status =
                RunUpdater(static_cast<int>(args.size()), args.data(), PlaceholderWrites::allowed);
        });
        EXPECT_EQ(status, 0);
        return out;
    }
};

TEST_F(RunSequence, NoMasterAttached) {
    PlatformSeam_SetDeviceList(nullptr, 0);
    static const FakeDevice none[1] = {};
    PlatformSeam_SetDeviceList(none, 0);
    EXPECT_EQ(Run({}), "No USB IO-Link Master found. Exiting...\n\n");
    EXPECT_EQ(masterTable.masterCount, 0);
}

TEST_F(RunSequence, DevicesThatAreNotMastersOrCannotBeOpenedAreSkippedSilently) {
    static const FakeDevice devices[] = {
        // Another vendor's serial port.
        {"USB\\VID_0403&PID_6001\\A1", "USB Serial Port (ttyUSB0)", "USB Serial Port"},
        // A master whose port name cannot be taken from its friendly name.
        {"USB\\VID_6F3A&PID_0202\\1", "IO-Link USB Master", "IO-Link USB Master"},
        {"USB\\VID_6F3A&PID_0202\\2", "IO-Link USB Master (ttyACM7", "IO-Link USB Master"},
        // A master whose port name is too long for the table.
        {"USB\\VID_6F3A&PID_0202\\3", "IO-Link USB Master (ttyACM12345)", "IO-Link USB Master"},
        // A master whose device node does not exist.
        {"USB\\VID_6F3A&PID_0202\\4", "IO-Link USB Master (ttyACM99)", "IO-Link USB Master"},
    };
    PlatformSeam_SetDeviceList(devices, std::size(devices));
    std::string out;
    const std::string err = CaptureStderr([&] { out = Run({"-s"}); });
    EXPECT_EQ(out, "No USB IO-Link Master found. Exiting...\n\n");
    // Only the port that was tried and failed gets a word, on standard error.
    EXPECT_EQ(err,
              "iolink-update: cannot open ttyACM99: the port is gone (the master was unplugged, "
              "or the system is still setting it up). Plug it in, wait a moment and run the "
              "updater again.\n"
              "iolink-update: result: nothing written (cannot open ttyACM99: the port is "
              "gone)\n");
}

// A node that opens but is no terminal (here /dev/null) cannot take the master's line settings:
// the link reports a port that cannot be set up, and the hint says so with the system's error.
TEST_F(RunSequence, PortThatIsNoTerminalGetsTheSetUpHint) {
    char folder[] = "/tmp/iolink-run-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string node = std::string(folder) + "/ttyNUL0";
    ASSERT_EQ(symlink("/dev/null", node.c_str()), 0);
    PlatformSeam_SetPosixRoots(nullptr, folder);
    static const FakeDevice devices[] = {
        {"USB\\VID_6F3A&PID_0202\\5", "IO-Link USB Master (ttyNUL0)", "IO-Link USB Master"},
    };
    PlatformSeam_SetDeviceList(devices, std::size(devices));
    std::string out;
    const std::string err = CaptureStderr([&] { out = Run({"-s"}); });
    PlatformSeam_SetPosixRoots(nullptr, nullptr);
    unlink(node.c_str());
    rmdir(folder);
    EXPECT_EQ(out, "No USB IO-Link Master found. Exiting...\n\n");
    EXPECT_EQ(err,
              "iolink-update: cannot open ttyNUL0: the port cannot be opened or set up for the "
              "master (system error " +
                  std::to_string(ENOTTY) +
                  ").\n"
                  "iolink-update: result: nothing written (cannot open ttyNUL0: the port cannot "
                  "be opened or set up (system error " +
                  std::to_string(ENOTTY) + "))\n");
    // Failures other than opening and setting up the port get no hint.
    EXPECT_EQ(CaptureStderr([] { PrintOpenHint("ttyNUL0", IOL_ERR_NO_SLOT, SerialOpenFailure{}); }),
              "");
}

TEST_F(RunSequence, HelpEndsTheRunBeforeAnyScan) {
    static const FakeDevice devices[] = {
        {"USB\\VID_6F3A&PID_0202\\4", "IO-Link USB Master (ttyACM99)", "IO-Link USB Master"},
    };
    PlatformSeam_SetDeviceList(devices, std::size(devices));
    const std::string out = Run({"-?"});
    EXPECT_EQ(out.rfind("Norvik IO-Link USB Master - SE Firmware Updater\n", 0), 0u);
    EXPECT_EQ(out.find("No USB"), std::string::npos);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_NE(out.substr(out.size() - 2), "\n\n");  // no trailing empty line
}

}  // namespace
