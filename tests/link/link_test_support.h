// Shared by the link and services tests: a fixture with the library started and one virtual
// master on a pseudo-terminal, bounded waits for what the receive thread does, and sleep hooks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "link/link.h"
#include "platform/seams.h"
#include "sim/virtual_master.h"
#include "tests/support/wait_until.h"

// Counts the 10 ms response polls and lets each last 1 ms; every other sleep is kept.
inline std::atomic<uint32_t> g_responsePolls{0};
inline uint32_t FastResponsePolls(uint32_t ms) {
    if (ms == 10) {
        g_responsePolls.fetch_add(1, std::memory_order_relaxed);
        return 1;
    }
    return ms;
}
// Counts the 10 ms response polls and keeps every sleep as asked.
inline uint32_t CountResponsePolls(uint32_t ms) {
    if (ms == 10) {
        g_responsePolls.fetch_add(1, std::memory_order_relaxed);
    }
    return ms;
}

class LinkFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        g_responsePolls = 0;
        IOL_LibraryAttach();
        ASSERT_TRUE(vm.Start());
    }

    void TearDown() override {
        IOL_LibraryDetach();
        PlatformSeam_SetSleepHook(nullptr);
        PlatformSeam_SetFixedUtc(nullptr);
        PlatformSeam_SetDeviceList(nullptr, 0);
        IOL_StopCapture();
    }

    // Opens a link on the virtual master; the test fails when that does not work.
    int32_t Open() {
        slot = IOL_Create(vm.PortName().c_str());
        EXPECT_GE(slot, 1);
        link = LinkTable_At(slot);
        return slot;
    }

    bool WaitForResponse(uint32_t timeoutMs = 3000) {
        return WaitUntil([&] { return link->responseReady.load(std::memory_order_acquire) == 1; },
                         timeoutMs);
    }

    uint16_t EventCount() {
        LibraryLockGuard guard;
        return link->eventCount;
    }

    // Waits until the receive thread has put `count` port events into the ring in all.
    bool WaitForEvents(uint16_t count) {
        return WaitUntil([&] { return EventCount() >= count; });
    }

    // Sends a port event as a marker and waits for it: every byte sent before it has then been
    // taken by the receive thread.
    bool Sync() {
        const uint16_t before = EventCount();
        const uint8_t data[5] = {0, 0, 0, 0x40, 0};  // byte 8 is 0x40: port 15 keeps flag 0
        vm.SendPortEvent(15, data, 0x0001);
        return WaitForEvents(static_cast<uint16_t>(before + 1));
    }

    VirtualMaster vm;
    int32_t slot = 0;
    Link* link = nullptr;
};
