// The two boot loaders: responses, flash models, the checks on what the host sends, the restart
// after a finish and the download state across unplug and replug.
#include <gtest/gtest.h>

#include "tests/sim/host_port.h"

namespace {

constexpr uint32_t kBase3 = 0xFFFE0000u;

class BootLoader : public ::testing::Test {
  protected:
    void SetUp() override {
        VmTiming fast;
        fast.verdictDelayMs = 5;
        fast.busyGapMs = 5;
        fast.restartDelayMs = 50;
        fast.restartDownMs = 50;
        sim.vm.SetTiming(fast);
        ASSERT_TRUE(sim.Open());
    }
    VirtualMaster& vm() { return sim.vm; }
    HostPort& host() { return *sim.host; }

    // Status byte of the answer to a request.
    int Status(const Bytes& request) {
        const Bytes r = host().Exchange(request);
        if (r.size() < 6 || r[3] != request[3]) {
            return -1;
        }
        return r[5];
    }
    // The verdict event that follows an erase, block commit or finish: eventData byte 1.
    int Verdict() {
        const Bytes e = host().ReadFrame();
        if (e.size() != 12 || e[3] != 4 || e[10] != 0x49 || e[11] != 0) {
            return -1;
        }
        return e[6];
    }
    void StartDownload(uint8_t format) {
        ASSERT_EQ(Status(Request(0xC9, 0, {}, format)), 0);
        ASSERT_EQ(Status(Request(0xCA)), 0);
        ASSERT_EQ(Verdict(), 0x00);
    }
    void CommitBlock() {
        ASSERT_EQ(Status(Request(0xCE)), 0);
        ASSERT_EQ(Verdict(), 0x00);
    }
    SimOnPty sim;
};

TEST_F(BootLoader, V3DownloadLandsInTheWindowAndTheMasterRestartsWithItsNewIdentity) {
    VmIdentity after;
    after.main[2] = 'B';
    vm().SetIdentityAfterUpdate(after);

    const Bytes init = host().Exchange(Request(0xC9, 0, {}, 3));
    ASSERT_EQ(init.size(), 28u);
    EXPECT_EQ(Bytes(init.begin(), init.begin() + 6), Bytes({28, 0, 2, 0xC9, 0, 0}));
    EXPECT_EQ(Le32(init, 20), kBase3);
    EXPECT_EQ(Le32(init, 24), 0x20000u);
    EXPECT_TRUE(vm().Download().bootMode);

    EXPECT_EQ(host().Exchange({5, 0, 2, 0xCA, 0}), Bytes({6, 0, 2, 0xCA, 0, 0}));
    EXPECT_EQ(host().ReadFrame(), Bytes({12, 0, 2, 4, 0, 0xCA, 0, 0, 0, 0, 0x49, 0}));

    // Two blocks with a gap between them (a skipped range keeps 0xFF).
    const Bytes a = Pattern(64, 1);
    const Bytes b = Pattern(64, 2);
    const Bytes c = Pattern(16, 3);
    EXPECT_EQ(Status(WriteRequest(kBase3, a, 3)), 0);
    EXPECT_EQ(Status(WriteRequest(kBase3 + 64, b, 3)), 0);
    // Nothing reaches flash before the block is committed.
    EXPECT_EQ(vm().Flash3()[0], 0xFF);
    const Bytes block = host().Exchange(Request(0xCE));
    ASSERT_EQ(block.size(), 14u);
    EXPECT_EQ(block[5], 0);
    EXPECT_EQ(Le32(block, 6), 1u);     // blocks so far
    EXPECT_EQ(Le32(block, 10), 128u);  // bytes in this block
    EXPECT_EQ(Verdict(), 0x00);
    EXPECT_EQ(Status(WriteRequest(0xFFFFFFF0u, c, 3)), 0);
    CommitBlock();

    Bytes expected(0x20000, 0xFF);
    std::copy(a.begin(), a.end(), expected.begin());
    std::copy(b.begin(), b.end(), expected.begin() + 64);
    std::copy(c.begin(), c.end(), expected.end() - 16);
    EXPECT_EQ(vm().Flash3(), expected);

    const uint32_t plugs = vm().PlugCount();
    const std::string oldPath = vm().SlavePath();
    EXPECT_EQ(Status(Request(0xCD)), 0);
    EXPECT_EQ(Verdict(), 0x00);
    // The restart: the pseudo-terminal hangs up and a new one comes with the new identity.
    EXPECT_TRUE(host().HungUp(3000));
    ASSERT_TRUE(vm().WaitPlugCount(plugs + 1, 3000));
    EXPECT_NE(vm().SlavePath(), oldPath);
    ASSERT_TRUE(sim.Reopen());
    EXPECT_EQ(host().Exchange(Request(0x67))[7], 'B');
    EXPECT_EQ(Status(Request(0x0F, 0, Bytes(31, 0))), 0);  // running its firmware again
    EXPECT_TRUE(vm().Download().finished);
    EXPECT_EQ(vm().Flash3(), expected);
    EXPECT_TRUE(vm().Violations().empty());
}

TEST_F(BootLoader, V2DownloadUsesTwoByteAddressesFromZero) {
    const Bytes init = host().Exchange(Request(0xC9, 0, {}, 2));
    EXPECT_EQ(Le32(init, 20), 0u);
    EXPECT_EQ(Le32(init, 24), 0x10000u);
    ASSERT_EQ(Status(Request(0xCA)), 0);
    ASSERT_EQ(Verdict(), 0);
    const Bytes a = Pattern(64, 9);
    const Bytes b = Pattern(48, 4);
    EXPECT_EQ(Status(WriteRequest(0x0000, a, 2)), 0);
    EXPECT_EQ(Status(WriteRequest(0x0040, b, 2)), 0);
    CommitBlock();
    Bytes expected(0x10000, 0xFF);
    std::copy(a.begin(), a.end(), expected.begin());
    std::copy(b.begin(), b.end(), expected.begin() + 64);
    EXPECT_EQ(vm().Flash2(), expected);
    EXPECT_EQ(vm().Flash3(), Bytes(0x20000, 0xFF));
    // An empty write is taken and changes nothing.
    EXPECT_EQ(Status(WriteRequest(0x0070, {}, 2)), 0);
    EXPECT_TRUE(vm().Violations().empty());
}

TEST_F(BootLoader, RefusesWritesOutOfOrderAndEverythingAfterARefusal) {
    // Before InitDownload, and before Erase.
    EXPECT_EQ(Status(WriteRequest(kBase3, Pattern(16, 0), 3)), kVmNoInit);
    ASSERT_EQ(Status(Request(0xC9, 0, {}, 3)), 0);
    EXPECT_EQ(Status(WriteRequest(kBase3, Pattern(16, 0), 3)), kVmNotErased);
    EXPECT_EQ(Status(Request(0xCD)), kVmNotErased);
    ASSERT_EQ(Status(Request(0xCA)), 0);
    ASSERT_EQ(Verdict(), 0);

    EXPECT_EQ(Status(WriteRequest(kBase3 + 0x100, Pattern(64, 0), 3)), 0);
    // Overlapping the previous write: refused; then even a good write is refused.
    EXPECT_EQ(Status(WriteRequest(kBase3 + 0x120, Pattern(64, 0), 3)), kVmOutOfOrder);
    EXPECT_EQ(Status(WriteRequest(kBase3 + 0x200, Pattern(64, 0), 3)), kVmAfterRejected);
    EXPECT_EQ(Status(Request(0xCE)), kVmAfterRejected);
    EXPECT_EQ(Status(Request(0xCD)), kVmAfterRejected);
    EXPECT_TRUE(vm().Download().rejected);

    // A new Erase starts a new download, which takes writes again.
    ASSERT_EQ(Status(Request(0xCA)), 0);
    ASSERT_EQ(Verdict(), 0);
    EXPECT_EQ(Status(WriteRequest(kBase3, Pattern(16, 0), 3)), 0);

    const std::vector<VmViolation> v = vm().Violations();
    ASSERT_EQ(v.size(), 7u);
    EXPECT_EQ(v[0].status, kVmNoInit);
    EXPECT_EQ(v[3].type, 0xCB);
    EXPECT_EQ(v[3].status, kVmOutOfOrder);
    EXPECT_EQ(v[3].address, kBase3 + 0x120);
    EXPECT_EQ(v[4].status, kVmAfterRejected);
}

TEST_F(BootLoader, RefusesWhatDoesNotFitTheWindowTheFormatOrTheBlock) {
    StartDownload(3);
    struct Case {
        Bytes request;
        uint8_t status;
    };
    const Case cases[] = {
        {WriteRequest(0xFFFDFFF0u, Pattern(16, 0), 3), kVmOutOfWindow},
        {WriteRequest(0xFFFFFFF0u, Pattern(32, 0), 3), kVmOutOfWindow},
        {WriteRequest(0x0000, Pattern(16, 0), 2), kVmBadFormat},
        {Request(0xCB, 0, {16, 0, 0, 0xFE, 0xFF, 1, 2}, 3), kVmMalformed},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Status(Request(0xCA)), 0);  // a fresh download for each case
        ASSERT_EQ(Verdict(), 0);
        EXPECT_EQ(Status(c.request), c.status);
    }
    // More than 8192 bytes in one block.
    ASSERT_EQ(Status(Request(0xCA)), 0);
    ASSERT_EQ(Verdict(), 0);
    for (uint32_t i = 0; i < 128; ++i) {
        ASSERT_EQ(Status(WriteRequest(kBase3 + i * 64, Pattern(64, 0), 3)), 0);
    }
    EXPECT_EQ(Status(WriteRequest(kBase3 + 8192, Pattern(16, 0), 3)), kVmBlockTooLarge);
    // InitDownload with a format that is not 2 or 3, or not that of the download in progress.
    EXPECT_EQ(Status(Request(0xC9, 0, {}, 5)), kVmBadFormat);
    EXPECT_EQ(Status(Request(0xC9, 0, {}, 2)), kVmBadFormat);
    EXPECT_EQ(vm().Violations().size(), 7u);
}

