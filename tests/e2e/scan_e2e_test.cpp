// The shipped updater against virtual masters: discovery, identification, the listing and the
// summary messages. Each test asserts every byte of standard output and the frames each virtual
// master received.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <utility>

#include "tests/e2e/bench.h"

namespace {

const Bytes kIdentify = {0x05, 0x00, 0x02, 0x67, 0x00};

VmIdentity Identity(const char* main, const char* edition, const char* stack = "130") {
    VmIdentity id;
    std::copy(main, main + 3, id.main);
    std::copy(edition, edition + 2, id.edition);
    std::copy(stack, stack + 3, id.stack);
    return id;
}

class ScanE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = Bench::Unavailable();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
    }
    BenchRun Run(const std::vector<std::string>& args, int status = 0) {
        BenchRun run = bench.Run(args, 60000);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, status);
        return run;
    }
    Bench bench;
};

TEST_F(ScanE2e, NoMasterAttached) {
    bench.AddForeignDevice();
    EXPECT_EQ(Run({}).out, "No USB IO-Link Master found. Exiting...\n\n");
}

TEST_F(ScanE2e, ShowOnlyWritesNothingButTheIdentificationRequest) {
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "SE"));
    EXPECT_EQ(Run({"-s"}).out,
              "ttyACM0 found, try to get information\n"
              "No Updateable USB Master Found...\n"
              "\n");
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(ScanE2e, MasterThatOpensButNeverAnswersIsNotListed) {
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "SE"));
    vm.SetSilent(true);
    EXPECT_EQ(Run({}).out,
              "ttyACM0 found, try to get information\n"
              "No USB IO-Link Master found. Exiting...\n"
              "\n");
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(ScanE2e, PortHeldByAnotherProgramIsSkippedSilently) {
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "SE"));
    const int held = open(vm.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Run({}).out, "No USB IO-Link Master found. Exiting...\n\n");
    close(held);
    EXPECT_TRUE(vm.Received().empty());
}

TEST_F(ScanE2e, TwoEligibleMastersAreRefused) {
    VirtualMaster& first = bench.AddMaster(Identity("30A", "SE"));
    VirtualMaster& second = bench.AddMaster(Identity("217", "SE", "120"));
    const BenchRun run = Run({"--exit-code"}, 2);
    EXPECT_EQ(run.out,
              "ttyACM0 found, try to get information\n"
              "ttyACM1 found, try to get information\n"
              "Please connect only one master for update:\n\r"
              "\n");
    EXPECT_EQ(run.err,
              "iolink-update: ttyACM0 (edition SE, main 3.0.10, stack 1.3.0) qualifies for an "
              "update, as does another: name the one to update with --port ttyACM0, or connect "
              "only that one\n"
              "iolink-update: ttyACM1 (edition SE, main 2.1.7, stack 1.2.0) qualifies for an "
              "update, as does another: name the one to update with --port ttyACM1, or connect "
              "only that one\n"
              "iolink-update: result: nothing written (2 masters qualify for an update)\n");
    EXPECT_EQ(first.Received(), std::vector<Bytes>{kIdentify});
    EXPECT_EQ(second.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(ScanE2e, ListingMarksTheOneEligibleMaster) {
    VirtualMaster& dev = bench.AddMaster(Identity("217", "DE"));
    VirtualMaster& se = bench.AddMaster(Identity("30A", "SE"));
    // The chosen master refuses the download start, so the run ends right after the listing.
    VmFault refuse;
    refuse.status = 5;
    se.SetFault(0xC9, refuse);
    EXPECT_EQ(Run({}).out,
              "ttyACM0 found, try to get information\n"
              "ttyACM1 found, try to get information\n"
              "Found 2 USB IO-Link Master. Only one is updateable by this program.\n\r"
              "   Development Edition (2.1.7/1.3.0) on ttyACM0\n\r"
              "-> Standard Edition (3.0.A/1.3.0) on ttyACM1\n\r"
              "Error in IOL_SP_InitDownload:5. Terminating update\n"
              "\n");
    EXPECT_EQ(dev.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(ScanE2e, MasterBelowTwoGetsTheNotice) {
    VirtualMaster& vm = bench.AddMaster(Identity("1FF", "SE"));
    EXPECT_EQ(Run({}).out,
              "ttyACM0 found, try to get information\n"
              "Error your Master is too old (<1.1.0) for updates.\n"
              "Please send it in to Norvik GmbH:\n"
              "\n"
              "Norvik GmbH\n"
              "Kanalweg 27\n"
              "31847 Osterfelde\n"
              "No Updateable USB Master Found...\n"
              "\n");
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});
}

// The program as a placeholder build ships it: the scan, the listing, then the refusal; the
// master receives the identification request and nothing else (no port reset, no download).
TEST_F(ScanE2e, PlaceholderBuildListsTheMasterButWritesNothing) {
    bench.UseUpdater(Bench::RefusingUpdaterPath());
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "SE"));
    const char* const refusal =
        "This build carries placeholder firmware images: nothing was written. To update masters, "
        "build with the real images: cmake -DIOLINK_FIRMWARE_DIR=<folder of real images>\n";
    EXPECT_EQ(Run({}).out,
              "ttyACM0 found, try to get information\n"
              "Found 1 USB IO-Link Master. Only one is updateable by this program.\n\r"
              "-> Standard Edition (3.0.A/1.3.0) on ttyACM0\n\r" +
                  std::string(refusal) + "\n");
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});

    // A 2.x master with both the IO-Link stack and the main firmware chosen: neither is written.
    vm.ClearReceived();
    vm.SetIdentity(Identity("215", "SE", "120"));
    EXPECT_EQ(Run({}).out,
              "ttyACM0 found, try to get information\n"
              "Found 1 USB IO-Link Master. Only one is updateable by this program.\n\r"
              "-> Standard Edition (2.1.5/1.2.0) on ttyACM0\n\r" +
                  std::string(refusal) + "\n");
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});
}

