// The unchanged iolink-update.exe under Wine, whole runs as an operator starts them: the program's
// own entry point, its Setup API walk, the scan, the listing and the updates, against virtual
// masters served here on pseudo-terminals.
//
// A master is plugged into the Wine prefix as Windows would show it: a device entry in the
// registry (Enum\USB\VID_6F3A&PID_0202\<serial> with its class and friendly name, and the serial
// port interface under Control\DeviceClasses that the Setup API walk reads) plus a COM link in
// dosdevices to the master's pseudo-terminal. It is unplugged by removing both, on every unplug of
// the virtual master (its restart after a swap, an operator's replug), and plugged back the same
// way. The registry is changed with regedit in the running wine server, which the program's next
// walk sees.
//
// Run by ctest in the cross build (test windows.program) with WINEPREFIX, WINE_RUN (the script
// that runs a Windows program headless) and IOLINK_WINE_UPDATER (the program built with
// placeholder writes on) in the environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/e2e/bench.h"
#include "tests/support/update_checks.h"
#include "tests/support/whole_update.h"
#include "tests/windows/host/wine_path.h"

namespace {

namespace fs = std::filesystem;
using namespace update_checks;

const Bytes kIdentify = {0x05, 0x00, 0x02, 0x67, 0x00};
constexpr uint32_t kRunTimeoutMs = 240000;
constexpr uint32_t kRegeditTimeoutMs = 60000;
// COM numbers above those that Wine's mount manager gives the host's own serial ports.
constexpr int kFirstCom = 11;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Every "\n" as the C runtime writes it to a file or pipe on Windows: "\r\n".
std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

// One device of the prefix's registry: a USB serial port of vendor 6F3A (or another) on COM<n>.
struct ComDevice {
    std::string vidPid;  // "VID_6F3A&PID_0202"
    std::string serial;  // "0001"
    int com = 0;
    std::string name;  // "IO-Link USB Master"

