// The request side of a link: building the frame header, writing the frame to the port under the
// library lock, waiting for the response, and the port status byte.
#include "link/link.h"

namespace {

constexpr uint32_t kResponsePollMs = 10;

}  // namespace

void Link_SetRequestType(Link* link, uint8_t type) {
    link->request[3] = type;
}

uint8_t Link_ResponseType(const Link* link) {
    return link->response[3];
}

void Link_SetRequestHeader(Link* link, uint8_t firstParam, uint8_t format) {
    link->request[2] = format;
    link->request[4] = firstParam;
}

void Link_SetRequestLength(Link* link, uint16_t length) {
    link->request[0] = static_cast<uint8_t>(length & 0xFF);
    link->request[1] = static_cast<uint8_t>(length >> 8);
    link->requestLength = length;
}

int32_t Link_Send(Link* link, uint8_t firstParam, uint16_t length, uint8_t format) {
    int32_t result = IOL_ERR_SEND;
    {
        LibraryLockGuard guard;
        Link_SetRequestHeader(link, firstParam, format);
        Link_SetRequestLength(link, length);
        uint32_t written = 0;
        // A length beyond the request buffer would send bytes that are not the request's; it is
        // refused as a failed write.
        const bool fits = length <= link->request.size();
        if (!fits ||
            !Platform_SerialWrite(link->portHandle, link->request.data(), length, &written)) {
            link->sendStatus = kSendFailed;
        } else if (written == length) {
            link->sendStatus = kSendOk;
            result = IOL_OK;
        } else {
            link->sendStatus = kSendIncomplete;
        }
    }
    if (result != IOL_OK) {
        IOL_Destroy(link->slot);
    }
    return result;
}

int32_t Link_WaitResponse(Link* link) {
    for (int32_t polls = ResponseWaitPolls;
         link->responseReady.load(std::memory_order_acquire) != 1 && polls > 0; --polls) {
        Platform_SleepMs(kResponsePollMs);
    }
    return link->responseReady.load(std::memory_order_acquire) == 1 ? IOL_OK : IOL_ERR_TIMEOUT;
}

uint8_t Link_PortStatusBits(Link* link, uint8_t port) {
    // Everything is read under the library lock: the receive thread writes portState and
    // portFlag under it, together with the ring indexes.
    LibraryLockGuard guard;
    uint8_t bits = 0;
    // 255 means no port; ports 16 and above have no per-port state and read like it.
    if (port < kPortCount) {
        const uint8_t state = link->portState[port];
        const uint8_t flag = link->portFlag[port];
        if (state != 0) {
            bits |= 0x80;
        }
        if (state == 2) {
            bits |= 0x01;
            if (flag != 0) {
                bits |= 0x08;
            }
        } else if (state == 3) {
            bits |= 0x02;
            if (flag != 0) {
                bits |= 0x08;
            }
        }
    }
    if (link->eventTail != link->eventHead) {
        bits |= 0x04;
    }
    return bits;
}

void Link_ReleaseResponse(Link* link) {
    link->responseReady.store(0, std::memory_order_release);
}
