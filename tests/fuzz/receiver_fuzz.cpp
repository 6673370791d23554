// Fuzz target: the receive side of one link. The input is the byte stream the master sends; it
// runs through the real receive loop (frame assembly, port events, log lines, responses) and the
// raw capture, and the link's state must stay within its bounds afterwards.
#include <cstring>
#include <streambuf>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"

namespace {

// A stream buffer that keeps every write apart: the receiver writes each log line with one call.
class LineRecorder : public std::streambuf {
  public:
    std::vector<std::string> writes;

  protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        writes.emplace_back(text, static_cast<size_t>(count));
        return count;
    }
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            writes.emplace_back(1, traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }
};

FuzzLinkHost& Host() {
    static FuzzLinkHost host;
    return host;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzLinkHost& host = Host();
    PlatformSeam_SetSleepHook(&NoSleep);
    // A fixed clock: the log lines' stamps (and so their lengths) are the same on every run.
    const UtcTime stamp{2024, 12, 31, 23, 59, 59, 999};
    PlatformSeam_SetFixedUtc(&stamp);

    Feed_Load(data, size);
    const int32_t slot = host.Open();
    LineRecorder recorder;
    std::ostream log(&recorder);
    // The first byte picks the date style, so both stamp layouts are exercised.
    const uint16_t dateStyle = size > 0 && (data[0] & 1) != 0 ? 7 : 0;
    FUZZ_CHECK(IOL_SetLogStream(slot, &log, dateStyle) == IOL_OK);
    IOL_StartCapture();
    Feed_Deliver();

    {
        LibraryLockGuard guard;
        const Link* link = LinkTable_At(slot);
        FUZZ_CHECK(link != nullptr);
        FUZZ_CHECK(link->eventHead < kEventRingSize);
        FUZZ_CHECK(link->eventTail < kEventRingSize);
        const uint8_t ready = link->responseReady.load(std::memory_order_acquire);
        FUZZ_CHECK(ready == 0 || ready == 1);
        FUZZ_CHECK(link->responseLength <= kFrameBufferSize);
        // Unread events: at most the ring's size less one, and never more than were received.
        const size_t unread = (link->eventHead + kEventRingSize - link->eventTail) % kEventRingSize;
        FUZZ_CHECK(unread <= link->eventCount);
        // Every frame takes at least five bytes of the stream.
        FUZZ_CHECK(link->eventCount <= size / 5);
        for (uint8_t state : link->portState) {
            FUZZ_CHECK(state <= 3);
        }
    }
    for (const std::string& line : recorder.writes) {
        FUZZ_CHECK(!line.empty() && line.size() < 400);
        FUZZ_CHECK(line.back() == '\n');
        FUZZ_CHECK(line.find('\n') == line.size() - 1);
    }

    // The capture holds the first 1000 bytes of the stream, in order.
    std::vector<uint8_t> captured(kCaptureSize + 1);
    const size_t got = IOL_ReadCapture(captured.data(), captured.size());
    FUZZ_CHECK(got == std::min(size, kCaptureSize));
    FUZZ_CHECK(got == 0 || std::memcmp(captured.data(), data, got) == 0);
    IOL_StopCapture();

    FUZZ_CHECK(IOL_SetLogStream(slot, nullptr, 0) == IOL_OK);
    host.Close(slot);
    return 0;
}
