// Whole updates by the shipped updater against virtual masters, in real time: the exact standard
// output, the frames the master received in order, and the master's flash against the image.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "images/images.h"
#include "tests/e2e/bench.h"
#include "tests/platform/pty_posix.h"
#include "tests/support/update_checks.h"
#include "tests/support/whole_update.h"

namespace {

using namespace update_checks;

constexpr uint32_t kRunTimeoutMs = 240000;

std::string Header(const std::string& versionText) {
    return WholeHeader(versionText, "ttyACM0");
}

std::string SwapAndReturn(const std::string& newVersion) {
    return WholeSwapAndReturn(newVersion, "ttyACM0");
}

class UpdateE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string reason = Bench::Unavailable();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
    }
    BenchRun Run(const std::vector<std::string>& args, const Bench::Watcher& watcher = {},
                 int status = 0) {
        BenchRun run = bench.Run(args, kRunTimeoutMs, watcher);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, status);
        return run;
    }
    Bench bench;
};

// A 3.0.9 master comes back with the carried 3.0.10: standard output as specified, standard error
// says what is written and that it was verified, and --exit-code makes the status 0.
TEST_F(UpdateE2e, MainFirmwareOfA3xMaster) {
    VirtualMaster& vm = bench.AddMaster(Identity("309", "130"));
    vm.SetIdentityAfterUpdate(Identity("30A", "130"));
    const BenchRun run = Run({"--exit-code"});
    EXPECT_EQ(run.out, Header("3.0.9/1.3.0") + kV3Dots + SwapAndReturn("3.0.A/1.3.0") + "\n");
    EXPECT_EQ(run.err,
              "iolink-update: writing main firmware 3.0.9 -> 3.0.10 into the master on ttyACM0: do "
              "not unplug it or close this window until the update ends (about 33 s)\n"
              "iolink-update: main firmware written into the master on ttyACM0; it now reports "
              "3.0.10, the version carried: verified\n"
              "iolink-update: result: updated ttyACM0: main firmware 3.0.9 -> 3.0.10 (verified)\n");

    const std::vector<Request> requests = Requests(vm.Received());
    ASSERT_GE(requests.size(), 8u);
    // Identification, resets of ports 0 and 1, the download in format 3.
    EXPECT_EQ(Types({requests.begin(), requests.begin() + 6}), "67 0F 0F C9 CA CB ");
    EXPECT_EQ(requests[1].address, 0u);
    EXPECT_EQ(requests[2].address, 1u);
    EXPECT_EQ(requests[3].format, 3);
    const size_t writes = CountType(requests, 0xCB);
    const size_t blocks = CountType(requests, 0xCE);
    EXPECT_EQ(writes, 1792u);
    EXPECT_EQ(blocks, 14u);
    for (const Request& r : requests) {
        if (r.type == 0xCB) {
            EXPECT_EQ(r.format, 3);
            EXPECT_EQ(r.length, 64u);
        }
    }
    ExpectWrites(requests, 0xFFFE0000, 0, 0xFFFF8000, 0xFFFFC000, 64);
    // After the last block: finish, then the master's restart and two identifications.
    EXPECT_EQ(Types({requests.end() - 4, requests.end()}), "CE CD 67 67 ");
    EXPECT_TRUE(vm.Violations().empty());
    ExpectFlash3(vm);
}

