// Sending a request frame and waiting for its response.
#include <chrono>

#include "tests/link/link_test_support.h"

namespace {

using RequestTest = LinkFixture;

TEST_F(RequestTest, SendWritesTheHeaderAndTheFirstLengthBytes) {
    Open();
    vm.SetSilent(true);
    Link_SetRequestType(link, 0x5C);
    link->request[4] = 0x99;  // replaced by firstParam
    ASSERT_EQ(Link_Send(link, 0, 5, 0x02), IOL_OK);
    EXPECT_EQ(link->sendStatus, kSendOk);
    EXPECT_EQ(link->requestLength, 5);

    Link_SetRequestType(link, 0x5D);
    link->request[5] = 0xA5;
    link->request[6] = 0x5A;
    ASSERT_EQ(Link_Send(link, 7, 7, 0x03), IOL_OK);
    ASSERT_TRUE(vm.WaitReceived(2, 3000));
    const auto frames = vm.Received();
    EXPECT_EQ(frames[0], (Bytes{0x05, 0x00, 0x02, 0x5C, 0x00}));
    EXPECT_EQ(frames[1], (Bytes{0x07, 0x00, 0x03, 0x5D, 0x07, 0xA5, 0x5A}));
}

TEST_F(RequestTest, FailedWriteClosesTheLink) {
    Open();
    vm.Unplug();
    Link_SetRequestType(link, 0x67);
    EXPECT_EQ(Link_Send(link, 0, 5, 0x02), IOL_ERR_SEND);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_ERR_NO_LINK);
}

TEST_F(RequestTest, LengthBeyondTheRequestBufferIsRefused) {
    Open();
    EXPECT_EQ(Link_Send(link, 0, kFrameBufferSize + 1, 0x02), IOL_ERR_SEND);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_ERR_NO_LINK);
    EXPECT_TRUE(vm.Received().empty());
}

TEST_F(RequestTest, SilenceTimesOutAfter200PollsOf10Ms) {
    Open();
    vm.SetSilent(true);
    PlatformSeam_SetSleepHook(&CountResponsePolls);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Link_WaitResponse(link), IOL_ERR_TIMEOUT);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(g_responsePolls.load(), 200u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(2000));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_OK);
}

TEST_F(RequestTest, LateResponseStaysHeldAndEndsTheNextWaitAtOnce) {
    Open();
    PlatformSeam_SetSleepHook(&FastResponsePolls);
    EXPECT_EQ(Link_WaitResponse(link), IOL_ERR_TIMEOUT);
    vm.SendRaw(VirtualMaster::MakeFrame(0x67, {0x00, 0x01}));
    ASSERT_TRUE(WaitForResponse());
    ASSERT_TRUE(Sync());
    EXPECT_EQ(link->responseReady.load(), 1);
    g_responsePolls = 0;
    EXPECT_EQ(Link_WaitResponse(link), IOL_OK);
    EXPECT_EQ(g_responsePolls.load(), 0u);
    EXPECT_EQ(Link_ResponseType(link), 0x67);
    Link_ReleaseResponse(link);
    EXPECT_EQ(link->responseReady.load(), 0);
}

}  // namespace
