// The master on an operator's Linux desktop: the udev rule that the package installs, and the
// shipped updater run as a normal user, with the hints it writes to standard error when a
// master's port cannot be opened. Standard output stays as it is, byte for byte.
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "tests/e2e/bench.h"
#include "tests/support/whole_update.h"

namespace {

const Bytes kIdentify = {0x05, 0x00, 0x02, 0x67, 0x00};
constexpr uint32_t kRunMs = 120000;

// The rule file's lines without its comments.
std::string RuleLines() {
    std::ifstream in(IOLINK_UDEV_RULE);
    std::string lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
            lines += line + "\n";
        }
    }
    return lines;
}

// What udevadm test prints for the tty of the given product ID, run in the bench's namespace
// with the rule in /run/udev/rules.d (a tmpfs there: the host's rules stay as they are).
std::string UdevTest(Bench& bench, size_t index) {
    const std::string setup =
        "mount -t tmpfs none /run; mkdir -p /run/udev/rules.d; cp '" IOLINK_UDEV_RULE
        "' /run/udev/rules.d/; export SYSTEMD_DEVICE_VERIFY_SYSFS=0";
    const BenchRun run = bench.RunInNamespace(
        {"udevadm", "test", "--action=add", bench.TtySysPath(index)}, setup, kRunMs);
    EXPECT_FALSE(run.timedOut);
    return run.out + run.err;
}

class UdevRule : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = Bench::Unavailable();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        if (access("/bin/udevadm", X_OK) != 0 && access("/usr/bin/udevadm", X_OK) != 0) {
            GTEST_SKIP() << "udevadm is not installed (package udev)";
        }
    }
    Bench bench;
};

TEST_F(UdevRule, GivesTheMastersPortToTheDesktopUserAndKeepsModemManagerAway) {
    bench.AddMaster(VmIdentity{});
    bench.AddMaster(VmIdentity{}, BenchUsb{"0100", true});  // the vendor's other product

    const std::string master = UdevTest(bench, 0);
    // udevadm test exits 0 even when a rule file has errors: those name the file and a line.
    EXPECT_EQ(master.find("70-iolink-update.rules:"), std::string::npos) << master;
    EXPECT_NE(master.find("ID_MM_DEVICE_IGNORE=1"), std::string::npos) << master;
    EXPECT_NE(master.find("ID_MM_PORT_IGNORE=1"), std::string::npos) << master;
    EXPECT_NE(master.find(":uaccess:"), std::string::npos) << master;

    const std::string other = UdevTest(bench, 1);
    EXPECT_NE(other.find("DEVNAME=/dev/ttyACM1"), std::string::npos) << other;  // it ran
    EXPECT_EQ(other.find("ID_MM_DEVICE_IGNORE"), std::string::npos) << other;
    EXPECT_EQ(other.find("ID_MM_PORT_IGNORE"), std::string::npos) << other;
    EXPECT_EQ(other.find(":uaccess:"), std::string::npos) << other;

    // No group or mode of its own: the default rules' dialout stays.
    const std::string rule = RuleLines();
    EXPECT_NE(rule.find("TAG+=\"uaccess\""), std::string::npos);
    EXPECT_EQ(rule.find("GROUP"), std::string::npos);
    EXPECT_EQ(rule.find("MODE"), std::string::npos);
}

// The package's scripts, run in the bench's namespace as dpkg runs them, with udevadm and setfacl
// replaced by ones that record their arguments (in a tmpfs over /run, which also holds the
// /run/udev that says udev runs). Only the master's port gets a change event, and the removal
// takes the access entry of the desktop user off its node.
struct ScriptCase {
    const char* script;
    const char* argument;
    const char* calls;
};

void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.script << " " << c.argument;
}

class PackageScripts : public ::testing::TestWithParam<ScriptCase> {
  protected:
    void SetUp() override {
        const std::string reason = Bench::Unavailable();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
    }
    Bench bench;
};

TEST_P(PackageScripts, TouchOnlyTheMastersPorts) {
    const ScriptCase& c = GetParam();
    bench.AddMaster(VmIdentity{});
    bench.AddMaster(VmIdentity{}, BenchUsb{"0100", true});  // the vendor's other product
    bench.AddForeignDevice();
    const std::string setup =
        "mount -t tmpfs none /run; mkdir -p /run/udev /run/bin; "
        "for tool in udevadm setfacl; do printf '#!/bin/sh\\necho \"${0##*/} $*\" >> "
        "/run/calls\\n' "
        "> /run/bin/$tool; chmod +x /run/bin/$tool; done; export PATH=/run/bin:$PATH";
    const BenchRun run =
        bench.RunInNamespace({"sh", "-c", "sh \"$0\" \"$1\" && cat /run/calls 2>/dev/null; true",
                              std::string(IOLINK_PACKAGE_SCRIPTS "/") + c.script, c.argument},
                             setup, kRunMs);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.out, c.calls) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Package, PackageScripts,
    ::testing::Values(ScriptCase{"postinst", "configure",
                                 "udevadm control --reload-rules\n"
                                 "udevadm trigger --action=change /sys/class/tty/ttyACM0\n"},
                      ScriptCase{"postrm", "remove",
                                 "udevadm control --reload-rules\n"
                                 "udevadm trigger --action=change /sys/class/tty/ttyACM0\n"
                                 "setfacl -b /dev/ttyACM0\n"},
                      ScriptCase{"postrm", "upgrade", ""}),
    [](const ::testing::TestParamInfo<ScriptCase>& info) {
        return std::string(info.param.script) + "_" + info.param.argument;
    });