// A USB device without a product string is described as "USB Serial Device", before and after
// the restart, and updated like any other. It comes back with 3.0.11, not the 3.0.10 written: a
// failure for scripts.
TEST_F(UpdateE2e, MasterWithoutProductString) {
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "130"), BenchUsb{"0202", false});
    vm.SetIdentityAfterUpdate(Identity("30B", "130"));
    const BenchRun run = Run({"--exit-code"}, {}, 1);
    EXPECT_EQ(run.out, Header("3.0.A/1.3.0") + kV3Dots + SwapAndReturn("3.0.B/1.3.0") + "\n");
    EXPECT_NE(run.err.find("it now reports 3.0.11, not the 3.0.10 carried: NOT verified\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("iolink-update: result: failed ttyACM0: main firmware 3.0.10 -> 3.0.11 "
                           "(3.0.10 was written)\n"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(vm.Violations().empty());
    ExpectFlash3(vm);
}

TEST_F(UpdateE2e, MasterAlreadyInBootModeAndBusyBootLoader) {
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "130"));
    vm.SetIdentityAfterUpdate(Identity("30A", "130"));
    vm.SetBootMode(true);
    VmFault busy;
    busy.busyEvents = 3;  // the erase reports busy three times before its verdict
    vm.SetFault(0xCA, busy);
    const std::string header = Header("3.0.A/1.3.0");
    EXPECT_EQ(Run({}).out, header + "Master is already in Boot mode, continue\n" + kV3Dots +
                               SwapAndReturn("3.0.A/1.3.0") + "\n");
    // The second reset is not tried.
    EXPECT_EQ(Types(Requests(vm.Received())).substr(0, 15), "67 0F C9 CA CB ");
    EXPECT_TRUE(vm.Violations().empty());
    ExpectFlash3(vm);
}

TEST_F(UpdateE2e, StackThenMainFirmwareOfA2xMaster) {
    VirtualMaster& vm = bench.AddMaster(Identity("217", "120"));
    vm.SetIdentityAfterUpdate(Identity("218", "130"));
    EXPECT_EQ(Run({}).out, Header("2.1.7/1.2.0") + Repeat('+', 407) + "\n" + kV2Dots +
                               SwapAndReturn("2.1.8/1.3.0") + "\n");
    const std::vector<Request> requests = Requests(vm.Received());
    // The stack first: init, 407 chunks, the identification record, finish.
    ASSERT_GE(requests.size(), 411u);
    EXPECT_EQ(requests[1].type, 0xE7);
    for (size_t i = 2; i < 409; ++i) {
        ASSERT_EQ(requests[i].type, 0xE8) << i;
    }
    EXPECT_EQ(requests[2].address, 0u);
    EXPECT_EQ(requests[65].address, 0x1F80u);  // the 64th chunk, sent in full
    EXPECT_EQ(requests[65].length, 128u);
    EXPECT_EQ(requests[66].address, 0x4000u);  // 0x2000-0x3FFF skipped
    EXPECT_EQ(requests[408].address, 0xEB00u);
    EXPECT_EQ(requests[408].length, 96u);
    EXPECT_EQ(requests[409].address, 0x3FBF8u);
    EXPECT_EQ(requests[409].length, 8u);
    EXPECT_EQ(requests[410].type, 0xEB);
    // Then the main firmware with 2-byte addresses: 24,048 bytes in blocks of 8 KB.
    const std::vector<Request> main(requests.begin() + 411, requests.end());
    EXPECT_EQ(Types({main.begin(), main.begin() + 2}), "C9 CA ");
    EXPECT_EQ(main[0].format, 2);
    ExpectWrites(main, 0, 24048, 0x10000, 0x10000, 48);
    EXPECT_EQ(CountType(main, 0xCE), 3);
    EXPECT_TRUE(vm.Violations().empty());
    ExpectStackFlash(vm);
    ExpectFlash2(vm);
}

TEST_F(UpdateE2e, ReplugProcedureOnA205Master) {
    VirtualMaster& vm = bench.AddMaster(Identity("205", "130"));
    vm.SetIdentityAfterUpdate(Identity("217", "130"));
    size_t prompts = 0;
    // The operator: at each prompt, unplug the master, plug it back in, press a key.
    const BenchRun run = Run({}, [&](const std::string& out) -> std::string {
        if (!NewReplugPrompt(out, prompts)) {
            return "";
        }
        bench.ReplugMaster(0);
        return "k";
    });
    EXPECT_EQ(run.out, WholeReplugRun("ttyACM0"));
    EXPECT_EQ(prompts, 5u);
    ExpectReplugProcedureDone(vm);
}

// ---- Several masters on one PC ----

