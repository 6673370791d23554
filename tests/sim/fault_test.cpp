// The fault table: each knob does what it says, on the requests it is set for.
#include <gtest/gtest.h>

#include "tests/sim/host_port.h"

namespace {

class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        timing.verdictDelayMs = 5;
        timing.busyGapMs = 5;
        timing.restartDelayMs = 20;
        timing.restartDownMs = 50;
        sim.vm.SetTiming(timing);
        ASSERT_TRUE(sim.Open());
    }
    VirtualMaster& vm() { return sim.vm; }
    HostPort& host() { return *sim.host; }
    void Set(uint8_t type, const VmFault& f) { vm().SetFault(type, f); }
    void EnterDownload() {
        ASSERT_EQ(host().Exchange(Request(0xC9, 0, {}, 3))[5], 0);
        ASSERT_EQ(host().Exchange(Request(0xCA))[5], 0);
        ASSERT_EQ(host().ReadFrame()[10], 0x49);
    }
    VmTiming timing;
    SimOnPty sim;
};

TEST_F(Faults, StatusTypeAndSilenceApplyToTheChosenRequestsOnly) {
    VmFault status;
    status.from = 2;
    status.count = 1;
    status.status = 0x05;
    Set(0xDD, status);
    EXPECT_EQ(host().Exchange(Request(0xDD))[5], 0);
    EXPECT_EQ(host().Exchange(Request(0xDD)), Bytes({6, 0, 2, 0xDD, 0, 0x05}));
    EXPECT_EQ(host().Exchange(Request(0xDD))[5], 0);

    // A refused request does nothing: the refused InitDownload leaves the master outside its
    // boot loader, and the response keeps its length.
    Set(0xC9, status);
    EXPECT_EQ(host().Exchange(Request(0xC9, 0, {}, 3))[5], 0);
    vm().SetBootMode(false);
    const Bytes refused = host().Exchange(Request(0xC9, 0, {}, 3));
    EXPECT_EQ(refused.size(), 28u);
    EXPECT_EQ(refused[5], 0x05);
    EXPECT_EQ(Le32(refused, 20), 0u);
    EXPECT_FALSE(vm().Download().bootMode);

    VmFault type;
    type.responseType = 0x67;
    Set(0xDD, type);
    EXPECT_EQ(host().Exchange(Request(0xDD)), Bytes({6, 0, 2, 0x67, 0, 0}));

    VmFault silent;
    silent.from = 3;
    silent.silent = true;
    Set(0xDD, silent);
    EXPECT_EQ(host().Exchange(Request(0xDD)).size(), 6u);
    EXPECT_EQ(host().Exchange(Request(0xDD)).size(), 6u);
    for (int i = 0; i < 2; ++i) {
        host().Send(Request(0xDD));
        EXPECT_TRUE(host().Quiet(250));
    }
    // Other types are not affected; clearing ends the fault.
    EXPECT_EQ(host().Exchange(Request(0x67)).size(), 19u);
    vm().ClearFault(0xDD);
    EXPECT_EQ(host().Exchange(Request(0xDD)), Bytes({6, 0, 2, 0xDD, 0, 0}));
}

TEST_F(Faults, LateTrickledAndStalledAnswersArriveAsTimed) {
    VmFault late;
    late.lateMs = 400;
    Set(0xDD, late);
    auto start = SteadyClock::now();
    EXPECT_EQ(host().Exchange(Request(0xDD), 3000), Bytes({6, 0, 2, 0xDD, 0, 0}));
    EXPECT_GE(MsSince(start), 400);

    // Trickle: the 19-byte identification over one second, complete and unchanged.
    vm().ClearFaults();
    const Bytes plain = host().Exchange(Request(0x67));
    VmFault trickle;
    trickle.trickleMs = 1000;
    Set(0x67, trickle);
    start = SteadyClock::now();
    host().Send(Request(0x67));
    EXPECT_EQ(host().Read(4, 1000), Bytes(plain.begin(), plain.begin() + 4));
    EXPECT_EQ(host().Read(15, 3000), Bytes(plain.begin() + 4, plain.end()));
    EXPECT_GE(MsSince(start), 1000);

    // Stall: two bytes, then the rest after the stall time.
    timing.stallMs = 300;
    vm().SetTiming(timing);
    VmFault stall;
    stall.stallHeader = true;
    Set(0xDD, stall);
    start = SteadyClock::now();
    host().Send(Request(0xDD));
    EXPECT_EQ(host().Read(2, 1000), Bytes({6, 0}));
    EXPECT_EQ(host().Read(4, 2000), Bytes({2, 0xDD, 0, 0}));
    EXPECT_GE(MsSince(start), 300);
}

