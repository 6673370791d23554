// Port reset (frame type 0x0F) and the 0xDD query.
#include <algorithm>

#include "services/exchange.h"
#include "services/services.h"

namespace {

constexpr uint16_t kResetPortLength = 36;  // header, port number, 31 zero bytes

// The master's status byte to a port reset, as a result.
int32_t ResetPortResult(uint8_t status) {
    switch (status) {
        case 0:
        case 21:
            return IOL_OK;
        case 1:
            return IOL_ERR_RESET_STATUS1;
        case 4:
            return IOL_ERR_NO_NAME;
        default:
            return IOL_ERR_FRAME_TYPE;
    }
}

}  // namespace

// Resets one port of the master with an all-zero parameter block. The response's frame type is
// not examined: only its status byte counts.
int32_t IOL_ResetPort(int32_t slot, uint8_t port) {
    Link* link = nullptr;
    const int32_t status = LinkTable_GetLink(slot, &link);
    if (status != IOL_OK) {
        return status;
    }
    Link_SetRequestType(link, kFrameTypeResetPort);
    std::fill(link->request.begin() + 5, link->request.begin() + kResetPortLength, 0);
    const int32_t exchanged = Service_Exchange(link, port, kResetPortLength, kFrameFormat);
    if (exchanged != IOL_OK) {
        return exchanged;
    }
    const int32_t result = ResetPortResult(link->response[5]);
    Link_ReleaseResponse(link);
    return result;
}

// Sends the bare frame type 0xDD: the master's status byte, or IOL_ERR_SEND for a response of
// another frame type.
int32_t IOL_QueryDD(int32_t slot) {
    Link* link = nullptr;
    const int32_t status = LinkTable_GetLink(slot, &link);
    if (status != IOL_OK) {
        return status;
    }
    Link_SetRequestType(link, kFrameTypeQueryDD);
    const int32_t exchanged = Service_Exchange(link, 0, 5, kFrameFormat);
    if (exchanged != IOL_OK) {
        return exchanged;
    }
    if (Link_ResponseType(link) != kFrameTypeQueryDD) {
        Link_ReleaseResponse(link);
        return IOL_ERR_SEND;
    }
    const int32_t result = link->response[5];
    Link_ReleaseResponse(link);
    return result;
}