TEST_F(ScanE2e, UnknownEditionIsListedWithoutName) {
    bench.AddMaster(Identity("217", "XY"));
    VirtualMaster& se = bench.AddMaster(Identity("217", "SE", "130"));
    // -s -i chooses only a stack of the same version: the SE master. Its stack boot loader
    // refuses the start, so the run ends right after the listing.
    VmFault refuse;
    refuse.status = 3;
    se.SetFault(0xE7, refuse);
    EXPECT_EQ(Run({"-s", "-i"}).out,
              "ttyACM0 found, try to get information\n"
              "ttyACM1 found, try to get information\n"
              "Found 2 USB IO-Link Master. Only one is updateable by this program.\n\r"
              "    Edition (2.1.7/1.3.0) on ttyACM0\n\r"
              "-> Standard Edition (2.1.7/1.3.0) on ttyACM1\n\r"
              "Init Failed: 3\n"
              "\n");
}

// --port names one master of several in any of its spellings: the scan opens that master's port
// and no other, and its listing row carries the serial number and USB location. A name that
// names no master, or a port that another program holds, opens nothing and writes nothing.
TEST_F(ScanE2e, PortOptionOpensTheNamedMasterAlone) {
    VirtualMaster& first = bench.AddMaster(Identity("309", "SE"));
    VirtualMaster& second = bench.AddMaster(Identity("309", "SE"));
    const std::string byId = "/dev/serial/by-id/usb-Norvik_GmbH_IO-Link_USB_Master_VM2-if00";
    const std::string setup = "mkdir -p /dev/serial/by-id && ln -sf ../../ttyACM1 " + byId;
    const std::vector<std::vector<std::string>> forms = {
        {"--port", "ttyACM1"}, {"--port", "/dev/ttyACM1"}, {"--port", byId},
        {"--port", "VM2"},     {"--port=ttyACM1"},
    };
    for (const std::vector<std::string>& form : forms) {
        first.ClearReceived();
        second.ClearReceived();
        std::vector<std::string> command = {Bench::UpdaterPath(), "--list"};
        command.insert(command.end(), form.begin(), form.end());
        const BenchRun run = bench.RunInNamespace(command, setup, 60000);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out,
                  "ttyACM1 found, try to get information\n"
                  "ttyACM1  serial VM2  usb 1-2  edition SE  main 3.0.9  stack 1.3.0  would write "
                  "main firmware 3.0.9 -> 3.0.10\n")
            << form.back();
        EXPECT_EQ(run.err, "") << form.back();
        EXPECT_TRUE(first.Received().empty()) << form.back();
        EXPECT_EQ(second.Received(), std::vector<Bytes>{kIdentify}) << form.back();
    }

    first.ClearReceived();
    second.ClearReceived();
    BenchRun run = Run({"--port", "ttyACM7", "--exit-code"}, 2);
    EXPECT_EQ(run.out, "No USB IO-Link Master found. Exiting...\n\n");
    EXPECT_EQ(run.err,
              "iolink-update: --port ttyACM7 names no attached master (masters found: ttyACM0 "
              "(serial VM1), ttyACM1 (serial VM2)): nothing was opened\n"
              "iolink-update: result: nothing written (--port ttyACM7 names no attached master)\n");
    EXPECT_TRUE(first.Received().empty());
    EXPECT_TRUE(second.Received().empty());

    const int held = open(second.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    run = Run({"--port", "ttyACM1", "--exit-code"}, 2);
    close(held);
    EXPECT_EQ(run.out, "No USB IO-Link Master found. Exiting...\n\n");
    EXPECT_NE(run.err.find("iolink-update: cannot open ttyACM1: the port is in use by another "
                           "program"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(first.Received().empty());
    EXPECT_TRUE(second.Received().empty());
}

// --list --json: one document on standard output, the masters told apart by serial number and
// location, each with what a run would do; a record file that cannot be opened stops a run
// before any port is opened.
TEST_F(ScanE2e, RecordsForPrograms) {
    VirtualMaster& first = bench.AddMaster(Identity("309", "SE"));
    VirtualMaster& second = bench.AddMaster(Identity("217", "DE"));
    BenchRun run = Run({"--list", "--json"});
    const nlohmann::json listed = nlohmann::json::parse(run.out);
    EXPECT_EQ(listed["format"], 1);
    EXPECT_EQ(listed["masters"], nlohmann::json::parse(R"([
        {"port": "ttyACM0", "devicePath": "/dev/ttyACM0", "serialNumber": "VM1",
         "usbLocation": "1-1", "edition": "SE", "main": "3.0.9", "stack": "1.3.0",
         "wouldWrite": [{"kind": "main firmware", "from": "3.0.9", "to": "3.0.10"}]},
        {"port": "ttyACM1", "devicePath": "/dev/ttyACM1", "serialNumber": "VM2",
         "usbLocation": "1-2", "edition": "DE", "main": "2.1.7", "stack": "1.3.0",
         "wouldWriteNothing": "only masters of edition SE are updated"}])"));
    EXPECT_EQ(run.err,
              "ttyACM0 found, try to get information\nttyACM1 found, try to get information\n"
              "ttyACM0  serial VM1  usb 1-1  edition SE  main 3.0.9  stack 1.3.0  would write "
              "main firmware 3.0.9 -> 3.0.10\n"
              "ttyACM1  serial VM2  usb 1-2  edition DE  main 2.1.7  stack 1.3.0  would write "
              "nothing: only masters of edition SE are updated\n");

    first.ClearReceived();
    second.ClearReceived();
    run = Run({"--log", "/nonexistent/record", "--exit-code"}, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "iolink-update: cannot open the record file /nonexistent/record: No such file or "
              "directory: nothing was opened\n"
              "iolink-update: result: nothing written (cannot open the record file "
              "/nonexistent/record: No such file or directory)\n");
    EXPECT_TRUE(first.Received().empty());
    EXPECT_TRUE(second.Received().empty());
}

// Arguments that only ask never write: the master receives at most the scan's identification.
struct Question {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    bool identified;  // the master received the identification request
    int status;
};

TEST_F(ScanE2e, QuestionsNeverWrite) {
    VirtualMaster& vm = bench.AddMaster(Identity("309", "SE"));
    const std::string found = "ttyACM0 found, try to get information\n";
    const std::string row = "ttyACM0  serial VM1  usb 1-1  edition SE  main 3.0.9  stack 1.3.0  ";
    const Question questions[] = {
        {{"/?"}, "Norvik IO-Link USB Master - SE Firmware Updater\n", "", false, 0},
        {{"-s", "--version"},
         "iolink-update " IOLINK_PROGRAM_VERSION "\n"
         "main firmware for masters on 3.x: 3.0.10\n"
         "main firmware for masters on 2.x: 2.1.7 (edition SE)\n"
         "IO-Link stack: 1.3.0\n"
         "placeholder images: this build carries synthetic placeholder images, not firmware, and "
         "WRITES them into masters (a test build, for virtual masters only)\n",
         "",
         false,
         0},
        {{"--list"}, found + row + "would write main firmware 3.0.9 -> 3.0.10\n", "", true, 0},
        {{"--list", "-s", "--exit-code"},
         found + row +
             "would write nothing: main firmware 3.0.9 is older than the carried 3.0.10, and -s "
             "cleared the choice\n",
         "",
         true,
         0},
        {{"--versoin"},
         "",
         "iolink-update: unknown option --versoin: nothing was done "
         "(iolink-update -? lists the options)\n",
         false,
         0},
        {{"--exit-code", "--hlep"},
         "",
         "iolink-update: unknown option --hlep: nothing was done "
         "(iolink-update -? lists the options)\n",
         false,
         4},
    };
    for (const Question& q : questions) {
        vm.ClearReceived();
        const BenchRun run = Run(q.args, q.status);
        EXPECT_EQ(run.out.substr(0, q.out.size()), q.out) << q.args[0];
        if (q.args[0] != "/?") {
            EXPECT_EQ(run.out, q.out);
        }
        EXPECT_EQ(run.err, q.err) << q.args[0];
        EXPECT_EQ(vm.Received(),
                  q.identified ? std::vector<Bytes>{kIdentify} : std::vector<Bytes>{})
            << q.args[0];
    }
}

// Spellings that a letter option would take, or that would be ignored, and so start a run that
// writes: each is refused with the right spelling, and the master receives nothing. The letter
// words and the value of --port that stay as they were make the -s run they always made.
TEST_F(ScanE2e, MisspeltOptionsNeverWrite) {
    VirtualMaster& vm = bench.AddMaster(Identity("309", "SE"));
    // The first argument is refused; the text in parentheses names the right spelling.
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"-version"}, "the option is spelt --version"},
        {{"-list", "--exit-code"}, "the option is spelt --list"},
        {{"-v", "--exit-code"}, "the option is spelt --version"},
        {{"-V"}, "the option is spelt --version"},
        {{"/s", "--exit-code"}, "the option is spelt -s"},
        {{"-exit-code"}, "the option is spelt --exit-code"},
        {{"-port", "ttyACM0", "--exit-code"}, "the option is spelt --port"},
        {{"-port=ttyACM0"}, "the option is spelt --port"},
        {{"-json", "--exit-code"}, "the option is spelt --json"},
        {{"-log", "run.log"}, "the option is spelt --log"},
        {{"-log=run.log", "--exit-code"}, "the option is spelt --log"},
        {{"-no-downgrade"}, "the option is spelt --no-downgrade"},
        {{"/dev/ttyACM0", "-s", "--exit-code"}, "options begin with a dash, not /"},
    };
    for (const auto& [args, why] : refusals) {
        vm.ClearReceived();
        // Status 4 under --exit-code, as for an unknown option; 0 without.
        const BenchRun run = Run(args, args.back() == "--exit-code" ? 4 : 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "iolink-update: " + args[0] + " is refused (" + why +
                               "): nothing was done (iolink-update -? lists the options)\n");
        EXPECT_TRUE(vm.Received().empty()) << args[0];
    }
    const std::vector<std::string> showOnly[] = {
        {"-all", "-s"}, {"-x", "-s"}, {"-A", "-s"}, {"--port", "/dev/ttyACM0", "-s"}};
    for (const std::vector<std::string>& args : showOnly) {
        vm.ClearReceived();
        EXPECT_EQ(Run(args).out,
                  "ttyACM0 found, try to get information\n"
                  "No Updateable USB Master Found...\n\n")
            << args[0];
        EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify}) << args[0];
    }
}

