// Opens and closes 1,000 links and runs 50 scans of six virtual masters, then checks that the
// process holds the descriptors and threads it held before and that its heap has not grown.
#include <gtest/gtest.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/app.h"
#include "link/link.h"
#include "platform/seams.h"
#include "services/services.h"
#include "sim/virtual_master.h"
#include "tests/support/stdout_capture.h"

// The sanitizers keep their own heap, which mallinfo2 does not see; they report it here.
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

constexpr size_t kMasters = 6;
constexpr int kLinkCycles = 1000;
constexpr int kScans = 50;
// Heap in use may differ by what the C++ and C libraries allocate once (a stream buffer, a
// locale facet); a link or a thread left behind per cycle would add far more (a Link alone is
// over 1 KB, so 1,000 of them over 1 MB).
constexpr size_t kHeapGrowthBound = 64 * 1024;

size_t EntriesIn(const char* folder) {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        (void)entry;
        ++count;
    }
    return count;
}

size_t HeapInUse() {
    if (__sanitizer_get_current_allocated_bytes != nullptr) {
        return __sanitizer_get_current_allocated_bytes();
    }
    return mallinfo2().uordblks;
}

struct Usage {
    size_t descriptors;
    size_t threads;
    size_t heap;
};

Usage Measure() {
    return Usage{EntriesIn("/proc/self/fd"), EntriesIn("/proc/self/task"), HeapInUse()};
}

// The receive thread's idle pause, the handshake polls and the response polls last 1 ms each, so
// that a thousand links open and close in a few seconds.
uint32_t ShortPauses(uint32_t ms) {
    return ms == 5 || ms == 2 || ms == 10 ? 1 : ms;
}

class Soak : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/iolink-soak-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        devRoot_ = folder;
        // The scan cuts the port name out of "(ttyN)": each master's node is a link named so.
        for (size_t i = 0; i < kMasters; ++i) {
            ASSERT_TRUE(masters_[i].Start());
            names_[i] = "ttySOAK" + std::to_string(i);
            std::filesystem::create_symlink(masters_[i].SlavePath(), devRoot_ + "/" + names_[i]);
            friendly_[i] = "IO-Link USB Master (" + names_[i] + ")";
            ids_[i] = "USB\\VID_6F3A&PID_0202\\SOAK" + std::to_string(i);
            devices_[i] = FakeDevice{ids_[i].c_str(), friendly_[i].c_str(), "IO-Link USB Master"};
        }
        PlatformSeam_SetPosixRoots(nullptr, devRoot_.c_str());
        PlatformSeam_SetDeviceList(devices_.data(), devices_.size());
        PlatformSeam_SetSleepHook(&ShortPauses);
        IOL_LibraryAttach();
    }

    void TearDown() override {
        IOL_LibraryDetach();
        PlatformSeam_SetSleepHook(nullptr);
        PlatformSeam_SetDeviceList(nullptr, 0);
        PlatformSeam_SetPosixRoots(nullptr, nullptr);
        std::filesystem::remove_all(devRoot_);
    }

    // One link: open, identify, close.
    void LinkCycle(size_t master) {
        const int32_t slot = IOL_Create(names_[master].c_str());
        ASSERT_GE(slot, 1);
        MasterInfo info{};
        EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_OK);
        ASSERT_EQ(IOL_Destroy(slot), IOL_OK);
        // The virtual master records every request; that record is the test's, not the
        // library's, and must not count as growth.
        masters_[master].ClearReceived();
    }

    // One scan of the six masters: five rows, the sixth said to be left out.
    void Scan() {
        masterTable = MasterTable{};
        const std::string out = CaptureStdout([] { ScanMasters(); });
        EXPECT_EQ(masterTable.masterCount, 5);
        EXPECT_NE(out.find(names_[5] + " not listed"), std::string::npos) << out;
        for (VirtualMaster& master : masters_) {
            master.ClearReceived();
        }
    }

    std::string devRoot_;
    std::array<VirtualMaster, kMasters> masters_;
    std::array<std::string, kMasters> names_;
    std::array<std::string, kMasters> friendly_;
    std::array<std::string, kMasters> ids_;
    std::array<FakeDevice, kMasters> devices_{};
};

TEST_F(Soak, ThousandLinksAndFiftyScansLeaveNothingBehind) {
    // A first round of each, before the baseline, lets the libraries make their one-time
    // allocations (standard streams, thread-local records, the capture's temporary file name).
    LinkCycle(0);
    Scan();
    const Usage before = Measure();

    for (int cycle = 0; cycle < kLinkCycles && !HasFatalFailure(); ++cycle) {
        LinkCycle(static_cast<size_t>(cycle) % kMasters);
    }
    for (int scan = 0; scan < kScans && !HasFatalFailure(); ++scan) {
        Scan();
    }

    const Usage after = Measure();
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.heap, before.heap + kHeapGrowthBound)
        << "heap in use grew from " << before.heap << " to " << after.heap << " bytes";
    std::fprintf(stderr, "soak: %zu descriptors, %zu threads, heap %zu -> %zu bytes\n",
                 after.descriptors, after.threads, before.heap, after.heap);
}

}  // namespace
