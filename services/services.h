// The IOL_ master service calls: each one request/response exchange on an open link. Together with
// link/link.h this is the library's public interface.
#pragma once

#include <cstdint>

#include "link/link.h"

// ---- Identification ----

// The 25-byte identification record filled by IOL_GetMasterInfo.
struct MasterInfo {
    char versionText[13];     // "N/A", or "%c.%c.%c/%c.%c.%c" (main / IO-Link stack)
    uint8_t mainVersion[3];   // digit values 0..15, major first
    uint8_t stackVersion[3];  // digit values 0..15, major first
    char editionCode[4];      // two characters and a terminator; the fourth byte is never written
    uint8_t idBytes[2];       // response bytes 11 and 12
};
static_assert(sizeof(MasterInfo) == 25);

struct LibraryVersion {
    char tag[20];
    char buildDate[20];
    char version[20];
};

constexpr uint8_t kFrameTypeMasterInfo = 0x67;

int32_t IOL_GetMasterInfo(int32_t slot, MasterInfo* info);
int32_t IOL_GetLibraryVersion(LibraryVersion* version);
// '0'..'9' -> 0..9, 'a'..'f' and 'A'..'F' -> 10..15, anything else -> 0.
uint8_t HexDigitValue(char c);

// ---- Main controller boot loader ----

constexpr uint8_t kFrameTypeSpInitDownload = 0xC9;
constexpr uint8_t kFrameTypeSpErase = 0xCA;
constexpr uint8_t kFrameTypeSpWrite = 0xCB;
constexpr uint8_t kFrameTypeSpFinish = 0xCD;
constexpr uint8_t kFrameTypeSpWriteBlock = 0xCE;
constexpr uint8_t kFormatShortAddress = 2;  // 2-byte addresses
constexpr uint8_t kFormatLongAddress = 3;   // 4-byte addresses

// Boot-loader verdict events.
constexpr uint16_t kEventBootVerdict = 0x49;  // eventData[1] == 0xC0: failure, else success
constexpr uint16_t kEventBootBusy = 0x22;
constexpr uint8_t kVerdictFailure = 0xC0;

int32_t IOL_SP_InitDownload(int32_t slot, uint8_t* out1, uint8_t* out2, uint8_t format);
int32_t IOL_SP_Erase(int32_t slot);
int32_t IOL_SP_Write(int32_t slot, uint32_t address, uint8_t length, const uint8_t* data,
                     uint8_t format);
int32_t IOL_SP_WriteBlock(int32_t slot, uint8_t* out1, uint8_t* out2);
int32_t IOL_SP_Finish(int32_t slot);
// Takes the oldest unread event: IOL_OK, IOL_ERR_NO_EVENT, or the link status.
int32_t IOL_FetchEvent(int32_t slot, PortEvent* event, int32_t* status);

// ---- IO-Link stack boot loader ----

constexpr uint8_t kFrameTypeStkInit = 0xE7;
constexpr uint8_t kFrameTypeStkWrite = 0xE8;
constexpr uint8_t kFrameTypeStkQuery1 = 0xE9;
constexpr uint8_t kFrameTypeStkQuery4 = 0xEA;
constexpr uint8_t kFrameTypeStkFinish = 0xEB;

int32_t IOL_STK_Init(int32_t slot, uint8_t port);
int32_t IOL_STK_Write(int32_t slot, uint8_t port, uint32_t address, uint8_t length,
                      const uint8_t* data);
int32_t IOL_STK_Finish(int32_t slot, uint8_t port);
int32_t IOL_STK_Query1(int32_t slot, uint8_t port, uint8_t* out);
int32_t IOL_STK_Query4(int32_t slot, uint8_t port, uint8_t* out);

// ---- Further services ----

constexpr uint8_t kFrameTypeResetPort = 0x0F;
constexpr uint8_t kFrameTypeQueryDD = 0xDD;

int32_t IOL_ResetPort(int32_t slot, uint8_t port);
int32_t IOL_QueryDD(int32_t slot);