TEST_F(Faults, ExtraAndMalformedFramesAroundTheResponse) {
    // Garbage groups, a port event on port 20, a log record, then the response padded to 400
    // bytes.
    VmFault f;
    f.garbage = 2;
    f.eventPort = 20;
    f.logValues = 2;
    f.padTo = 400;
    Set(0xDD, f);
    host().Send(Request(0xDD));
    const Bytes garbage = {0xFF, 0xFF, 0x05, 0x00, 0x03};
    EXPECT_EQ(host().Read(5, 1000), garbage);
    EXPECT_EQ(host().Read(5, 1000), garbage);
    EXPECT_EQ(host().ReadFrame(), Bytes({12, 0, 2, 4, 20, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(host().ReadFrame(), Bytes({9, 0, 2, 32, 0, 0xDD, 2, 0, 1}));
    Bytes padded(400, 0);
    padded[0] = 0x90;
    padded[1] = 0x01;
    padded[2] = 2;
    padded[3] = 0xDD;
    EXPECT_EQ(host().ReadFrame(), padded);

    // A short event (7 bytes) and a 501-byte response.
    VmFault g;
    g.eventPort = 1;
    g.eventLength = 7;
    g.padTo = 501;
    Set(0xDD, g);
    host().Send(Request(0xDD));
    EXPECT_EQ(host().Read(7, 1000), Bytes({7, 0, 2, 4, 1, 0, 0}));
    const Bytes big = host().Read(501, 2000);
    ASSERT_EQ(big.size(), 501u);
    EXPECT_EQ(Bytes(big.begin(), big.begin() + 4), Bytes({0xF5, 0x01, 2, 0xDD}));
    EXPECT_TRUE(host().Quiet(100));
}

TEST_F(Faults, VerdictsCanFailComeAfterBusyEventsOrNotAtAll) {
    EnterDownload();
    ASSERT_EQ(host().Exchange(WriteRequest(0xFFFE0000u, Pattern(64, 1), 3))[5], 0);

    // The first block commit: two busy events, then a failure verdict; nothing committed.
    VmFault fail;
    fail.count = 1;
    fail.busyEvents = 2;
    fail.verdict = VmVerdict::Failure;
    Set(0xCE, fail);
    EXPECT_EQ(host().Exchange(Request(0xCE))[5], 0);
    for (int i = 0; i < 2; ++i) {
        const Bytes busy = host().ReadFrame();
        EXPECT_EQ(busy[3], 4);
        EXPECT_EQ(busy[10], 0x22);
    }
    const Bytes verdict = host().ReadFrame();
    EXPECT_EQ(verdict[10], 0x49);
    EXPECT_EQ(verdict[6], 0xC0);
    EXPECT_EQ(vm().Download().blocks, 0u);
    EXPECT_EQ(vm().Flash3()[0], 0xFF);

    // The block again (its writes were dropped): success.
    ASSERT_EQ(host().Exchange(WriteRequest(0xFFFE0000u, Pattern(64, 1), 3))[5], 0);
    EXPECT_EQ(host().Exchange(Request(0xCE))[5], 0);
    EXPECT_EQ(host().ReadFrame()[6], 0x00);
    EXPECT_EQ(vm().Download().blocks, 1u);

    // No verdict after the finish; the master still restarts.
    VmFault none;
    none.verdict = VmVerdict::None;
    Set(0xCD, none);
    const uint32_t plugs = vm().PlugCount();
    EXPECT_EQ(host().Exchange(Request(0xCD))[5], 0);
    EXPECT_TRUE(host().HungUp(2000));
    EXPECT_TRUE(vm().WaitPlugCount(plugs + 1, 2000));
}

TEST_F(Faults, FailedEraseStartsNoDownload) {
    VmFault fail;
    fail.verdict = VmVerdict::Failure;
    Set(0xCA, fail);
    ASSERT_EQ(host().Exchange(Request(0xC9, 0, {}, 3))[5], 0);
    EXPECT_EQ(host().Exchange(Request(0xCA))[5], 0);
    EXPECT_EQ(host().ReadFrame()[6], 0xC0);
    EXPECT_EQ(host().Exchange(WriteRequest(0xFFFE0000u, Pattern(16, 1), 3))[5], kVmNotErased);
}

TEST_F(Faults, VanishInTheMiddleOfABlockAndComeBack) {
    EnterDownload();
    VmFault vanish;
    vanish.from = 3;
    vanish.count = 1;
    vanish.vanish = true;
    vanish.comebackMs = 200;
    Set(0xCB, vanish);
    ASSERT_EQ(host().Exchange(WriteRequest(0xFFFE0000u, Pattern(64, 1), 3))[5], 0);
    ASSERT_EQ(host().Exchange(WriteRequest(0xFFFE0040u, Pattern(64, 2), 3))[5], 0);
    const uint32_t plugs = vm().PlugCount();
    host().Send(WriteRequest(0xFFFE0080u, Pattern(64, 3), 3));
    EXPECT_TRUE(host().HungUp(2000));
    ASSERT_TRUE(vm().WaitPlugCount(plugs + 1, 3000));
    ASSERT_TRUE(sim.Reopen());
    // The uncommitted writes went with the power; the download goes on from the last commit.
    const VmDownload d = vm().Download();
    EXPECT_TRUE(d.bootMode);
    EXPECT_TRUE(d.erased);
    EXPECT_EQ(d.pendingBytes, 0u);
    EXPECT_EQ(d.nextOffset, 0u);
    ASSERT_EQ(host().Exchange(Request(0xC9, 0, {}, 3))[5], 0);
    EXPECT_EQ(host().Exchange(WriteRequest(0xFFFE0000u, Pattern(64, 1), 3))[5], 0);

    // Without a comeback it stays away.
    VmFault away;
    away.vanish = true;
    Set(0xDD, away);
    const uint32_t now = vm().PlugCount();
    host().Send(Request(0xDD));
    EXPECT_TRUE(vm().WaitUnplugged(2000));
    EXPECT_FALSE(vm().WaitPlugCount(now + 1, 400));
}

TEST_F(Faults, NoComebackAfterFinish) {
    EnterDownload();
    ASSERT_EQ(host().Exchange(WriteRequest(0xFFFE0000u, Pattern(64, 1), 3))[5], 0);
    ASSERT_EQ(host().Exchange(Request(0xCE))[5], 0);
    ASSERT_EQ(host().ReadFrame()[6], 0);
    VmFault stay;
    stay.noComeback = true;
    Set(0xCD, stay);
    const uint32_t plugs = vm().PlugCount();
    EXPECT_EQ(host().Exchange(Request(0xCD))[5], 0);
    EXPECT_EQ(host().ReadFrame()[10], 0x49);
    EXPECT_TRUE(vm().WaitUnplugged(2000));
    EXPECT_FALSE(vm().WaitPlugCount(plugs + 1, 500));
    // A test (or bench) can still plug it back in by hand.
    EXPECT_TRUE(vm().Replug());
    EXPECT_EQ(vm().PlugCount(), plugs + 1);
}

}  // namespace
