// Fuzz target: every IOL_ service given an arbitrary response. Input byte 0 picks the service
// (bit 7: the rest of the input goes onto the line as it is); otherwise byte 1 picks the response
// type (even: the type the service asks for, odd: byte 1 itself) and the rest is the payload from
// frame byte 4 on. IOL_FetchEvent gets port events made from 8-byte pieces of the input. The
// result must come from the service's documented set and out-buffers must be written only when
// the response had the matching type.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "services/services.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr uint8_t kUntouched = 0xA5;  // what out-buffers hold before a call

FuzzLinkHost& Host() {
    static FuzzLinkHost host;
    return host;
}

// The first response poll of a service (a 10 ms sleep on the caller's thread) comes after its
// request was written: the response goes onto the line then, and is taken whole before the
// service looks again. Nothing arrives after that, so the further polls of a service that waits
// in vain end at once.
uint32_t DeliverOnFirstPoll(uint32_t ms) {
    if (ms == 10 && !g_feed.armed.load(std::memory_order_acquire)) {
        Feed_Deliver();
    }
    return NoSleep(ms);
}

// A frame as the master sends it: length, format 2, type, then the payload from byte 4 on.
std::vector<uint8_t> MakeFrame(uint8_t type, const uint8_t* payload, size_t count) {
    count = std::min<size_t>(count, kMaxFrameLength - 4);
    const size_t length = std::max<size_t>(4 + count, 5);
    std::vector<uint8_t> frame(length, 0);
    frame[0] = static_cast<uint8_t>(length);
    frame[1] = static_cast<uint8_t>(length >> 8);
    frame[2] = kFrameFormat;
    frame[3] = type;
    std::copy_n(payload, count, frame.begin() + 4);
    return frame;
}

// What the service finds at byte `at` of its response buffer when `frame` was the response.
uint8_t ResponseByte(const std::vector<uint8_t>& frame, size_t at) {
    return at < std::min(frame.size(), kFrameBufferSize) ? frame[at] : 0;
}

// Set when the input's response is a whole frame of a type that the receiver hands over as a
// response (not a port event or log record): the call then never times out.
bool g_answered = false;

bool IsLinkError(int32_t result) {
    FUZZ_CHECK(!(g_answered && result == IOL_ERR_TIMEOUT));
    return result == IOL_ERR_SEND || result == IOL_ERR_TIMEOUT || result == IOL_ERR_NO_LINK ||
           result == IOL_ERR_LOST;
}

bool IsStatusByte(int32_t result) {
    FUZZ_CHECK(!(g_answered && result == IOL_ERR_TIMEOUT));
    return result >= 0 && result <= 255;
}

// Four bytes of an out-buffer: the response's bytes from `at` on after a matching response,
// untouched otherwise.
void CheckOut(const std::array<uint8_t, 4>& out, bool written, const std::vector<uint8_t>* frame,
              size_t at) {
    for (size_t i = 0; i < out.size(); ++i) {
        if (!written) {
            FUZZ_CHECK(out[i] == kUntouched);
        } else if (frame != nullptr) {
            FUZZ_CHECK(out[i] == ResponseByte(*frame, at + i));
        }
    }
}

void CheckMasterInfo(int32_t slot, const std::vector<uint8_t>* frame, bool matches) {
    MasterInfo info;
    std::memset(&info, kUntouched, sizeof info);
    const int32_t result = IOL_GetMasterInfo(slot, &info);
    FUZZ_CHECK(result == IOL_OK || result == IOL_ERR_FRAME_TYPE || IsLinkError(result));
    if (frame != nullptr) {
        FUZZ_CHECK((result == IOL_OK) == matches);
    }
    // The texts end inside their fields whatever came back; the edition's fourth byte is never
    // written.
    FUZZ_CHECK(memchr(info.versionText, '\0', sizeof info.versionText) != nullptr);
    FUZZ_CHECK(static_cast<uint8_t>(info.editionCode[3]) == kUntouched);
    if (result != IOL_OK) {
        FUZZ_CHECK(std::strcmp(info.versionText, "N/A") == 0);
        FUZZ_CHECK(info.stackVersion[0] == kUntouched && info.idBytes[1] == kUntouched);
        return;
    }
    FUZZ_CHECK(memchr(info.editionCode, '\0', 3) != nullptr);
    for (size_t i = 0; i < 3; ++i) {
        FUZZ_CHECK(info.mainVersion[i] <= 15 && info.stackVersion[i] <= 15);
    }
    if (frame != nullptr) {
        FUZZ_CHECK(info.idBytes[0] == ResponseByte(*frame, 11));
        FUZZ_CHECK(info.idBytes[1] == ResponseByte(*frame, 12));
    }
}