    std::string Instance() const { return "USB\\" + vidPid + "\\" + serial; }
    // Where the device sits, as Windows' USB hub driver says it: one hub port per COM number.
    std::string Location() const {
        char text[32];
        std::snprintf(text, sizeof text, "Port_#%04d.Hub_#0001", com - kFirstCom + 1);
        return text;
    }
    std::string EnumKey() const {
        return "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\" + Instance();
    }
    std::string InterfaceKey() const {
        const std::string guid = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
        return "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\" + guid +
               "\\##?#USB#" + vidPid + "#" + serial + "#" + guid;
    }
    // REGEDIT4 text that adds the device, or removes it whole.
    std::string Registry(bool plugged) const {
        if (!plugged) {
            return "REGEDIT4\n\n[-" + EnumKey() + "]\n\n[-" + InterfaceKey() + "]\n";
        }
        std::string instance;
        for (char c : Instance()) {
            instance += c == '\\' ? std::string("\\\\") : std::string(1, c);
        }
        return "REGEDIT4\n\n[" + EnumKey() + "]\n" +
               "\"ClassGUID\"=\"{4d36e978-e325-11ce-bfc1-08002be10318}\"\n" +
               "\"FriendlyName\"=\"" + name + " (COM" + std::to_string(com) + ")\"\n" +
               "\"DeviceDesc\"=\"" + name + "\"\n" + "\"LocationInformation\"=\"" + Location() +
               "\"\n\n[" + InterfaceKey() + "]\n" + "\"DeviceInstance\"=\"" + instance + "\"\n";
    }
};

class WineProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        prefix_ = Env("WINEPREFIX");
        wineRun_ = Env("WINE_RUN");
        updater_ = Env("IOLINK_WINE_UPDATER");
        if (prefix_.empty() || wineRun_.empty() || updater_.empty()) {
            GTEST_SKIP() << "not started by the Windows tests: WINEPREFIX, WINE_RUN and "
                            "IOLINK_WINE_UPDATER must be set";
        }
        char pattern[] = "/tmp/wine-program-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
    }

    void TearDown() override {
        for (auto& m : masters_) {
            m->vm.SetPlugListener(nullptr);
            m->vm.Stop();
            SetPlugged(*m, false);
        }
        for (const ComDevice& d : others_) {
            Regedit(d.Registry(false));
        }
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    struct Plugged {
        ComDevice device;
        VirtualMaster vm;
    };

    // A virtual master plugged in as the next COM port, with the given USB product.
    VirtualMaster& AddMaster(const VmIdentity& identity, const std::string& product = "0202") {
        auto plugged = std::make_unique<Plugged>();
        Plugged& m = *plugged;
        const int index = static_cast<int>(masters_.size());
        m.device = ComDevice{"VID_6F3A&PID_" + product, "000" + std::to_string(index + 1),
                             kFirstCom + index,
                             product == "0202" ? "IO-Link USB Master" : "IO-Link Device"};
        masters_.push_back(std::move(plugged));
        m.vm.SetIdentity(identity);
        m.vm.SetPlugListener(
            [this, &m](bool plugged, const std::string&) { SetPlugged(m, plugged); });
        EXPECT_TRUE(m.vm.Start());
        return m.vm;
    }

    // A serial port of another vendor in the device list; the program must pass over it.
    void AddForeignDevice() {
        others_.push_back(
            ComDevice{"VID_0403&PID_6001", "A1B2C3", kFirstCom + 8, "USB Serial Port"});
        Regedit(others_.back().Registry(true));
    }

    std::string Port(size_t index) const {
        return "COM" + std::to_string(masters_.at(index)->device.com);
    }
    VirtualMaster& Master(size_t index) { return masters_.at(index)->vm; }

    // What an operator does at a replug prompt: unplug the master, plug it back in.
    void ReplugMaster(size_t index) {
        Master(index).Unplug();
        EXPECT_TRUE(Master(index).Replug());
    }

    // Sets the master's pseudo-terminal to software flow control, as a program that used the
    // port before might have left it; the setting holds while `presetHolder_` keeps it open.
    void PresetXonXoff(size_t index) {
        presetHolder_ = ::open(Master(index).SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(presetHolder_, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(presetHolder_, &t), 0);
        t.c_iflag |= IXON | IXOFF;
        ASSERT_EQ(tcsetattr(presetHolder_, TCSANOW, &t), 0);
    }

    BenchRun Run(const std::vector<std::string>& args, const Bench::Watcher& watcher = {}) {
        std::vector<std::string> command = {wineRun_, updater_};
        command.insert(command.end(), args.begin(), args.end());
        BenchRun run = RunProcess(command, kRunTimeoutMs, watcher);
        if (presetHolder_ >= 0) {
            ::close(presetHolder_);
            presetHolder_ = -1;
        }
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0);
        return run;
    }

  private:
    // Adds or removes the device entry and the COM link of a master. Plugging in lays the link
    // first, so that a device the program lists can be opened; unplugging removes the entry first.
    void SetPlugged(Plugged& m, bool plugged) {
        const std::string link = prefix_ + "/dosdevices/com" + std::to_string(m.device.com);
        std::lock_guard<std::mutex> guard(plugMutex_);
        if (plugged) {
            ::unlink(link.c_str());
            EXPECT_EQ(::symlink(m.vm.SlavePath().c_str(), link.c_str()), 0) << link;
            Regedit(m.device.Registry(true));
        } else {
            Regedit(m.device.Registry(false));
            ::unlink(link.c_str());
        }
    }

    void Regedit(const std::string& text) {
        const std::string file = scratch_ + "/device.reg";
        {
            std::ofstream out(file, std::ios::trunc);
            out << text;
        }
        const BenchRun run =
            RunProcess({wineRun_, "regedit", "/S", WinePath(file)}, kRegeditTimeoutMs);
        EXPECT_EQ(run.status, 0) << "regedit of\n" << text;
    }

    std::string prefix_;
    std::string wineRun_;
    std::string updater_;
    std::string scratch_;
    std::mutex plugMutex_;
    std::vector<std::unique_ptr<Plugged>> masters_;
    std::vector<ComDevice> others_;
    int presetHolder_ = -1;
};

TEST_F(WineProgram, NoMasterAttached) {
    AddForeignDevice();
    EXPECT_EQ(Run({}).out, Crlf("No USB IO-Link Master found. Exiting...\n\n"));
}

