// The step that every master service shares: send the request built in the link's request
// buffer and wait for the response.
#pragma once

#include <cstdint>

#include "link/link.h"

// Link_Send, then Link_WaitResponse: IOL_OK once a response is held, or the first failure
// (IOL_ERR_SEND: the link is closed and must not be touched again; IOL_ERR_TIMEOUT).
inline int32_t Service_Exchange(Link* link, uint8_t firstParam, uint16_t length, uint8_t format) {
    const int32_t sent = Link_Send(link, firstParam, length, format);
    if (sent != IOL_OK) {
        return sent;
    }
    return Link_WaitResponse(link);
}
