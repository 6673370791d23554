// The receive thread of a link: reads the port a byte at a time, assembles frames, and sorts them
// into port events (event ring and per-port state), log lines and responses. Also the library's
// raw receive capture.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <ostream>

#include "link/link.h"

namespace {

constexpr uint32_t kIdlePauseMs = 5;        // after an empty read between frames
constexpr uint32_t kParkedPauseMs = 2;      // while the port is lost
constexpr uint32_t kHeaderTimeoutMs = 100;  // first byte to frame type byte
constexpr uint16_t kShortestFrame = 5;

// ---- Capture ----

// Shared by the receive threads of all links. The switch is read on every byte without a lock;
// the buffer and count are touched only under the mutex, which a receive thread takes only
// while the switch is on.
struct Capture {
    std::atomic<bool> on{false};
    std::mutex mutex;
    std::array<uint8_t, kCaptureSize> bytes{};
    size_t count = 0;
};

Capture g_capture;

void CaptureByte(uint8_t byte) {
    if (!g_capture.on.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard<std::mutex> guard(g_capture.mutex);
    if (g_capture.count < g_capture.bytes.size()) {
        g_capture.bytes[g_capture.count++] = byte;
    }
}

// ---- Frame assembly ----

struct FrameAssembler {
    // Zero beyond the bytes received, so that the fields a short frame does not carry read 0,
    // never a byte of an earlier frame.
    std::array<uint8_t, kMaxFrameLength> frame{};
    uint16_t position = 0;
    uint16_t length = 0;
    uint8_t state = 0;
    bool timerOn = false;
    uint32_t firstByteTick = 0;

    void Discard() {
        std::fill_n(frame.begin(), std::min<size_t>(position + 1u, frame.size()), 0);
        position = 0;
        length = 0;
        state = 0;
        timerOn = false;
    }

    // Bytes of the complete frame on the line: a length field of 0 to 5 still means 5 bytes.
    uint16_t Received() const { return std::max(length, kShortestFrame); }

    // Takes the byte just stored at `position`; true when the frame is complete.
    bool Step(uint8_t byte) {
        switch (state) {
            case 0:  // length, low byte
                position = 1;
                timerOn = true;
                firstByteTick = Platform_TickMs();
                state = 1;
                return false;
            case 1:  // length, high byte
                position = 2;
                length = static_cast<uint16_t>(frame[0] | (frame[1] << 8));
                if (length > kMaxFrameLength) {
                    Discard();
                } else {
                    state = 2;
                }
                return false;
            case 2:  // format byte
                if (byte == kFrameFormat) {
                    position = 3;
                    state = 3;
                } else {
                    Discard();
                }
                return false;
            case 3:  // frame type
                position = 4;
                timerOn = false;
                state = 4;
                return false;
            case 4:  // first payload byte
                if (length < 6) {
                    return true;
                }
                position = 5;
                state = 5;
                return false;
            default:  // further payload
                ++position;
                return position == length;
        }
    }
};

// ---- Dispatch ----

void DispatchPortEvent(Link* link, const uint8_t* frame) {
    LibraryLockGuard guard;
    PortEvent& event = link->events[link->eventHead];
    ++link->eventCount;
    event.number = link->eventCount;
    event.port = frame[4];
    std::memcpy(event.eventData, frame + 5, sizeof(event.eventData));
    event.eventCode = static_cast<uint16_t>(frame[10] | (frame[11] << 8));

    // Ports 16 and above have no per-port state: their events go into the ring only.
    const uint8_t port = frame[4];
    if (port < kPortCount) {
        if (event.eventCode == 0x0010 && frame[6] == 0xC0) {
            link->portState[port] = 1;
        } else if (event.eventCode == 0x0010 && frame[6] == 0x80) {
            link->portState[port] = 2;
        } else if (event.eventCode == 0x0024) {
            link->portState[port] = 3;
        }
        link->portFlag[port] = (frame[8] == 0x40 || event.eventCode == 0x0024) ? 0 : 1;
    }

    link->eventHead = static_cast<uint8_t>((link->eventHead + 1) % kEventRingSize);
    if (link->eventHead == link->eventTail) {
        link->eventTail = static_cast<uint8_t>((link->eventTail + 1) % kEventRingSize);
    }
}

// A log line, built in a fixed 400-byte buffer.
class LogLine {
  public:
    static constexpr size_t kSize = 400;

    // Appends the formatted text when it fits whole (with room kept for the line end);
    // false, and nothing appended, when it does not.
    // A printf-style list on purpose: the format attribute lets the compiler check every call's
    // arguments against its format, which a parameter pack passed on to vsnprintf would not.
    // NOLINTNEXTLINE(cert-dcl50-cpp)
    bool Append(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char piece[kSize];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(piece, sizeof(piece), format, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) > Room()) {
            return false;
        }
        std::memcpy(text_ + length_, piece, static_cast<size_t>(n));
        length_ += static_cast<size_t>(n);
        return true;
    }

    // Characters that can still be appended before the line end "\n" and the terminator.
    size_t Room() const { return kSize - 2 - length_; }

    void Finish() {
        text_[length_++] = '\n';
        text_[length_] = '\0';
    }

    const char* Text() const { return text_; }
    size_t Length() const { return length_; }

  private:
    char text_[kSize] = {};
    size_t length_ = 0;
};

// Digits of a value 0..255 written with "%i".
size_t DecimalDigits(uint32_t value) {
    return value >= 100 ? 3 : value >= 10 ? 2 : 1;
}

void WriteLogLine(Link* link, const uint8_t* frame, uint16_t received) {
    // Under the library lock: IOL_SetLogStream changes the stream under it too, so a stream is
    // never written after it has been taken away.
    LibraryLockGuard guard;
    if (link->logStream == nullptr) {
        return;
    }
    const UtcTime now = Platform_UtcNow();
    LogLine line;
    if ((link->logDateStyle & 0xFF) == 7) {
        line.Append("\"%02d.%02d.%d %02d:%02d:%02d.%03d\";", now.day, now.month, now.year, now.hour,
                    now.minute, now.second, now.millisecond);
    } else {
        line.Append("\"%d/%02d/%02d %02d:%02d:%02d.%03d\";", now.year, now.month, now.day, now.hour,
                    now.minute, now.second, now.millisecond);
    }
    const uint8_t count = frame[6];
    line.Append("%i;%i;", frame[5], count);

    // The third number is the count of values written on this line. It is below the second
    // (the count the record announces) when the frame ends before its values do, or when the
    // values would overflow the line buffer: the line then stops after the last value that
    // fits, and still ends with "\n".
    const size_t carried = received > 7 ? received - 7u : 0u;
    const size_t limit = std::min<size_t>(count, carried);
    size_t valuesLength = 0;
    size_t written = 0;
    while (written < limit) {
        const size_t cost = 1 + DecimalDigits(frame[7 + written]);
        if (DecimalDigits(static_cast<uint32_t>(written + 1)) + valuesLength + cost > line.Room()) {
            break;
        }
        valuesLength += cost;
        ++written;
    }
    line.Append("%i", static_cast<int>(written));
    for (size_t i = 0; i < written; ++i) {
        line.Append(";%i", frame[7 + i]);
    }
    line.Finish();
    link->logStream->write(line.Text(), static_cast<std::streamsize>(line.Length()));
}

void DispatchResponse(Link* link, const uint8_t* frame, uint16_t length) {
    // An unread response is never overwritten: the new frame is dropped.
    if (link->responseReady.load(std::memory_order_acquire) == 1) {
        return;
    }
    // A response longer than the buffer keeps its first 384 bytes (every service reads far
    // fewer) and responseLength says how many are held. The rest of the buffer is cleared, so
    // that no byte of an earlier response shows through a shorter one.
    const uint16_t held = std::min<uint16_t>(length, kFrameBufferSize);
    std::copy_n(frame, held, link->response.begin());
    std::fill(link->response.begin() + held, link->response.end(), 0);
    link->responseLength = held;
    link->responseReady.store(1, std::memory_order_release);
}

void Dispatch(Link* link, const FrameAssembler& frame) {
    switch (frame.frame[3]) {
        case kFrameTypePortEvent:
            DispatchPortEvent(link, frame.frame.data());
            break;
        case kFrameTypeLog:
            WriteLogLine(link, frame.frame.data(), frame.Received());
            break;
        default:
            DispatchResponse(link, frame.frame.data(), frame.length);
            break;
    }
}

}  // namespace