TEST_F(BootLoader, FinishNeedsACommittedBlockAndNoUncommittedWrites) {
    StartDownload(3);
    EXPECT_EQ(Status(Request(0xCD)), kVmNoBlock);
    EXPECT_EQ(Status(WriteRequest(kBase3, Pattern(16, 0), 3)), 0);
    CommitBlock();
    EXPECT_EQ(Status(WriteRequest(kBase3 + 16, Pattern(16, 0), 3)), 0);
    EXPECT_EQ(Status(Request(0xCD)), kVmUncommitted);
    CommitBlock();
    EXPECT_EQ(Status(Request(0xCD)), 0);
    EXPECT_EQ(Verdict(), 0);
    const std::vector<VmViolation> v = vm().Violations();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].status, kVmNoBlock);
    EXPECT_EQ(v[1].status, kVmUncommitted);
}

TEST_F(BootLoader, DownloadStateSurvivesUnplugAndReplugUntilTheNextErase) {
    StartDownload(2);
    const Bytes a = Pattern(64, 5);
    EXPECT_EQ(Status(WriteRequest(0x0000, a, 2)), 0);
    CommitBlock();
    // Written but not committed when the master is unplugged: lost.
    EXPECT_EQ(Status(WriteRequest(0x0040, Pattern(64, 6), 2)), 0);

    vm().Unplug();
    EXPECT_TRUE(host().HungUp(2000));
    EXPECT_FALSE(vm().IsPlugged());
    ASSERT_TRUE(vm().Replug());
    ASSERT_TRUE(sim.Reopen());
    // Back in its boot loader: no port reset answer; writes need a new InitDownload.
    host().Send(Request(0x0F, 0, Bytes(31, 0)));
    EXPECT_TRUE(host().Quiet(300));
    EXPECT_EQ(Status(WriteRequest(0x0040, Pattern(64, 6), 2)), kVmNoInit);
    // The new InitDownload resumes the download: the next write continues after the
    // committed block (the lost one may be sent again).
    ASSERT_EQ(Status(Request(0xC9, 0, {}, 2)), 0);
    const VmDownload d = vm().Download();
    EXPECT_TRUE(d.erased);
    EXPECT_EQ(d.blocks, 1u);
    EXPECT_EQ(d.nextOffset, 64u);
    EXPECT_EQ(d.pendingBytes, 0u);
    const Bytes b = Pattern(64, 7);
    EXPECT_EQ(Status(WriteRequest(0x0040, b, 2)), 0);
    CommitBlock();
    EXPECT_EQ(Status(Request(0xCD)), 0);
    Bytes expected(0x10000, 0xFF);
    std::copy(a.begin(), a.end(), expected.begin());
    std::copy(b.begin(), b.end(), expected.begin() + 64);
    EXPECT_EQ(vm().Flash2(), expected);
    // Only the write without InitDownload was a violation.
    ASSERT_EQ(vm().Violations().size(), 1u);
    EXPECT_EQ(vm().Violations()[0].status, kVmNoInit);
}

