// Request framing, recording, the simple services and the frames a test can send.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/sim/host_port.h"

namespace {

class Exchange : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(sim.Open()); }
    VirtualMaster& vm() { return sim.vm; }
    HostPort& host() { return *sim.host; }
    SimOnPty sim;
};

TEST_F(Exchange, IdentificationCarriesVersionsEditionAndIdBytesAtTheirOffsets) {
    VmIdentity id;
    id.main[0] = '2';
    id.main[1] = '1';
    id.main[2] = '7';
    id.edition[0] = 'S';
    id.edition[1] = 'E';
    id.stack[0] = '1';
    id.stack[1] = '0';
    id.stack[2] = '3';
    id.idBytes[0] = 0xAB;
    id.idBytes[1] = 0xCD;
    vm().SetIdentity(id);
    const Bytes r = host().Exchange({0x05, 0x00, 0x02, 0x67, 0x00});
    const Bytes expected = {19, 0,    0x02, 0x67, 0, '2', '1', '7', 'S', 'E',
                            0,  0xAB, 0xCD, 0,    0, 0,   '1', '0', '3'};
    EXPECT_EQ(r, expected);
    EXPECT_EQ(vm().Received(), std::vector<Bytes>{Bytes({0x05, 0x00, 0x02, 0x67, 0x00})});
}

TEST_F(Exchange, PortResetAndQueryAnswerStatusZeroWhileTheFirmwareRuns) {
    Bytes reset = Request(0x0F, 1, Bytes(31, 0));
    ASSERT_EQ(reset.size(), 36u);
    EXPECT_EQ(host().Exchange(reset), Bytes({6, 0, 2, 0x0F, 1, 0}));
    EXPECT_EQ(host().Exchange({5, 0, 2, 0xDD, 0}), Bytes({6, 0, 2, 0xDD, 0, 0}));

    // In its boot loader the master leaves the port reset unanswered.
    vm().SetBootMode(true);
    host().Send(reset);
    EXPECT_TRUE(vm().WaitReceived(3, 2000));
    EXPECT_TRUE(host().Quiet(300));
    EXPECT_EQ(host().Exchange({5, 0, 2, 0xDD, 0}), Bytes({6, 0, 2, 0xDD, 0, 0}));
}

TEST_F(Exchange, RequestsAreAssembledByTheirLengthWhateverTheirChunks) {
    // A frame whose length says 3 still takes five bytes; a frame sent in pieces is one frame;
    // two frames in one write are two.
    host().Send({3, 0, 2, 0xDD, 7});
    host().Send({0x24, 0x00, 0x02});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Bytes rest = {0x0F, 0x02};
    rest.resize(33, 0);
    host().Send(rest);
    Bytes two = Request(0x67);
    const Bytes dd = Request(0xDD);
    two.insert(two.end(), dd.begin(), dd.end());
    host().Send(two);
    ASSERT_TRUE(vm().WaitReceived(4, 2000));
    const std::vector<Bytes> got = vm().Received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], Bytes({3, 0, 2, 0xDD, 7}));
    EXPECT_EQ(got[1].size(), 36u);
    EXPECT_EQ(got[1][4], 2);
    EXPECT_EQ(got[2], Request(0x67));
    EXPECT_EQ(got[3], Request(0xDD));
    // Every one was answered, in order, with the request's type in byte 3.
    EXPECT_EQ(host().ReadFrame()[3], 0xDD);
    EXPECT_EQ(host().ReadFrame()[3], 0x0F);
    EXPECT_EQ(host().ReadFrame()[3], 0x67);
    EXPECT_EQ(host().ReadFrame()[3], 0xDD);
    vm().ClearReceived();
    EXPECT_TRUE(vm().Received().empty());
}

TEST_F(Exchange, OverlongAndStalledRequestsAreDroppedAndReported) {
    // Length 501: dropped after its second byte; the next frame is read normally.
    host().Send({0xF5, 0x01});
    host().Send(Request(0xDD));
    EXPECT_EQ(host().ReadFrame(), Bytes({6, 0, 2, 0xDD, 0, 0}));
    // A header that stalls past 100 ms is dropped; what follows starts a new frame.
    host().Send({0x05, 0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    host().Send(Request(0x67));
    EXPECT_EQ(host().ReadFrame()[3], 0x67);
    EXPECT_EQ(vm().Received(), (std::vector<Bytes>{Request(0xDD), Request(0x67)}));
    const std::vector<VmViolation> v = vm().Violations();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].type, 0);
    EXPECT_NE(v[0].what.find("above 500"), std::string::npos);
    EXPECT_NE(v[1].what.find("100 ms"), std::string::npos);
}

TEST_F(Exchange, HandlersReplaceTheBuiltInAnswerAndSilenceAnswersNothing) {
    std::atomic<int> calls{0};
    vm().SetHandler(0x67, [&](VirtualMaster& v, const Bytes& request) {
        ++calls;
        v.SendRaw(VirtualMaster::MakeFrame(0x68, {request[4], 0x42}));
    });
    EXPECT_EQ(host().Exchange(Request(0x67, 9)), Bytes({6, 0, 2, 0x68, 9, 0x42}));
    EXPECT_EQ(calls.load(), 1);
    vm().ClearHandler(0x67);
    EXPECT_EQ(host().Exchange(Request(0x67)).size(), 19u);

    vm().SetSilent(true);
    host().Send(Request(0x67));
    host().Send(Request(0xDD));
    EXPECT_TRUE(vm().WaitReceived(4, 2000));
    EXPECT_TRUE(host().Quiet(300));
    vm().SetSilent(false);
    // A type the device does not serve goes unanswered.
    host().Send(Request(0x55));
    EXPECT_TRUE(host().Quiet(300));
    EXPECT_EQ(host().Exchange(Request(0xDD)), Bytes({6, 0, 2, 0xDD, 0, 0}));
}

TEST_F(Exchange, UnsolicitedFramesHaveTheirExactLayout) {
    EXPECT_EQ(VirtualMaster::MakeFrame(0x30, {1, 2, 3}), Bytes({7, 0, 2, 0x30, 1, 2, 3}));
    const uint8_t data[5] = {0x11, 0xC0, 0x33, 0x40, 0x55};
    vm().SendPortEvent(2, data, 0x0010);
    EXPECT_EQ(host().ReadFrame(), Bytes({12, 0, 2, 4, 2, 0x11, 0xC0, 0x33, 0x40, 0x55, 0x10, 0}));
    vm().SendLogRecord(7, {1, 2, 250});
    EXPECT_EQ(host().ReadFrame(), Bytes({10, 0, 2, 32, 0, 7, 3, 1, 2, 250}));
    vm().SendRaw({0xFF, 0x00});
    EXPECT_EQ(host().Read(2, 1000), Bytes({0xFF, 0x00}));
    const auto start = SteadyClock::now();
    vm().SendRawSlowly({1, 2, 3}, 60);
    EXPECT_GE(MsSince(start), 120);
    EXPECT_EQ(host().Read(3, 1000), Bytes({1, 2, 3}));
}

TEST_F(Exchange, PortNameIsTheSlavePathWithoutDev) {
    EXPECT_EQ("/dev/" + vm().PortName(), vm().SlavePath());
    EXPECT_EQ(vm().PortName().rfind("pts/", 0), 0u);
}

}  // namespace