void Link_ReceiveThread(Link* link) {
    // The thread runs only from runState 0: IOL_Create sets 2 instead when it stopped waiting
    // for the thread to start, and the thread then ends at once.
    uint8_t expected = kRunStarting;
    if (!link->runState.compare_exchange_strong(expected, kRunRunning, std::memory_order_acq_rel)) {
        link->runState.store(kRunStopped, std::memory_order_release);
        return;
    }

    FrameAssembler assembler;
    while (link->runState.load(std::memory_order_acquire) == kRunRunning) {
        if (assembler.timerOn && Platform_TickMs() - assembler.firstByteTick > kHeaderTimeoutMs) {
            assembler.Discard();
        }
        uint8_t byte = 0;
        switch (Platform_SerialReadByte(link->portHandle, &byte)) {
            case SerialReadResult::lost: {
                LibraryLockGuard guard;
                link->online.store(0, std::memory_order_release);
            }
                while (link->online.load(std::memory_order_acquire) == 0 &&
                       link->runState.load(std::memory_order_acquire) == kRunRunning) {
                    Platform_SleepMs(kParkedPauseMs);
                }
                continue;
            case SerialReadResult::error:
                // A failed read that does not mean a lost device (a line error, a driver
                // hiccup) pauses as an empty read between frames does: a persistent error must
                // not turn the thread into a busy loop. The frame being assembled is kept; its
                // header time-out still applies.
                Platform_SleepMs(kIdlePauseMs);
                continue;
            case SerialReadResult::none:
                if (assembler.state == 0) {
                    Platform_SleepMs(kIdlePauseMs);
                }
                continue;
            case SerialReadResult::byte:
                break;
        }
        CaptureByte(byte);
        assembler.frame[assembler.position] = byte;
        if (assembler.Step(byte)) {
            Dispatch(link, assembler);
            assembler.Discard();
        }
    }
    link->runState.store(kRunStopped, std::memory_order_release);
}

// ---- Capture ----

void IOL_StartCapture() {
    g_capture.on.store(false, std::memory_order_release);
    Platform_SleepMs(10);
    {
        std::lock_guard<std::mutex> guard(g_capture.mutex);
        g_capture.count = 0;
    }
    g_capture.on.store(true, std::memory_order_release);
}

void IOL_StopCapture() {
    g_capture.on.store(false, std::memory_order_release);
}

size_t IOL_ReadCapture(uint8_t* buffer, size_t size) {
    std::lock_guard<std::mutex> guard(g_capture.mutex);
    const size_t n = std::min(size, g_capture.count);
    std::copy_n(g_capture.bytes.begin(), n, buffer);
    return n;
}
