// Shared by the fuzz targets: a failed check that libFuzzer and the replay driver both see as a
// crash, and a link on a pseudo-terminal whose receive thread takes its bytes from the input
// through the serial read seam instead of from the line.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "link/link.h"
#include "platform/seams.h"
#include "tests/platform/pty_posix.h"

// Stops the run with the failed condition named: libFuzzer keeps the input as a crash, the
// replay driver ends with a failure.
#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// The bytes the receive thread is to read, handed out one per read call once armed. Loaded only
// while no receive thread runs; the thread reads `bytes` below `size` only.
struct FuzzFeed {
    std::vector<uint8_t> bytes;
    std::atomic<size_t> size{0};
    std::atomic<size_t> next{0};
    std::atomic<bool> armed{false};
    std::atomic<bool> drained{false};  // a read found every byte taken (and handled)
};

inline FuzzFeed g_feed;

inline void Feed_Load(const uint8_t* data, size_t size) {
    g_feed.bytes.assign(data, data + size);
    g_feed.next.store(0, std::memory_order_relaxed);
    g_feed.drained.store(false, std::memory_order_relaxed);
    g_feed.armed.store(false, std::memory_order_relaxed);
    g_feed.size.store(size, std::memory_order_release);
}

// The read hook: the next byte of the feed, else "nothing received yet" (EAGAIN). The receive
// loop asks again only after it has handled the byte before, so `drained` means every byte of the
// feed has gone through frame assembly and dispatch.
inline SerialReadCall Feed_Read() {
    if (!g_feed.armed.load(std::memory_order_acquire)) {
        return SerialReadCall{-1, 0, EAGAIN};
    }
    const size_t at = g_feed.next.load(std::memory_order_relaxed);
    if (at < g_feed.size.load(std::memory_order_acquire)) {
        g_feed.next.store(at + 1, std::memory_order_relaxed);
        return SerialReadCall{1, g_feed.bytes[at], 0};
    }
    g_feed.drained.store(true, std::memory_order_release);
    return SerialReadCall{-1, 0, EAGAIN};
}

// Arms the feed and waits until the receive thread has taken all of it. Ten seconds for a few
// hundred bytes means the receiver is stuck, which is a failure in itself.
inline void Feed_Deliver() {
    g_feed.armed.store(true, std::memory_order_release);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!g_feed.drained.load(std::memory_order_acquire)) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < end);
        std::this_thread::sleep_for(std::chrono::microseconds(10));
    }
}

// Sleeps shortened. The 2 ms polls of the start and stop handshakes last 200 us: IOL_Create gives
// up after 2500 of them, which must stay long enough (half a second) for a new thread to start on
// a busy machine. The receive thread's idle pauses (5 ms, only while no byte waits) last 50 us,
// so that it does not spin against the caller; every other sleep ends at once.
inline uint32_t NoSleep(uint32_t ms) {
    if (ms == 2) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    } else if (ms == 5) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return 0;
}

// The process-wide set-up of a fuzz target: the library started, the read seam set, and one
// pseudo-terminal whose other side is kept empty (the requests written to it are discarded).
struct FuzzLinkHost {
    FuzzLinkHost() {
        IOL_LibraryAttach();
        PlatformSeam_SetSerialReadHook(&Feed_Read);
        FUZZ_CHECK(pty.ok());
    }

    // Opens a link on the pseudo-terminal; every input gets a link of its own so that nothing
    // of one input (a half-assembled frame, a held response) carries over into the next.
    int32_t Open() {
        SerialOpenFailure why{};
        const int32_t slot = IOL_CreateWithCause(pty.portName().c_str(), &why);
        if (slot < 1) {
            std::fprintf(stderr, "cannot open a link on %s: %d (system error %u)\n",
                         pty.portName().c_str(), static_cast<int>(slot),
                         static_cast<unsigned>(why.error));
        }
        FUZZ_CHECK(slot >= 1);
        return slot;
    }

    void Close(int32_t slot) {
        FUZZ_CHECK(IOL_Destroy(slot) == IOL_OK);
        Drain();
    }

    // Reads away what the link wrote, so that the terminal's buffer never fills.
    void Drain() const {
        pollfd wait{pty.master(), POLLIN, 0};
        uint8_t chunk[4096];
        while (poll(&wait, 1, 0) > 0 && (wait.revents & POLLIN) != 0) {
            if (read(pty.master(), chunk, sizeof chunk) <= 0) {
                break;
            }
        }
    }

    TestPty pty;
};
