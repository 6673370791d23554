// The IO-Link stack's boot loader (frame types 0xE7 to 0xEB). Every request carries the port
// number in byte 4 and format 2; a response of another frame type gives IOL_ERR_FRAME_TYPE.
#include <algorithm>

#include "services/exchange.h"
#include "services/services.h"

namespace {

// Sends the request already built in `link` and waits for a response of the same type. On
// IOL_OK the response is held; the caller reads it and releases it.
int32_t StackExchange(Link* link, uint8_t type, uint8_t port, uint16_t length) {
    const int32_t exchanged = Service_Exchange(link, port, length, kFrameFormat);
    if (exchanged != IOL_OK) {
        return exchanged;
    }
    if (Link_ResponseType(link) != type) {
        Link_ReleaseResponse(link);
        return IOL_ERR_FRAME_TYPE;
    }
    return IOL_OK;
}

// A request without payload; on success the response's bytes 5 onward go to `out` (count
// bytes) and the result is 0, or, with no `out`, the result is the status byte.
int32_t StackRequest(int32_t slot, uint8_t type, uint8_t port, uint8_t* out, size_t count) {
    Link* link = nullptr;
    const int32_t status = LinkTable_GetLink(slot, &link);
    if (status != IOL_OK) {
        return status;
    }
    Link_SetRequestType(link, type);
    const int32_t exchanged = StackExchange(link, type, port, 5);
    if (exchanged != IOL_OK) {
        return exchanged;
    }
    int32_t result = IOL_OK;
    if (out != nullptr) {
        std::copy_n(link->response.begin() + 5, count, out);
    } else {
        result = link->response[5];
    }
    Link_ReleaseResponse(link);
    return result;
}

}  // namespace

int32_t IOL_STK_Init(int32_t slot, uint8_t port) {
    return StackRequest(slot, kFrameTypeStkInit, port, nullptr, 0);
}

// Sends one chunk: the address in bytes 5-8, least significant first, the length in byte 9,
// then the data.
int32_t IOL_STK_Write(int32_t slot, uint8_t port, uint32_t address, uint8_t length,
                      const uint8_t* data) {
    Link* link = nullptr;
    const int32_t status = LinkTable_GetLink(slot, &link);
    if (status != IOL_OK) {
        return status;
    }
    Link_SetRequestType(link, kFrameTypeStkWrite);
    auto& q = link->request;
    q[5] = static_cast<uint8_t>(address);
    q[6] = static_cast<uint8_t>(address >> 8);
    q[7] = static_cast<uint8_t>(address >> 16);
    q[8] = static_cast<uint8_t>(address >> 24);
    q[9] = length;
    // At most 255 bytes behind byte 10: 265 of the 384 bytes of the request buffer.
    std::copy_n(data, length, q.begin() + 10);
    const int32_t exchanged =
        StackExchange(link, kFrameTypeStkWrite, port, static_cast<uint16_t>(10 + length));
    if (exchanged != IOL_OK) {
        return exchanged;
    }
    const int32_t result = link->response[5];
    Link_ReleaseResponse(link);
    return result;
}

int32_t IOL_STK_Finish(int32_t slot, uint8_t port) {
    return StackRequest(slot, kFrameTypeStkFinish, port, nullptr, 0);
}

int32_t IOL_STK_Query1(int32_t slot, uint8_t port, uint8_t* out) {
    return StackRequest(slot, kFrameTypeStkQuery1, port, out, 1);
}

int32_t IOL_STK_Query4(int32_t slot, uint8_t port, uint8_t* out) {
    return StackRequest(slot, kFrameTypeStkQuery4, port, out, 4);
}
