// Opening and closing links: slots, the thread handshake, refused and lost ports, shut-down.
#include <memory>
#include <string>
#include <vector>

#include "tests/link/link_test_support.h"

namespace {

using LinkTableTest = LinkFixture;

TEST_F(LinkTableTest, CreateFillsTheRecordAndReturnsOnlyWithTheThreadRunning) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(link->runState.load(), kRunRunning);
    EXPECT_EQ(link->online.load(), 1);
    EXPECT_EQ(link->slot, 1);
    EXPECT_EQ(link->baudRate, kLinkBaudRate);
    EXPECT_EQ(link->sendStatus, kSendOk);
    EXPECT_EQ(link->responseReady.load(), 0);
    EXPECT_STREQ(link->portName, vm.PortName().c_str());
    EXPECT_EQ(LinkTable_CheckSlot(1), IOL_OK);
    Link* got = nullptr;
    EXPECT_EQ(LinkTable_GetLink(1, &got), IOL_OK);
    EXPECT_EQ(got, link);
}

TEST_F(LinkTableTest, DestroyStopsTheThreadClosesThePortAndFreesTheSlot) {
    Open();
    ASSERT_EQ(IOL_Destroy(slot), IOL_OK);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_ERR_NO_LINK);
    EXPECT_EQ(LinkTable_At(slot), nullptr);
    EXPECT_EQ(IOL_Destroy(slot), IOL_ERR_NO_LINK);
    // The port was closed: it opens again, in the same lowest slot.
    EXPECT_EQ(IOL_Create(vm.PortName().c_str()), 1);
}

TEST_F(LinkTableTest, SlotNumbersThatNameNoLink) {
    Open();
    for (int32_t bad : {0, -3, 20, 2, 1000}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(IOL_Destroy(bad), IOL_ERR_NO_LINK);
        EXPECT_EQ(LinkTable_CheckSlot(bad), IOL_ERR_NO_LINK);
        Link* got = nullptr;
        EXPECT_EQ(LinkTable_GetLink(bad, &got), IOL_ERR_NO_LINK);
        EXPECT_EQ(got, nullptr);
    }
    EXPECT_EQ(LinkTable_At(-1), nullptr);
    EXPECT_EQ(LinkTable_At(kLinkSlots), nullptr);
}

TEST_F(LinkTableTest, NineteenSlotsLowestFreeFirstThenNoSlot) {
    std::vector<std::unique_ptr<VirtualMaster>> masters;
    for (int i = 0; i < 20; ++i) {
        masters.push_back(std::make_unique<VirtualMaster>());
        ASSERT_TRUE(masters.back()->Start());
    }
    for (int32_t i = 0; i < 19; ++i) {
        ASSERT_EQ(IOL_Create(masters[static_cast<size_t>(i)]->PortName().c_str()), i + 1);
    }
    const std::string last = masters[19]->PortName();
    EXPECT_EQ(IOL_Create(last.c_str()), IOL_ERR_NO_SLOT);

    ASSERT_EQ(IOL_Destroy(7), IOL_OK);
    ASSERT_EQ(IOL_Destroy(3), IOL_OK);
    // The refused port was closed again (it opens now), and the lowest free slot wins.
    EXPECT_EQ(IOL_Create(last.c_str()), 3);
    EXPECT_EQ(IOL_Create(masters[2]->PortName().c_str()), 7);

    IOL_LibraryDetach();
    for (int32_t s = 1; s < kLinkSlots; ++s) {
        EXPECT_EQ(LinkTable_CheckSlot(s), IOL_ERR_NO_LINK);
    }
    IOL_LibraryAttach();
}

TEST_F(LinkTableTest, RefusedNames) {
    EXPECT_EQ(IOL_Create(nullptr), IOL_ERR_NO_NAME);
    EXPECT_EQ(IOL_Create("nosuchtty"), IOL_ERR_OPEN);  // nine characters, no such device
    // Ten characters and more do not fit portName: refused, never shortened to another name.
    EXPECT_EQ(IOL_Create((vm.PortName() + "0000000000").substr(0, 10).c_str()), IOL_ERR_OPEN);
    EXPECT_EQ(IOL_Create(std::string(96, 'x').c_str()), IOL_ERR_OPEN);
    // Nothing was taken.
    EXPECT_EQ(Open(), 1);
}

TEST_F(LinkTableTest, SecondCreateOnAnOpenPortIsRefused) {
    Open();
    EXPECT_EQ(IOL_Create(vm.PortName().c_str()), IOL_ERR_OPEN);
    EXPECT_EQ(LinkTable_CheckSlot(2), IOL_ERR_NO_LINK);
}