// A master on a newer version than the carried image's: the default run writes the older image and
// says so before the first write, and so does --list; under --no-downgrade neither the main
// firmware nor the IO-Link stack is written older.
TEST_F(ScanE2e, AnOlderImageIsSaidAndNoDowngradeKeepsItOut) {
    VirtualMaster& vm = bench.AddMaster(Identity("310", "SE"));
    const std::string found = "ttyACM0 found, try to get information\n";
    const std::string row = "ttyACM0  serial VM1  usb 1-1  edition SE  main 3.1.0  stack 1.3.0  ";
    const std::string older = "main firmware 3.1.0 -> 3.0.10 (older than what the master runs)";
    EXPECT_EQ(Run({"--list"}).out, found + row + "would write " + older + "\n");

    vm.ClearReceived();
    BenchRun run = Run({"--no-downgrade", "--exit-code"}, 2);
    EXPECT_EQ(run.out, found + "No Updateable USB Master Found...\n\n");
    EXPECT_EQ(
        run.err,
        "iolink-update: ttyACM0 (edition SE, main 3.1.0, stack 1.3.0): nothing to write: main "
        "firmware 3.1.0 is newer than the carried 3.0.10, and --no-downgrade writes no older "
        "image\n"
        "iolink-update: result: nothing written (no master to update)\n");
    EXPECT_EQ(vm.Received(), std::vector<Bytes>{kIdentify});

    // The master refuses the download start: the run ends right after the announcement.
    VmFault refuse;
    refuse.status = 5;
    vm.SetFault(0xC9, refuse);
    run = Run({});
    EXPECT_EQ(run.err.rfind("iolink-update: writing " + older + " into the master on ttyACM0: ", 0),
              0u)
        << run.err;

    // A 2.x master with a newer IO-Link stack (chosen by default, as -i leaves it): --no-downgrade
    // keeps the stack out and leaves the main firmware of equal version chosen.
    vm.SetIdentity(Identity("217", "SE", "131"));
    EXPECT_EQ(Run({"--list", "-i", "--no-downgrade"}).out,
              found +
                  "ttyACM0  serial VM1  usb 1-1  edition SE  main 2.1.7  stack 1.3.1  would "
                  "write main firmware 2.1.7 -> 2.1.7\n");
}

}  // namespace