TEST_F(BootLoader, StackDownloadWritesFlashAndTheIdentificationRecordLast) {
    EXPECT_EQ(host().Exchange(Request(0xE7, 0)), Bytes({6, 0, 2, 0xE7, 0, 0}));
    EXPECT_EQ(host().Exchange(Request(0xE9, 0)), Bytes({6, 0, 2, 0xE9, 0, 1}));
    const Bytes a = Pattern(128, 1);
    const Bytes b = Pattern(96, 2);
    EXPECT_EQ(Status(StackWriteRequest(0x0000, a)), 0);
    EXPECT_EQ(Status(StackWriteRequest(0x4000, b)), 0);
    const Bytes id = {0x31, 0x01, 0x00, 0x00, 0x20, 0xA7, 0xFF, 0xFF};
    EXPECT_EQ(Status(StackWriteRequest(0x3FBF8, id)), 0);
    const Bytes q4 = host().Exchange(Request(0xEA, 0));
    EXPECT_EQ(q4, Bytes({9, 0, 2, 0xEA, 0, 232, 0, 0, 0}));
    EXPECT_EQ(Status(Request(0xEB, 0)), 0);
    EXPECT_EQ(host().Exchange(Request(0xE9, 0))[5], 2);

    Bytes expected(0xFFFF, 0xFF);
    std::copy(a.begin(), a.end(), expected.begin());
    std::copy(b.begin(), b.end(), expected.begin() + 0x4000);
    EXPECT_EQ(vm().StackFlash(), expected);
    EXPECT_EQ(vm().StackIdRecord(), id);
    EXPECT_TRUE(vm().StackDownload().idLast);
    // The stack now reports the record's version: major 1, minor 3, patch 1.
    const Bytes info = host().Exchange(Request(0x67));
    EXPECT_EQ(Bytes(info.begin() + 16, info.end()), Bytes({'1', '3', '1'}));
    EXPECT_TRUE(vm().Violations().empty());
}

