// A fixture for tests that talk to the virtual master over the COM port that the Wine bench
// mapped: the library started, a fresh master per test, the response polls shortened.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "link/link.h"
#include "platform/seams.h"
#include "tests/windows/bench_client.h"

// The 10 ms response polls last 1 ms each (the response wait still counts 200 of them); every
// other sleep is kept as asked.
inline uint32_t ShortResponsePolls(uint32_t ms) {
    return ms == 10 ? 1 : ms;
}

class ComFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        port = BenchMasterPort();
        if (port.empty()) {
            GTEST_SKIP() << "not started by iolink-wine-bench: no COM port of a virtual master";
        }
        ASSERT_TRUE(bench.Open()) << "control port of the bench";
        ASSERT_TRUE(bench.Restart(MasterOptions())) << "fresh virtual master";
        IOL_LibraryAttach();
    }

    void TearDown() override {
        IOL_LibraryDetach();
        PlatformSeam_SetSleepHook(nullptr);
        PlatformSeam_SetDeviceList(nullptr, 0);
        PlatformSeam_SetKeyHook(nullptr);
    }

    // The options of the master that SetUp starts.
    virtual std::string MasterOptions() const { return ""; }

    int32_t Open() {
        const int32_t slot = IOL_Create(port.c_str());
        EXPECT_GE(slot, 1) << "IOL_Create on " << port;
        return slot;
    }

    std::string port;
    BenchControl bench;
};
