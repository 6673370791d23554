// Identification of a master (frame type 0x67) and the library's own version.
#include <cstdio>

#include "services/exchange.h"
#include "services/services.h"

uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<uint8_t>(c - 'A' + 10);
    }
    return 0;
}

// Asks the master for its firmware versions, edition code and identification bytes.
// Response: bytes 5-7 main version characters, 8-9 edition, 11-12 identification bytes,
// 16-18 IO-Link stack version characters.
int32_t IOL_GetMasterInfo(int32_t slot, MasterInfo* info) {
    Link* link = nullptr;
    const int32_t status = LinkTable_GetLink(slot, &link);
    if (status != IOL_OK) {
        return status;
    }
    Link_SetRequestType(link, kFrameTypeMasterInfo);
    for (uint8_t& digit : info->mainVersion) {
        digit = 0;
    }
    std::snprintf(info->versionText, sizeof(info->versionText), "%s", "N/A");

    const int32_t exchanged = Service_Exchange(link, 0, 5, kFrameFormat);
    if (exchanged != IOL_OK) {
        return exchanged;
    }
    if (Link_ResponseType(link) != kFrameTypeMasterInfo) {
        Link_ReleaseResponse(link);
        return IOL_ERR_FRAME_TYPE;
    }
    const auto& r = link->response;
    for (size_t i = 0; i < 3; ++i) {
        info->mainVersion[i] = HexDigitValue(static_cast<char>(r[5 + i]));
        info->stackVersion[i] = HexDigitValue(static_cast<char>(r[16 + i]));
    }
    // The characters themselves, so that a digit that is not hexadecimal still shows.
    std::snprintf(info->versionText, sizeof(info->versionText), "%c.%c.%c/%c.%c.%c", r[5], r[6],
                  r[7], r[16], r[17], r[18]);
    // Two characters and the terminator; the record's fourth byte is left alone.
    std::snprintf(info->editionCode, 3, "%c%c", r[8], r[9]);
    info->idBytes[0] = r[11];
    info->idBytes[1] = r[12];
    Link_ReleaseResponse(link);
    return IOL_OK;
}

int32_t IOL_GetLibraryVersion(LibraryVersion* version) {
    std::snprintf(version->tag, sizeof(version->tag), "%s", "0000");
    std::snprintf(version->buildDate, sizeof(version->buildDate), "%s", "Jan 21 2019");
    std::snprintf(version->version, sizeof(version->version), "%s", "2.04");
    return IOL_OK;
}