TEST_F(LinkTableTest, ThreadStartFailureLeavesNothingOpen) {
    PlatformSeam_FailNextThreadStart();
    EXPECT_EQ(IOL_Create(vm.PortName().c_str()), IOL_ERR_CONFIGURE);
    EXPECT_EQ(LinkTable_CheckSlot(1), IOL_ERR_NO_LINK);
    // Port closed and slot free: the same port opens in slot 1.
    EXPECT_EQ(Open(), 1);
}

TEST_F(LinkTableTest, LostPortClosesTheLinkOnTheNextCall) {
    Open();
    vm.Unplug();
    ASSERT_TRUE(WaitUntil([&] { return link->online.load() == 0; }));
    // The thread stays parked; the link stays in its slot until the next call.
    EXPECT_EQ(link->runState.load(), kRunRunning);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_OK);
    Link* got = nullptr;
    EXPECT_EQ(LinkTable_GetLink(slot, &got), IOL_ERR_LOST);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_ERR_NO_LINK);
    EXPECT_EQ(LinkTable_GetLink(slot, &got), IOL_ERR_NO_LINK);
}

TEST_F(LinkTableTest, DestroyDoesNotCloseUnderABusyThread) {
    Open();
    // The receive thread takes the library lock to store a port event. With the lock held
    // here, it cannot finish that pass, so it cannot report itself stopped.
    IOL_StartCapture();
    uint8_t captured[32];
    IOL_Lock();
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    vm.SendPortEvent(1, data, 0x0049);
    ASSERT_TRUE(WaitUntil([&] { return IOL_ReadCapture(captured, sizeof(captured)) == 12; }));
    // Each 2 ms stop poll passes at once and moves the tick on by a second: the five-second bound
    // is a time, so it runs out after five polls (a count of 2 ms polls would take 2500).
    static std::atomic<uint32_t> stopPolls{0};
    stopPolls = 0;
    PlatformSeam_SetSleepHook([](uint32_t ms) {
        if (ms != 2) {
            return ms;
        }
        stopPolls.fetch_add(1, std::memory_order_relaxed);
        PlatformSeam_AdvanceTick(1000);
        return 0u;
    });
    EXPECT_EQ(IOL_Destroy(slot), IOL_ERR_SEND);
    PlatformSeam_SetSleepHook(nullptr);
    EXPECT_GE(stopPolls.load(), 4u);
    EXPECT_LE(stopPolls.load(), 6u);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_OK);
    IOL_Unlock();
    // The thread stored the event and stopped; a second close completes.
    ASSERT_TRUE(WaitUntil([&] { return link->runState.load() == kRunStopped; }));
    EXPECT_EQ(link->eventCount, 1);
    EXPECT_EQ(IOL_Destroy(slot), IOL_OK);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_ERR_NO_LINK);
}

TEST_F(LinkTableTest, ShutDownClosesEveryLinkAndRecursiveLock) {
    VirtualMaster second;
    ASSERT_TRUE(second.Start());
    Open();
    ASSERT_EQ(IOL_Create(second.PortName().c_str()), 2);
    // The lock is recursive: calls into the library while holding it.
    IOL_Lock();
    IOL_Lock();
    EXPECT_EQ(LinkTable_CheckSlot(2), IOL_OK);
    IOL_Unlock();
    IOL_Unlock();

    EXPECT_EQ(IOL_LibraryDetach(), IOL_OK);
    EXPECT_EQ(LinkTable_CheckSlot(1), IOL_ERR_NO_LINK);
    EXPECT_EQ(LinkTable_CheckSlot(2), IOL_ERR_NO_LINK);
    EXPECT_EQ(IOL_LibraryAttach(), IOL_OK);
    // Both ports were closed.
    EXPECT_EQ(IOL_Create(vm.PortName().c_str()), 1);
    EXPECT_EQ(IOL_Create(second.PortName().c_str()), 2);
}

TEST_F(LinkTableTest, AllocAndFreeSlot) {
    Open();
    Link* fresh = nullptr;
    // A slot whose record has no port counts as free and is taken again.
    const int32_t taken = LinkTable_AllocSlot(&fresh);
    ASSERT_EQ(taken, 2);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->slot, 2);
    EXPECT_EQ(LinkTable_CheckSlot(2), IOL_ERR_NO_LINK);
    Link* again = nullptr;
    EXPECT_EQ(LinkTable_AllocSlot(&again), 2);
    LinkTable_FreeSlot(2);
    EXPECT_EQ(LinkTable_At(2), nullptr);
}

}  // namespace