// The boot-loader calls with two out-buffers: InitDownload (bytes 20 and 24) and WriteBlock
// (bytes 6 and 10).
void CheckBootOut(int32_t slot, bool initDownload, const std::vector<uint8_t>* frame,
                  bool matches) {
    std::array<uint8_t, 4> first;
    std::array<uint8_t, 4> second;
    first.fill(kUntouched);
    second.fill(kUntouched);
    const int32_t result =
        initDownload ? IOL_SP_InitDownload(slot, first.data(), second.data(), kFormatLongAddress)
                     : IOL_SP_WriteBlock(slot, first.data(), second.data());
    FUZZ_CHECK(IsStatusByte(result) || result == IOL_BOOT_FRAME_TYPE || IsLinkError(result));
    const bool written = IsStatusByte(result);
    if (frame != nullptr) {
        FUZZ_CHECK(written == matches);
        if (written) {
            FUZZ_CHECK(result == ResponseByte(*frame, 5));
        }
    }
    CheckOut(first, written, frame, initDownload ? 20 : 6);
    CheckOut(second, written, frame, initDownload ? 24 : 10);
}

// The calls whose result is the status byte or a failure: boot loader (IOL_BOOT_FRAME_TYPE) and
// IO-Link stack (IOL_ERR_FRAME_TYPE).
void CheckStatusResult(int32_t result, int32_t otherType, const std::vector<uint8_t>* frame,
                       bool matches) {
    FUZZ_CHECK(IsStatusByte(result) || result == otherType || IsLinkError(result));
    if (frame != nullptr) {
        FUZZ_CHECK(IsStatusByte(result) == matches);
        if (IsStatusByte(result)) {
            FUZZ_CHECK(result == ResponseByte(*frame, 5));
        }
    }
}

void CheckStackQuery(int32_t slot, bool four, const std::vector<uint8_t>* frame, bool matches) {
    std::array<uint8_t, 4> out;
    out.fill(kUntouched);
    const int32_t result =
        four ? IOL_STK_Query4(slot, 0, out.data()) : IOL_STK_Query1(slot, 0, out.data());
    FUZZ_CHECK(result == IOL_OK || result == IOL_ERR_FRAME_TYPE || IsLinkError(result));
    if (frame != nullptr) {
        FUZZ_CHECK((result == IOL_OK) == matches);
    }
    const size_t count = four ? 4 : 1;
    for (size_t i = 0; i < out.size(); ++i) {
        if (result != IOL_OK || i >= count) {
            FUZZ_CHECK(out[i] == kUntouched);
        } else if (frame != nullptr) {
            FUZZ_CHECK(out[i] == ResponseByte(*frame, 5 + i));
        }
    }
}

void CheckResetPort(int32_t slot, const std::vector<uint8_t>* frame) {
    const int32_t result = IOL_ResetPort(slot, 0);
    FUZZ_CHECK(result == IOL_OK || result == IOL_ERR_RESET_STATUS1 || result == IOL_ERR_NO_NAME ||
               result == IOL_ERR_FRAME_TYPE || IsLinkError(result));
    // Any response counts, whatever its type: its status byte decides.
    if (frame != nullptr) {
        const uint8_t status = ResponseByte(*frame, 5);
        const int32_t expected = status == 0 || status == 21 ? IOL_OK
                                 : status == 1               ? IOL_ERR_RESET_STATUS1
                                 : status == 4               ? IOL_ERR_NO_NAME
                                                             : IOL_ERR_FRAME_TYPE;
        FUZZ_CHECK(result == expected);
    }
}

void CheckQueryDD(int32_t slot, const std::vector<uint8_t>* frame, bool matches) {
    const int32_t result = IOL_QueryDD(slot);
    FUZZ_CHECK(IsStatusByte(result) || IsLinkError(result));
    if (frame != nullptr) {
        FUZZ_CHECK(result == (matches ? ResponseByte(*frame, 5) : IOL_ERR_SEND));
    }
}