// With a DE master at ttyACM0 and the chosen SE master (main firmware 2.1.5, its IO-Link stack
// already the carried one) at ttyACM1, the rescan finds the DE master first: standard output
// identifies it (row 0), but the verdict is about the SE master, found again by its serial number.
// A DE master on 2.1.6 would make a good update look failed, one on the carried 2.1.7 an update
// that did not take look verified.
TEST(TwoMasterVerdictE2e, IsAboutTheUpdatedMaster) {
    if (const std::string reason = Bench::Unavailable(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    struct Case {
        const char* other;  // the DE master's main firmware
        const char* after;  // the SE master's, when it is back
        const char* result;
        int status;
    };
    const Case cases[] = {
        {"216", "217", "result: updated ttyACM1: main firmware 2.1.5 -> 2.1.7 (verified)\n", 0},
        {"217", "215", "result: failed ttyACM1: main firmware 2.1.5 -> 2.1.5 (2.1.7 was written)\n",
         1},
    };
    for (const Case& c : cases) {
        Bench bench;
        VmIdentity development = Identity(c.other, "130");
        std::copy_n("DE", 2, development.edition);
        VirtualMaster& other = bench.AddMaster(development);
        VirtualMaster& chosen = bench.AddMaster(Identity("215", "130"));
        chosen.SetIdentityAfterUpdate(Identity(c.after, "130"));
        const BenchRun run = bench.Run({"--exit-code"}, kRunTimeoutMs);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, c.status) << c.after;
        EXPECT_NE(run.out.find("New Master Version:  2.1." + std::string(1, c.other[2]) +
                               "/1.3.0 DE\n\r"),
                  std::string::npos)
            << run.out;
        EXPECT_NE(run.err.find(std::string("iolink-update: ") + c.result), std::string::npos)
            << run.err;
        EXPECT_EQ(CountType(Requests(other.Received()), 0xC9), 0u);
        ExpectFlash2(chosen);
    }
}

// Two processes side by side, each with its own --port, each update its own master in about the
// time of one: standard output is what a run with that master alone prints, and each master
// receives its own process's frames only (the scan's identification, the download, and after the
// restart one identification by the rescan and one by the final open). Both keep their record in
// one file, each a whole line; the first answers in JSON as well, its text on standard error.
TEST_F(UpdateE2e, SideBySideWithOnePortEachAndOneRecordFile) {
    VirtualMaster* masters[] = {&bench.AddMaster(Identity("309", "130")),
                                &bench.AddMaster(Identity("309", "130"))};
    for (VirtualMaster* vm : masters) {
        vm->SetIdentityAfterUpdate(Identity("30A", "130"));
    }
    char pattern[] = "/tmp/iolink-side-by-side-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string script =
        "for n in 0 1; do j=; [ $n = 0 ] && j=--json; (\"$0\" --port ttyACM$n --exit-code $j --log "
        "\"$1/record\" >\"$1/out$n\" 2>\"$1/err$n\"; echo $? >\"$1/status$n\") & done; wait";
    const BenchRun run =
        bench.RunInNamespace({"sh", "-c", script, Bench::UpdaterPath(), dir}, "", kRunTimeoutMs);
    EXPECT_FALSE(run.timedOut);
    const auto read = [&](const std::string& name) {
        std::ifstream file(dir + "/" + name);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    std::vector<nlohmann::json> records;
    std::istringstream lines(read("record"));
    for (std::string line; std::getline(lines, line);) {
        records.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(records.size(), 2u);
    for (int n = 0; n < 2; ++n) {
        const std::string port = "ttyACM" + std::to_string(n);
        const std::string text = WholeHeader("3.0.9/1.3.0", port) + kV3Dots +
                                 WholeSwapAndReturn("3.0.A/1.3.0", port) + "\n";
        EXPECT_EQ(read("status" + std::to_string(n)), "0\n") << port;
        const std::string err = read("err" + std::to_string(n));
        EXPECT_NE(err.find("iolink-update: result: updated " + port +
                           ": main firmware 3.0.9 -> 3.0.10 (verified)\n"),
                  std::string::npos)
            << err;
        const nlohmann::json& record = records[0]["run"]["port"] == port ? records[0] : records[1];
        EXPECT_EQ(record["run"]["result"], "updated");
        EXPECT_EQ(record["masters"][0]["serialNumber"], "VM" + std::to_string(n + 1));
        EXPECT_EQ(record["run"]["procedures"][0],
                  nlohmann::json::parse(R"({"kind": "main firmware", "before": "3.0.9",
                      "carried": "3.0.10", "after": "3.0.10", "verified": true,
                      "end": "written"})"));
        EXPECT_EQ(record["start"].get<std::string>().back(), 'Z');
        if (n == 0) {
            // The document on standard output is the record without the change log's part.
            nlohmann::json document = nlohmann::json::parse(read("out0"));
            EXPECT_EQ(document["log"]["written"], true);
            document.erase("log");
            nlohmann::json logged = record;
            for (const char* key : {"start", "end", "host", "user", "arguments"}) {
                logged.erase(key);
            }
            EXPECT_EQ(document, logged);
            EXPECT_EQ(record["arguments"], nlohmann::json({"--port", port, "--exit-code", "--json",
                                                           "--log", dir + "/record"}));
            // The run's own text went to standard error, and nothing else to standard output.
            EXPECT_NE(err.find("New Master Version:  3.0.A/1.3.0 SE\n\r"), std::string::npos);
        } else {
            EXPECT_EQ(read("out1"), text);
        }
        const std::vector<Request> requests = Requests(masters[n]->Received());
        EXPECT_EQ(CountType(requests, 0x67), 3u) << port;
        EXPECT_EQ(CountType(requests, 0xCB), 1792u) << port;
        EXPECT_TRUE(masters[n]->Violations().empty()) << port;
        ExpectFlash3(*masters[n]);
    }
    std::filesystem::remove_all(dir);
}

// ---- Failures: each ends with its message, and nothing is sent after it that must not be ----

struct Failure {
    const char* name;
    const char* main;
    const char* stack;
    std::vector<std::string> args;
    uint8_t faultType;
    VmFault fault;
    std::string expectedAfterHeader;
    std::string lastRequests;  // the types of the last requests the master saw
};

void PrintTo(const Failure& f, std::ostream* os) {
    *os << f.name;
}

VmFault Verdict(VmVerdict verdict) {
    VmFault f;
    f.verdict = verdict;
    return f;
}

VmFault StatusAt(uint32_t from, uint8_t status) {
    VmFault f;
    f.from = from;
    f.count = 1;
    f.status = status;
    return f;
}

class UpdateFailureE2e : public UpdateE2e, public ::testing::WithParamInterface<Failure> {};

TEST_P(UpdateFailureE2e, EndsWithItsMessage) {
    const Failure& f = GetParam();
    VirtualMaster& vm = bench.AddMaster(Identity(f.main, f.stack));
    vm.SetFault(f.faultType, f.fault);
    char version[16];
    std::snprintf(version, sizeof(version), "%c.%c.%c/%c.%c.%c", f.main[0], f.main[1], f.main[2],
                  f.stack[0], f.stack[1], f.stack[2]);
    std::vector<std::string> args = f.args;
    args.push_back("--exit-code");
    const BenchRun run = Run(args, {}, 1);
    EXPECT_EQ(run.out, Header(version) + f.expectedAfterHeader + "\n");
    EXPECT_NE(run.err.find("iolink-update: result: failed ttyACM0: "), std::string::npos)
        << run.err;
    const std::string types = Types(Requests(vm.Received()));
    EXPECT_EQ(types.substr(types.size() - f.lastRequests.size()), f.lastRequests);
}

VmFault Vanish(uint32_t at) {
    VmFault f;
    f.from = at;
    f.count = 1;
    f.vanish = true;
    return f;
}

VmFault NoComeback() {
    VmFault f;
    f.noComeback = true;
    return f;
}

VmFault Busy() {
    VmFault f;
    f.busyEvents = 1;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UpdateFailureE2e,
    ::testing::Values(
        Failure{"EraseVerdictFailure",
                "30A",
                "130",
                {},
                0xCA,
                Verdict(VmVerdict::Failure),
                "  Erasing was not successful error=0x1. Terminating Update\n",
                "0F 0F C9 CA "},
        Failure{"NoVerdictWithin20Polls",
                "30A",
                "130",
                {},
                0xCA,
                Verdict(VmVerdict::None),
                "  Erasing was not successful error=0x2. Terminating Update\n",
                "C9 CA "},
        Failure{"BusyEventFailsAV2Step",
                "217",
                "130",
                {},
                0xCA,
                Busy(),
                "  Erasing was not successful error=0x22. Terminating Update\n",
                "67 C9 CA "},
        Failure{"RejectedWrite",
                "217",
                "130",
                {},
                0xCB,
                StatusAt(5, 7),
                ".Error in IOL_SP_Write at 100 with result:7\n",
                "CA CB CB CB CB CB "},
        Failure{"FailedSwap",
                "217",
                "130",
                {},
                0xCD,
                Verdict(VmVerdict::Failure),
                kV2Dots + "  swapping was not successful. Terminating Update\n",
                "CE CD "},
        Failure{"MasterDoesNotComeBack",
                "217",
                "130",
                {},
                0xCD,
                NoComeback(),
                kV2Dots +
                    "\nBoot swapping was successful\nWaiting for detection of the new "
                    "interface" +
                    Repeat('.', 50) +
                    "Master was not found. Please check if the update was OK.!!!!!!!!!!!\n",
                "CE CD "},
        Failure{"RejectedStackWrite",
                "217",
                "130",
                {"-s", "-i"},
                0xE8,
                StatusAt(10, 2),
                Repeat('+', 10) + "\nWrite Failed: 2\n\n",
                "E8 E8 E8 EB "},
        Failure{"UnpluggedInTheMiddleOfABlock",
                "217",
                "130",
                {},
                0xCB,
                Vanish(50),
                "......Error in IOL_SP_Write at C40 with result:FFFFFFFA\n",
                "CB CB "}),
    [](const ::testing::TestParamInfo<Failure>& info) { return info.param.name; });

// ---- Interruptions: a stop request, a closed output or an unanswerable prompt never leaves a
// master half-written by accident ----

enum class Input : uint8_t { endOfInput, open, terminal };

struct Interruption {
    const char* name;
    const char* main;  // the master's main firmware ("30A", "205"); nullptr: no master
    uint8_t faultType;
    VmFault fault;
    Input input;
    const char* pipeThrough;  // a shell pipeline the output goes through ("" for none)
    std::string trigger;      // `send` once the output holds this text `times` times ("": none)
    size_t times;
    size_t received;  // ... and the master has received this many requests
    std::vector<std::string> args;
    std::string outEnd;               // standard output ends with this
    std::vector<std::string> errHas;  // lines standard error holds
    std::string lastRequests;         // the types of the last requests the master saw
    bool flashWritten;                // the 3.x image is in flash and swapped
    int signal;                       // the signal the run ended with (0: it exited)
    int status;                       // its exit status when it exited
    int send = SIGINT;                // the signal the trigger sends
    // Shell commands that set up the updater's process before it starts, such as the signal
    // dispositions it inherits (`trap '' HUP`, kept across exec as ignored) or its output.
    const char* setup = "";
    bool fails = false;  // a step fails: standard output leaves the whole run's there
};

void PrintTo(const Interruption& i, std::ostream* os) {
    *os << i.name;
}

class InterruptionE2e : public UpdateE2e, public ::testing::WithParamInterface<Interruption> {};

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

VmFault LateReset() {
    VmFault f;
    f.count = 1;
    f.lateMs = 1500;
    return f;
}

TEST_P(InterruptionE2e, StopsAtASafePointAndSaysWhere) {
    const Interruption& c = GetParam();
    VirtualMaster* vm = nullptr;
    std::string whole;
    if (c.main != nullptr) {
        vm = &bench.AddMaster(Identity(c.main, "130"));
        vm->SetIdentityAfterUpdate(Identity(c.main, "130"));
        if (c.faultType != 0) {
            vm->SetFault(c.faultType, c.fault);
        }
        whole = c.main[0] == '3'
                    ? Header("3.0.A/1.3.0") + kV3Dots + SwapAndReturn("3.0.A/1.3.0") + "\n"
                    : WholeReplugRun("ttyACM0");
    }
    // Standard input: at its end, a pipe nobody writes to, or a terminal of the test's own.
    TestPty pty;
    std::string setup = c.setup;
    termios before{};
    int slave = -1;
    if (c.input == Input::terminal) {
        ASSERT_TRUE(pty.ok());
        slave = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        ASSERT_EQ(tcgetattr(slave, &before), 0);
        setup += "\nexec <" + pty.slavePath();
    }
    bool signalled = false;
    const Bench::Watcher watcher = [&](const std::string& out) -> std::string {
        if (!signalled && !c.trigger.empty() && Count(out, c.trigger) >= c.times) {
            signalled = true;
            EXPECT_TRUE(vm != nullptr && vm->WaitReceived(c.received, 5000));
            bench.Signal(c.send);
        }
        return "";
    };
    std::vector<std::string> command = {Bench::UpdaterPath()};
    command.insert(command.end(), c.args.begin(), c.args.end());
    if (c.pipeThrough[0] != '\0') {
        std::string line = Bench::UpdaterPath();
        for (const std::string& a : c.args) {
            line += " " + a;
        }
        command = {"sh", "-c", line + " | " + c.pipeThrough};
    }
    const BenchRun run = bench.RunInNamespace(
        command, setup, kRunTimeoutMs, c.input == Input::endOfInput ? Bench::Watcher{} : watcher);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, c.signal);
    if (c.signal == 0) {
        EXPECT_EQ(run.status, c.status);
    }
    // What standard output shows is where the whole run's would stand at that moment.
    // (A run that fails leaves it at the failure: the failure table checks that output.)
    if (!c.fails && c.pipeThrough[0] == '\0') {
        EXPECT_EQ(whole.substr(0, run.out.size()), run.out);
        EXPECT_GE(run.out.size(), c.outEnd.size());
        EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), c.outEnd.size())),
                  c.outEnd);
    } else if (!c.fails) {
        EXPECT_EQ(run.out, c.outEnd);
    }
    for (const std::string& line : c.errHas) {
        EXPECT_NE(run.err.find(line), std::string::npos) << line << "\nin:\n" << run.err;
    }
    if (vm != nullptr) {
        const std::string types = Types(Requests(vm->Received()));
        EXPECT_EQ(types.substr(types.size() - std::min(types.size(), c.lastRequests.size())),
                  c.lastRequests);
    }
    if (c.flashWritten) {
        ASSERT_NE(vm, nullptr);
        ExpectFlash3(*vm);
        EXPECT_TRUE(vm->Download().finished);
    }
    if (c.input == Input::terminal) {
        termios after{};
        ASSERT_EQ(tcgetattr(slave, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
        EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
        close(slave);
    }
}

const char* const kSwapDone = "\nBoot swapping was successful\n";

// SIGINT into a 3.x update once the output holds `trigger` `times` times and the master has
// received `received` requests (none for ""), with or without --exit-code: the result line, and
// the status that must agree with it.
Interruption Interrupted(const char* name, uint8_t faultType, const VmFault& fault,
                         const char* trigger, size_t times, size_t received, bool exitCode,
                         const std::string& result, int status) {
    Interruption i{name,        "30A", faultType, fault,
                   Input::open, "",    trigger,   times,
                   received,    {},    "",        {"iolink-update: result: " + result + "\n"},
                   "",          false, 0,         status};
    if (exitCode) {
        i.args = {"--exit-code"};
    }
    i.fails = result.rfind("failed", 0) == 0;
    return i;
}

// `send` in block 3 of a 3.x update (the header holds 6 dots; the 33rd progress dot is the first
// of block 3): the flash takes the image either way. A signal that changes nothing (endsBy 0) lets
// the whole update run, verified; one that stops the run lets the download finish first.
Interruption InBlock3(const char* name, int send, const char* setup, int endsBy) {
    const bool stops = endsBy != 0;
    Interruption i = Interrupted(
        name, 0, {}, ".", 6 + 33, 0, false,
        stops ? "stopped ttyACM0: main firmware 3.0.10 -> 3.0.10 stopped after the swap, before "
                "the wait for the restarting master"
              : "updated ttyACM0: main firmware 3.0.10 -> 3.0.10 (verified)",
        0);
    i.outEnd = stops ? kSwapDone : SwapAndReturn("3.0.A/1.3.0") + "\n";
    i.lastRequests = stops ? "CE CD " : "CD 67 67 ";
    i.flashWritten = true;
    i.signal = endsBy;
    i.send = send;
    i.setup = setup;
    return i;
}

// `send` at the first replug prompt of a 2.0.5 master, with standard input a terminal.
Interruption AtThePromptOnATerminal(const char* name, int send, const char* setup) {
    Interruption i = Interrupted(name, 0, {}, kReplugPrompt.c_str(), 1, 0, false,
                                 "stopped ttyACM0: main firmware 2.0.5 -> 2.1.7 stopped at the "
                                 "replug prompt",
                                 0);
    i.main = "205";
    i.input = Input::terminal;
    i.outEnd = kReplugPrompt;
    i.lastRequests = "67 C9 CA ";
    i.signal = i.send = send;
    i.setup = setup;
    return i;
}

INSTANTIATE_TEST_SUITE_P(
    Interruptions, InterruptionE2e,
    ::testing::Values(
        // In block 3 of 14: the download runs on to the swap's verdict, then the program stops
        // before the wait for the restarting master, and ends as SIGINT would have ended it.
        // (The header holds 6 dots; the 33rd progress dot is the first of block 3.)
        Interruption{"SigintInBlock3",
                     "30A",
                     0,
                     {},
                     Input::open,
                     "",
                     ".",
                     6 + 33,
                     0,
                     {},
                     kSwapDone,
                     {"iolink-update: stop requested (interrupt): the master's flash is being "
                      "rewritten (block 3 of 14); the program stops when this is done, in about",
                      "iolink-update: stopped after the swap, before the wait for the restarting "
                      "master: the new firmware is written and swapped",
                      "iolink-update: result: stopped ttyACM0: main firmware 3.0.10 -> 3.0.10 "
                      "stopped after the swap"},
                     "CE CD ",
                     true,
                     SIGINT,
                     0},
        // Before the erase, while the first port reset waits for its late answer: nothing
        // further is sent.
        Interruption{"SigintBeforeTheErase",
                     "30A",
                     0x0F,
                     LateReset(),
                     Input::open,
                     "",
                     "-> Standard Edition",
                     1,
                     2,
                     {},
                     "on ttyACM0\n\r",
                     {"iolink-update: stopped before the download started: nothing was written"},
                     "67 0F ",
                     false,
                     SIGINT,
                     0},
        // The output goes to `head -3`, which quits after the listing: the download completes.
        Interruption{"OutputClosedByHead",
                     "30A",
                     0,
                     {},
                     Input::endOfInput,
                     "head -3",
                     "",
                     0,
                     0,
                     {},
                     "ttyACM0 found, try to get information\n"
                     "Found 1 USB IO-Link Master. Only one is updateable by this program.\n\r"
                     "-> Standard Edition (3.0.A/1.3.0) on ttyACM0\n",
                     {"iolink-update: stop requested (standard output was closed)",
                      "iolink-update: stopped after the swap"},
                     "CE CD ",
                     true,
                     0,
                     0},
        // Nobody at the replug prompt (standard input at its end): the procedure stops there.
        Interruption{"EndOfInputAtTheReplugPrompt",
                     "205",
                     0,
                     {},
                     Input::endOfInput,
                     "",
                     "",
                     0,
                     0,
                     {"--exit-code"},
                     kReplugPrompt,
                     {"iolink-update: stopped at the replug prompt: standard input ended, nobody "
                      "is there to replug the master: the master holds a partial download",
                      "iolink-update: result: stopped ttyACM0: main firmware 2.0.5 -> 2.1.7 "
                      "stopped at the replug prompt"},
                     "67 C9 CA ",
                     false,
                     0,
                     3},
        // Ctrl-C or Ctrl-\ at the prompt on a terminal: it stops, and the terminal is as it was.
        AtThePromptOnATerminal("SigintAtTheReplugPromptOnATerminal", SIGINT, ""),
        AtThePromptOnATerminal("SigquitAtTheReplugPromptOnATerminal", SIGQUIT, "ulimit -c 0"),
        // Signals the updater inherits as ignored (nohup; a command started with & by a script)
        // stay ignored. Ctrl-\ (SIGQUIT) not ignored is deferred like SIGINT, and ends the run.
        InBlock3("SighupIgnoredUnderNohup", SIGHUP, "trap '' HUP", 0),
        InBlock3("SigintIgnoredAsForABackgroundCommand", SIGINT, "trap '' INT", 0),
        InBlock3("SigquitIgnoredAsForABackgroundCommand", SIGQUIT, "trap '' QUIT", 0),
        InBlock3("SigquitInBlock3", SIGQUIT, "ulimit -c 0", SIGQUIT)),
    [](const ::testing::TestParamInfo<Interruption>& info) { return info.param.name; });

// A stop request changes the status only when the run stops: with --exit-code the status follows
// the result line, and without it only a stopped run ends as the signal would.
INSTANTIATE_TEST_SUITE_P(
    StatusAndResult, InterruptionE2e,
    ::testing::Values(
        // While the master, back after its restart, answers its final identification (late).
        Interrupted("SigintAtTheFinalIdentification", 0x67,
                    VmFault{.from = 3, .count = 1, .lateMs = 1500},
                    "ttyACM0 found, try to get information", 2, 1814, true,
                    "updated ttyACM0: main firmware 3.0.10 -> 3.0.10 (verified)", 0),
        Interrupted("SigintBeforeTheErase", 0x0F, LateReset(), "-> Standard Edition", 1, 2, true,
                    "stopped ttyACM0: main firmware 3.0.10 -> 3.0.10 stopped before the download "
                    "started",
                    3),
        // During an erase that then fails: the failure is the outcome.
        Interrupted("SigintDuringAFailingErase", 0xCA,
                    VmFault{.count = 1, .lateMs = 1000, .verdict = VmVerdict::Failure},
                    "-> Standard Edition", 1, 5, true,
                    "failed ttyACM0: main firmware 3.0.10 -> 3.0.10 failed at the erase", 1),
        Interrupted("SigintDuringAFailingEraseWithoutExitCode", 0xCA,
                    VmFault{.count = 1, .lateMs = 1000, .verdict = VmVerdict::Failure},
                    "-> Standard Edition", 1, 5, false,
                    "failed ttyACM0: main firmware 3.0.10 -> 3.0.10 failed at the erase", 0),
        // No master, and standard output's reader gone before the first line (`| grep -q`).
        [] {
            Interruption i = Interrupted("NoMasterAndAClosedOutput", 0, {}, "", 0, 0, true,
                                         "nothing written (no master found)", 2);
            i.main = nullptr;
            // A pipe whose only reader is closed before the updater starts.
            i.setup = "mkfifo \"$B/out\"; exec 5<>\"$B/out\" 6>\"$B/out\" 5<&-; exec >&6 6>&-";
            return i;
        }()),
    [](const ::testing::TestParamInfo<Interruption>& info) { return info.param.name; });

}  // namespace
