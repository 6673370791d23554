// Start, stop, unplug and replug, the plug listener, and use from several threads at once.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "tests/sim/host_port.h"

namespace {

struct PlugLog {
    std::mutex mu;
    std::vector<std::pair<bool, std::string>> calls;
    void Add(bool plugged, const std::string& path) {
        std::lock_guard<std::mutex> lock(mu);
        calls.emplace_back(plugged, path);
    }
    std::vector<std::pair<bool, std::string>> Get() {
        std::lock_guard<std::mutex> lock(mu);
        return calls;
    }
};

TEST(Plug, StopIsPromptAndClosesThePseudoTerminal) {
    VirtualMaster vm;
    vm.Stop();  // before Start: nothing to do
    ASSERT_TRUE(vm.Start());
    HostPort host(vm.SlavePath());
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.Exchange(Request(0xDD)).size(), 6u);
    const auto start = SteadyClock::now();
    vm.Stop();
    EXPECT_LT(MsSince(start), 500);
    EXPECT_TRUE(host.HungUp(1000));
    EXPECT_FALSE(vm.IsPlugged());
    vm.Stop();
    EXPECT_FALSE(vm.WaitReceived(2, 50));

    // It can be started again, on a new pseudo-terminal.
    ASSERT_TRUE(vm.Start());
    HostPort again(vm.SlavePath());
    EXPECT_EQ(again.Exchange(Request(0xDD)).size(), 6u);
}

TEST(Plug, UnplugAndReplugTellTheListenerAndGiveANewPseudoTerminal) {
    VirtualMaster vm;
    PlugLog log;
    vm.SetPlugListener([&](bool plugged, const std::string& path) { log.Add(plugged, path); });
    ASSERT_TRUE(vm.Start());
    EXPECT_EQ(vm.PlugCount(), 1u);
    const std::string first = vm.SlavePath();
    HostPort host(first);
    ASSERT_TRUE(host.ok());

    vm.Unplug();
    EXPECT_TRUE(host.HungUp(1000));
    EXPECT_EQ(vm.SlavePath(), "");
    vm.Unplug();  // already unplugged: nothing happens
    ASSERT_TRUE(vm.Replug());
    const std::string second = vm.SlavePath();
    EXPECT_NE(second, "");
    EXPECT_EQ(vm.PlugCount(), 2u);
    HostPort again(second);
    EXPECT_EQ(again.Exchange(Request(0x67)).size(), 19u);

    // Replug while plugged in: an unplug and a plug-in.
    ASSERT_TRUE(vm.Replug());
    const auto calls = log.Get();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0], std::make_pair(true, first));
    EXPECT_EQ(calls[1], std::make_pair(false, std::string()));
    EXPECT_EQ(calls[2], std::make_pair(true, second));
    EXPECT_FALSE(calls[3].first);
    EXPECT_EQ(calls[4], std::make_pair(true, vm.SlavePath()));
}

TEST(Plug, AHandlerMayUnplugAndReplugFromTheServingThread) {
    VirtualMaster vm;
    vm.SetHandler(0x77, [](VirtualMaster& v, const Bytes&) {
        v.Unplug();
        v.Replug();
        v.SendRaw(VirtualMaster::MakeFrame(0x77, {0}));
    });
    ASSERT_TRUE(vm.Start());
    HostPort host(vm.SlavePath());
    host.Send(Request(0x77));
    ASSERT_TRUE(vm.WaitPlugCount(2, 2000));
    EXPECT_TRUE(host.HungUp(1000));
    // The listener may call back into the simulator too.
    std::string seen;
    vm.SetPlugListener([&](bool plugged, const std::string&) {
        if (plugged) {
            seen = vm.SlavePath();
        }
    });
    ASSERT_TRUE(vm.Replug());
    EXPECT_EQ(seen, vm.SlavePath());
}

TEST(Plug, TheHostsExclusiveUseEndsWhenItClosesThePort) {
    // On a pseudo-terminal the exclusive flag would outlive the host's close and make every
    // later open by a user fail; the simulator drops it at the close, as a real port does.
    VirtualMaster vm;
    ASSERT_TRUE(vm.Start());
    {
        HostPort host(vm.SlavePath());
        host.TakeExclusive();
        EXPECT_EQ(host.Exchange(Request(0xDD)).size(), 6u);
        EXPECT_TRUE(host.Exclusive());
    }
    bool cleared = false;
    const auto start = SteadyClock::now();
    while (!cleared && MsSince(start) < 2000) {
        HostPort again(vm.SlavePath());
        cleared = again.ok() && !again.Exclusive();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(cleared);
}

TEST(Plug, FramesStayWholeWhileSeveralThreadsSend) {
    VirtualMaster vm;
    ASSERT_TRUE(vm.Start());
    HostPort host(vm.SlavePath());
    constexpr int kEach = 200;
    auto events = [&vm](uint8_t port) {
        const uint8_t data[5] = {1, 2, 3, 4, 5};
        for (int i = 0; i < kEach; ++i) {
            vm.SendPortEvent(port, data, 0x0049);
        }
    };
    std::thread a(events, 1);
    std::thread b(events, 2);
    // Requests go on at the same time; their responses are whole frames among the events.
    for (int i = 0; i < 20; ++i) {
        host.Send(Request(0xDD));
    }
    std::vector<Bytes> frames;
    for (int i = 0; i < 2 * kEach + 20; ++i) {
        Bytes f = host.ReadFrame();
        if (f.empty()) {
            break;
        }
        frames.push_back(std::move(f));
    }
    a.join();
    b.join();
    ASSERT_EQ(frames.size(), size_t(2 * kEach + 20));
    int seen[3] = {0, 0, 0};
    for (const Bytes& f : frames) {
        if (f[3] == 4) {
            ASSERT_TRUE(f[4] == 1 || f[4] == 2);
            ASSERT_EQ(f, Bytes({12, 0, 2, 4, f[4], 1, 2, 3, 4, 5, 0x49, 0}));
            ++seen[f[4]];
        } else {
            ASSERT_EQ(f, Bytes({6, 0, 2, 0xDD, 0, 0}));
            ++seen[0];
        }
    }
    EXPECT_EQ(seen[0], 20);
    EXPECT_EQ(seen[1], kEach);
    EXPECT_EQ(seen[2], kEach);
    EXPECT_TRUE(vm.WaitReceived(20, 1000));
}

}  // namespace
