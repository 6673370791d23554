// The main controller's boot loader (frame types 0xC9 to 0xCE) and the reader of its verdict
// events. Each download call answers with the boot loader's status byte (response byte 5), or
// IOL_BOOT_FRAME_TYPE when the response carries another frame type.
#include <algorithm>

#include "services/exchange.h"
#include "services/services.h"

namespace {

// Where a call's two 4-byte out-buffers sit in its response.
struct OutBuffers {
    uint8_t* first;
    size_t firstOffset;
    uint8_t* second;
    size_t secondOffset;
};

void CopyOut(const Link* link, uint8_t* to, size_t offset) {
    if (to != nullptr) {
        std::copy_n(link->response.begin() + static_cast<std::ptrdiff_t>(offset), 4, to);
    }
}

// Waits for the response to the request already built in `link` and takes its status byte.
int32_t BootExchange(Link* link, uint8_t type, uint16_t length, uint8_t format,
                     const OutBuffers* out) {
    const int32_t exchanged = Service_Exchange(link, 0, length, format);
    if (exchanged != IOL_OK) {
        return exchanged;
    }
    if (Link_ResponseType(link) != type) {
        Link_ReleaseResponse(link);
        return IOL_BOOT_FRAME_TYPE;
    }
    if (out != nullptr) {
        CopyOut(link, out->first, out->firstOffset);
        CopyOut(link, out->second, out->secondOffset);
    }
    const int32_t status = link->response[5];
    Link_ReleaseResponse(link);
    return status;
}

// A boot-loader request without payload (frame length 5).
int32_t BootRequest(int32_t slot, uint8_t type, uint8_t format, const OutBuffers* out) {
    Link* link = nullptr;
    const int32_t status = LinkTable_GetLink(slot, &link);
    if (status != IOL_OK) {
        return status;
    }
    Link_SetRequestType(link, type);
    return BootExchange(link, type, 5, format, out);
}

}  // namespace

// Starts a download. Response bytes 20-23 and 24-27 go to the out-buffers.
// NOLINTNEXTLINE(readability-non-const-parameter): written through OutBuffers on a matching type
int32_t IOL_SP_InitDownload(int32_t slot, uint8_t* out1, uint8_t* out2, uint8_t format) {
    const OutBuffers out{out1, 20, out2, 24};
    return BootRequest(slot, kFrameTypeSpInitDownload, format, &out);
}

// Erases the flash area of the new image; the outcome follows as a port event.
int32_t IOL_SP_Erase(int32_t slot) {
    return BootRequest(slot, kFrameTypeSpErase, kFrameFormat, nullptr);
}

// Sends one chunk of the image: request byte 5 the length, then the address least significant
// byte first (four bytes with format 3, its low two bytes otherwise), then the data.
int32_t IOL_SP_Write(int32_t slot, uint32_t address, uint8_t length, const uint8_t* data,
                     uint8_t format) {
    Link* link = nullptr;
    const int32_t status = LinkTable_GetLink(slot, &link);
    if (status != IOL_OK) {
        return status;
    }
    // A response that came after an earlier call had stopped waiting is discarded here.
    Link_ReleaseResponse(link);
    Link_SetRequestType(link, kFrameTypeSpWrite);
    auto& q = link->request;
    q[5] = length;
    q[6] = static_cast<uint8_t>(address);
    q[7] = static_cast<uint8_t>(address >> 8);
    size_t dataAt = 8;
    if (format == kFormatLongAddress) {
        q[8] = static_cast<uint8_t>(address >> 16);
        q[9] = static_cast<uint8_t>(address >> 24);
        dataAt = 10;
    }
    // At most 255 bytes behind byte 10: 265 of the 384 bytes of the request buffer.
    std::copy_n(data, length, q.begin() + static_cast<std::ptrdiff_t>(dataAt));
    return BootExchange(link, kFrameTypeSpWrite, static_cast<uint16_t>(dataAt + length), format,
                        nullptr);
}

// Commits the chunks sent since the last commit. Response bytes 6-9 and 10-13 go to the
// out-buffers; the outcome follows as a port event.
// NOLINTNEXTLINE(readability-non-const-parameter): written through OutBuffers on a matching type
int32_t IOL_SP_WriteBlock(int32_t slot, uint8_t* out1, uint8_t* out2) {
    const OutBuffers out{out1, 6, out2, 10};
    return BootRequest(slot, kFrameTypeSpWriteBlock, kFrameFormat, &out);
}

// Ends the download; the boot loader then swaps old and new firmware.
int32_t IOL_SP_Finish(int32_t slot) {
    return BootRequest(slot, kFrameTypeSpFinish, kFrameFormat, nullptr);
}

// Takes the oldest unread port event. The caller's port field is left as it was; the status
// word is the port status byte of port 0, whose bit 0x04 tells that more events wait.
int32_t IOL_FetchEvent(int32_t slot, PortEvent* event, int32_t* status) {
    Link* link = nullptr;
    const int32_t linkStatus = LinkTable_GetLink(slot, &link);
    if (linkStatus != IOL_OK) {
        return linkStatus;
    }
    {
        LibraryLockGuard guard;
        if (link->eventTail == link->eventHead) {
            return IOL_ERR_NO_EVENT;
        }
        const PortEvent& oldest = link->events[link->eventTail];
        event->number = oldest.number;
        event->eventCode = oldest.eventCode;
        std::copy_n(oldest.eventData, sizeof(oldest.eventData), event->eventData);
        link->eventTail = static_cast<uint8_t>((link->eventTail + 1) % kEventRingSize);
    }
    *status = Link_PortStatusBits(link, 0);
    return IOL_OK;
}