// The updater as a user other than root (nobody), with the master's node root:dialout 0660.
class NormalUser : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = Bench::Unavailable();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
        if (geteuid() != 0) {
            GTEST_SKIP() << "switching to another user needs root";
        }
        const group* dialout = getgrnam("dialout");
        ASSERT_NE(dialout, nullptr);
        dialoutGid = dialout->gr_gid;
    }
    // The node that /dev/ttyACM0 leads to, as the default rules leave a ttyACM port.
    void NodeForDialout(const VirtualMaster& vm) {
        ASSERT_EQ(chown(vm.SlavePath().c_str(), 0, dialoutGid), 0);
        ASSERT_EQ(chmod(vm.SlavePath().c_str(), 0660), 0);
    }
    BenchRun RunAs(const std::string& groups, const std::vector<std::string>& args) {
        bench.RunUpdaterAs({"setpriv", "--reuid=65534", "--regid=65534",
                            groups.empty() ? "--clear-groups" : "--groups=" + groups, "--"});
        BenchRun run = bench.Run(args, kRunMs);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0);
        return run;
    }
    gid_t dialoutGid = 0;
    Bench bench;
};

// The result line names the permission problem: a script tells it from an empty bench.
TEST_F(NormalUser, OutsideTheGroupGetsThePermissionHintAndReason) {
    VirtualMaster& vm = bench.AddMaster(VmIdentity{});
    NodeForDialout(vm);
    const BenchRun run = RunAs("", {"-s"});
    EXPECT_EQ(run.out, "No USB IO-Link Master found. Exiting...\n\n");
    EXPECT_EQ(run.err,
              "iolink-update: cannot open ttyACM0: no permission (the device belongs to group "
              "dialout). Add your user to that group (sudo usermod -aG dialout $USER, then log in "
              "again) or install the udev rule 70-iolink-update.rules (see man iolink-update).\n"
              "iolink-update: result: nothing written (cannot open ttyACM0: no permission)\n");
    EXPECT_TRUE(vm.Received().empty());
}

TEST_F(NormalUser, InTheGroupFindsAndListsTheMaster) {
    VirtualMaster& vm = bench.AddMaster(VmIdentity{});
    NodeForDialout(vm);
    const BenchRun run = RunAs(std::to_string(dialoutGid), {"-s"});
    EXPECT_EQ(run.out,
              "ttyACM0 found, try to get information\n"
              "No Updateable USB Master Found...\n"
              "\n");
    EXPECT_EQ(run.err,
              "iolink-update: ttyACM0 (edition SE, main 3.0.10, stack 1.3.0): nothing to write: "
              "main firmware 3.0.10 is the version carried (-m after -s writes it again)\n"
              "iolink-update: result: nothing written (no master to update)\n");
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(NormalUser, PortHeldExclusivelyByAnotherProgramGetsTheBusyHint) {
    VirtualMaster& vm = bench.AddMaster(VmIdentity{});
    NodeForDialout(vm);
    // What a terminal program or ModemManager does: open the port and set TIOCEXCL.
    const int held = open(vm.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(ioctl(held, TIOCEXCL), 0);
    const BenchRun run = RunAs(std::to_string(dialoutGid), {"-s"});
    ioctl(held, TIOCNXCL);
    close(held);
    EXPECT_EQ(run.out, "No USB IO-Link Master found. Exiting...\n\n");
    EXPECT_EQ(run.err,
              "iolink-update: cannot open ttyACM0: the port is in use by another program (a "
              "terminal program, a modem manager or another updater). Close it and run the "
              "updater again.\n"
              "iolink-update: result: nothing written (cannot open ttyACM0: the port is in use "
              "by another program)\n");
    EXPECT_TRUE(vm.Received().empty());
}

// While a master restarts after its update, its new node may be closed to the user for a moment
// (here root:tty until the test opens it to dialout, some seconds after the restart): the
// rescans that fail to open it say nothing, and the update is verified once it opens.
TEST_F(NormalUser, NoHintWhileTheRestartingMastersPortIsClosed) {
    VirtualMaster& vm = bench.AddMaster(update_checks::Identity("309", "130"));
    vm.SetIdentityAfterUpdate(update_checks::Identity("30A", "130"));
    NodeForDialout(vm);
    std::thread opener([&] {
        // The restart plugs the master in a second time; the first rescan comes 5 s after the
        // swap, so by 6 s after the replug some rescans have met the closed node.
        if (vm.WaitPlugCount(2, 120000)) {
            std::this_thread::sleep_for(std::chrono::seconds(6));
            NodeForDialout(vm);
        }
    });
    const BenchRun run = RunAs(std::to_string(dialoutGid), {});
    opener.join();
    EXPECT_NE(run.out.find("New Master Version:  3.0.A/1.3.0 SE\n\r"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.err.find("cannot open"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("iolink-update: result: updated ttyACM0: main firmware 3.0.9 -> 3.0.10 "
                           "(verified)\n"),
              std::string::npos)
        << run.err;
}

}  // namespace