// Port events from 8-byte pieces (port, five data bytes, event code), or the raw stream; then
// every unread event is fetched, oldest first.
void CheckFetchEvent(int32_t slot, const uint8_t* data, size_t size, bool raw) {
    std::vector<uint8_t> stream;
    size_t made = 0;
    if (raw) {
        stream.assign(data, data + size);
    } else {
        for (; (made + 1) * 8 <= size && made < 40; ++made) {
            const std::vector<uint8_t> frame = MakeFrame(kFrameTypePortEvent, data + made * 8, 8);
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
    }
    Feed_Load(stream.data(), stream.size());
    Feed_Deliver();
    // At most ten events wait; the ring keeps the newest.
    const size_t expected = std::min<size_t>(made, kEventRingSize - 1);
    size_t fetched = 0;
    uint16_t lastNumber = 0;
    for (size_t call = 0; call < kEventRingSize + 1; ++call) {
        PortEvent event{};
        event.port = 0xBEEF;
        int32_t status = -1;
        const int32_t result = IOL_FetchEvent(slot, &event, &status);
        FUZZ_CHECK(result == IOL_OK || result == IOL_ERR_NO_EVENT);
        if (result == IOL_ERR_NO_EVENT) {
            FUZZ_CHECK(status == -1);
            break;
        }
        FUZZ_CHECK(event.port == 0xBEEF);  // the caller's port field is left as it was
        FUZZ_CHECK(status >= 0 && (status & ~0x8F) == 0);
        FUZZ_CHECK(fetched == 0 || event.number == static_cast<uint16_t>(lastNumber + 1));
        lastNumber = event.number;
        if (!raw) {
            // Piece number event.number - 1 made this event.
            FUZZ_CHECK(event.number >= 1 && event.number <= made);
            const uint8_t* piece = data + (event.number - 1u) * 8;
            FUZZ_CHECK(std::memcmp(event.eventData, piece + 1, 5) == 0);
            FUZZ_CHECK(event.eventCode == static_cast<uint16_t>(piece[6] | (piece[7] << 8)));
        }
        ++fetched;
    }
    if (!raw) {
        FUZZ_CHECK(fetched == expected);
        FUZZ_CHECK(fetched == 0 || lastNumber == made);
    }
}

constexpr std::array<uint8_t, 13> kTypes = {
    kFrameTypeMasterInfo,   kFrameTypeSpInitDownload, kFrameTypeSpErase,   kFrameTypeSpWrite,
    kFrameTypeSpWriteBlock, kFrameTypeSpFinish,       kFrameTypeStkInit,   kFrameTypeStkWrite,
    kFrameTypeStkFinish,    kFrameTypeStkQuery1,      kFrameTypeStkQuery4, kFrameTypeResetPort,
    kFrameTypeQueryDD,
};

void RunService(int32_t slot, size_t which, const std::vector<uint8_t>* frame, bool matches) {
    const uint8_t chunk[4] = {1, 2, 3, 4};
    switch (which) {
        case 0:
            CheckMasterInfo(slot, frame, matches);
            break;
        case 1:
            CheckBootOut(slot, true, frame, matches);
            break;
        case 2:
            CheckStatusResult(IOL_SP_Erase(slot), IOL_BOOT_FRAME_TYPE, frame, matches);
            break;
        case 3:
            CheckStatusResult(IOL_SP_Write(slot, 0xFFFE0000u, 4, chunk, kFormatLongAddress),
                              IOL_BOOT_FRAME_TYPE, frame, matches);
            break;
        case 4:
            CheckBootOut(slot, false, frame, matches);
            break;
        case 5:
            CheckStatusResult(IOL_SP_Finish(slot), IOL_BOOT_FRAME_TYPE, frame, matches);
            break;
        case 6:
            CheckStatusResult(IOL_STK_Init(slot, 0), IOL_ERR_FRAME_TYPE, frame, matches);
            break;
        case 7:
            CheckStatusResult(IOL_STK_Write(slot, 0, 0x100, 4, chunk), IOL_ERR_FRAME_TYPE, frame,
                              matches);
            break;
        case 8:
            CheckStatusResult(IOL_STK_Finish(slot, 0), IOL_ERR_FRAME_TYPE, frame, matches);
            break;
        case 9:
            CheckStackQuery(slot, false, frame, matches);
            break;
        case 10:
            CheckStackQuery(slot, true, frame, matches);
            break;
        case 11:
            CheckResetPort(slot, frame);
            break;
        default:
            CheckQueryDD(slot, frame, matches);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    FuzzLinkHost& host = Host();
    const bool raw = (data[0] & 0x80) != 0;
    const size_t which = (data[0] & 0x7F) % (kTypes.size() + 1);

    if (which == kTypes.size()) {
        PlatformSeam_SetSleepHook(&NoSleep);
        Feed_Load(nullptr, 0);
        const int32_t slot = host.Open();
        CheckFetchEvent(slot, data + 1, size - 1, raw);
        host.Close(slot);
        return 0;
    }

    std::vector<uint8_t> frame;
    bool matches = false;
    g_answered = false;
    if (raw) {
        Feed_Load(data + 1, size - 1);
    } else {
        const uint8_t pick = size > 1 ? data[1] : 0;
        const uint8_t type = (pick & 1) == 0 ? kTypes[which] : pick;
        matches = type == kTypes[which];
        g_answered = type != kFrameTypePortEvent && type != kFrameTypeLog;
        frame = MakeFrame(type, data + std::min<size_t>(size, 2), size > 2 ? size - 2 : 0);
        Feed_Load(frame.data(), frame.size());
    }
    PlatformSeam_SetSleepHook(&DeliverOnFirstPoll);
    const int32_t slot = host.Open();
    RunService(slot, which, raw ? nullptr : &frame, matches);
    PlatformSeam_SetSleepHook(&NoSleep);
    host.Close(slot);
    return 0;
}
