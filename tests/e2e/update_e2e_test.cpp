// Whole updates by the shipped updater against virtual masters, in real time: the exact standard
// output, the frames the master received in order, and the master's flash against the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "images/images.h"
#include "tests/e2e/bench.h"
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
    BenchRun Run(const std::vector<std::string>& args, const Bench::Watcher& watcher = {}) {
        BenchRun run = bench.Run(args, kRunTimeoutMs, watcher);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0);
        return run;
    }
    Bench bench;
};

TEST_F(UpdateE2e, MainFirmwareOfA3xMaster) {
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "130"));
    vm.SetIdentityAfterUpdate(Identity("30B", "130"));
    EXPECT_EQ(Run({}).out, Header("3.0.A/1.3.0") + kV3Dots + SwapAndReturn("3.0.B/1.3.0") + "\n");

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
// the restart, and updated like any other.
TEST_F(UpdateE2e, MasterWithoutProductString) {
    VirtualMaster& vm = bench.AddMaster(Identity("30A", "130"), BenchUsb{"0202", false});
    vm.SetIdentityAfterUpdate(Identity("30B", "130"));
    EXPECT_EQ(Run({}).out, Header("3.0.A/1.3.0") + kV3Dots + SwapAndReturn("3.0.B/1.3.0") + "\n");
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
    EXPECT_EQ(Run(f.args).out, Header(version) + f.expectedAfterHeader + "\n");
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

}  // namespace