TEST_F(BootLoader, StackLoaderFlagsAWriteAfterTheRecordAndRefusesBadRequests) {
    EXPECT_EQ(Status(StackWriteRequest(0, Pattern(8, 0))), kVmNoInit);
    EXPECT_EQ(Status(Request(0xE7, 3)), kVmBadPort);
    ASSERT_EQ(Status(Request(0xE7, 0)), 0);
    EXPECT_EQ(Status(StackWriteRequest(0x3FBF8, Pattern(8, 0))), 0);
    EXPECT_TRUE(vm().StackDownload().idLast);
    EXPECT_EQ(Status(StackWriteRequest(0x0100, Pattern(16, 0))), kVmIdNotLast);
    EXPECT_FALSE(vm().StackDownload().idLast);
    EXPECT_EQ(vm().StackFlash()[0x100], 0xFF);

    ASSERT_EQ(Status(Request(0xE7, 0)), 0);  // Init starts afresh
    EXPECT_FALSE(vm().StackDownload().idWritten);
    EXPECT_EQ(Status(StackWriteRequest(0xFFF0, Pattern(16, 0))), kVmOutOfWindow);
    ASSERT_EQ(Status(Request(0xE7, 0)), 0);
    EXPECT_EQ(Status(StackWriteRequest(0x0200, Pattern(16, 0))), 0);
    EXPECT_EQ(Status(StackWriteRequest(0x0100, Pattern(16, 0))), kVmOutOfOrder);
    ASSERT_EQ(Status(Request(0xE7, 0)), 0);
    // A finish without the record is taken, but recorded.
    EXPECT_EQ(Status(Request(0xEB, 0)), 0);
    const std::vector<VmViolation> v = vm().Violations();
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[2].status, kVmIdNotLast);
    EXPECT_EQ(v[5].type, 0xEB);
    EXPECT_EQ(v[5].status, 0);
}

}  // namespace