TEST_F(WineProgram, ShowOnlyWritesNothingButTheIdentificationRequest) {
    VirtualMaster& vm = AddMaster(Identity("30A", "130"));
    EXPECT_EQ(Run({"-s"}).out, Crlf(Port(0) + " found, try to get information\n" +
                                    "No Updateable USB Master Found...\n\n"));
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(WineProgram, TwoEligibleMastersAreRefused) {
    VirtualMaster& first = AddMaster(Identity("30A", "130"));
    VirtualMaster& second = AddMaster(Identity("217", "120"));
    EXPECT_EQ(Run({}).out, Crlf(Port(0) + " found, try to get information\n" + Port(1) +
                                " found, try to get information\n" +
                                "Please connect only one master for update:\n\r\n"));
    EXPECT_EQ(first.Received(), std::vector<Bytes>{kIdentify});
    EXPECT_EQ(second.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(WineProgram, AnotherProductOfTheVendorReceivesNothing) {
    VirtualMaster& other = AddMaster(Identity("30A", "130"), "0100");
    EXPECT_EQ(Run({}).out, Crlf("No USB IO-Link Master found. Exiting...\n\n"));
    EXPECT_TRUE(other.Received().empty());
}

// The master restarts after the swap: it leaves the device list and comes back while the program
// waits, and the program's rescan through the Setup API finds it again.
TEST_F(WineProgram, WholeUpdateOfA3xMasterWithItsRestart) {
    VirtualMaster& vm = AddMaster(Identity("30A", "130"));
    vm.SetIdentityAfterUpdate(Identity("30B", "130"));
    EXPECT_EQ(Run({}).out, Crlf(WholeHeader("3.0.A/1.3.0", Port(0)) + kV3Dots +
                                WholeSwapAndReturn("3.0.B/1.3.0", Port(0)) + "\n"));
    const std::vector<Request> requests = Requests(vm.Received());
    ASSERT_GE(requests.size(), 8u);
    EXPECT_EQ(Types({requests.begin(), requests.begin() + 6}), "67 0F 0F C9 CA CB ");
    EXPECT_EQ(CountType(requests, 0xCB), 1792u);
    ExpectWrites(requests, 0xFFFE0000, 0, 0xFFFF8000, 0xFFFFC000, 64);
    EXPECT_EQ(Types({requests.end() - 4, requests.end()}), "CE CD 67 67 ");
    EXPECT_GE(vm.PlugCount(), 2u) << "the master restarted";
    EXPECT_TRUE(vm.Violations().empty());
    ExpectFlash3(vm);
}

// --port names one master of two in the spellings an operator uses on Windows (the COM name in any
// letter case, its device path, its USB serial number): that master's port is the only one opened.
// A whole update through --port follows the master through its restart by its serial number.
TEST_F(WineProgram, PortOptionOpensTheNamedMasterAlone) {
    VirtualMaster& first = AddMaster(Identity("309", "130"));
    VirtualMaster& second = AddMaster(Identity("309", "130"));
    second.SetIdentityAfterUpdate(Identity("30A", "130"));
    std::string lower = Port(1);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const std::string& name : {Port(1), lower, "\\\\.\\" + Port(1), std::string("0002")}) {
        first.ClearReceived();
        second.ClearReceived();
        EXPECT_EQ(Run({"--list", "--port", name}).out,
                  Crlf(Port(1) + " found, try to get information\n" + Port(1) +
                       "  serial 0002  usb Port_#0002.Hub_#0001  edition SE  main 3.0.9  stack "
                       "1.3.0  would write main firmware 3.0.9 -> 3.0.10\n"))
            << name;
        EXPECT_TRUE(first.Received().empty()) << name;
        EXPECT_EQ(second.Received(), std::vector<Bytes>{kIdentify}) << name;
    }
    first.ClearReceived();
    second.ClearReceived();
    EXPECT_EQ(Run({"--port", lower}).out, Crlf(WholeHeader("3.0.9/1.3.0", Port(1)) + kV3Dots +
                                               WholeSwapAndReturn("3.0.A/1.3.0", Port(1)) + "\n"));
    EXPECT_TRUE(first.Received().empty());
    EXPECT_GE(second.PlugCount(), 2u) << "the master restarted";
    ExpectFlash3(second);
}

// The port is found with XON/XOFF on, as another program may leave it: the identification
// answer starts with 0x13 (XOFF) and the images hold both flow-control bytes, so the run only
// succeeds on a raw line.
TEST_F(WineProgram, StackThenMainFirmwareOnAPortLeftWithXonXoff) {
    VirtualMaster& vm = AddMaster(Identity("217", "120"));
    vm.SetIdentityAfterUpdate(Identity("218", "130"));
    PresetXonXoff(0);
    EXPECT_EQ(Run({}).out, Crlf(WholeHeader("2.1.7/1.2.0", Port(0)) + Repeat('+', 407) + "\n" +
                                kV2Dots + WholeSwapAndReturn("2.1.8/1.3.0", Port(0)) + "\n"));
    const std::vector<Request> requests = Requests(vm.Received());
    ASSERT_GE(requests.size(), 411u);
    EXPECT_EQ(requests[1].type, 0xE7);
    EXPECT_EQ(requests[409].address, 0x3FBF8u);
    EXPECT_EQ(requests[410].type, 0xEB);
    const std::vector<Request> main(requests.begin() + 411, requests.end());
    ExpectWrites(main, 0, 24048, 0x10000, 0x10000, 48);
    EXPECT_TRUE(vm.Violations().empty());
    ExpectStackFlash(vm);
    ExpectFlash2(vm);
}

// The five prompts are answered through the program's standard input, each after the master
// was unplugged and plugged back in.
TEST_F(WineProgram, ReplugProcedureOnA205Master) {
    VirtualMaster& vm = AddMaster(Identity("205", "130"));
    vm.SetIdentityAfterUpdate(Identity("217", "130"));
    size_t prompts = 0;
    const BenchRun run = Run({}, [&](const std::string& out) -> std::string {
        if (!NewReplugPrompt(out, prompts)) {
            return "";
        }
        ReplugMaster(0);
        return "k";
    });
    EXPECT_EQ(run.out, Crlf(WholeReplugRun(Port(0))));
    EXPECT_EQ(prompts, 5u);
    ExpectReplugProcedureDone(vm);
}

}  // namespace
