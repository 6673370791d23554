// Main firmware update for masters on 3.x (4-byte addresses, port reset first) and on 2.x
// (2-byte addresses), the wait for the boot loader's verdicts, and the wait for the master to
// come back with its new firmware.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "services/services.h"
#include "update/update.h"

std::array<uint8_t, kMain3WindowSize> workBuffer;

namespace {

constexpr uint32_t kSkipStart = 0xFFFF8000;  // V3 never writes this 16 KB range
constexpr uint32_t kSkipEnd = 0xFFFFC000;
constexpr uint32_t kVerdictPolls = 20;
constexpr uint32_t kVerdictPollMs = 500;
constexpr uint32_t kPortResetPauseMs = 100;
constexpr uint32_t kRestartTicks = 10;
constexpr uint32_t kRescans = 40;
constexpr uint32_t kTickMs = 500;

struct Variant {
    bool v3;
    uint8_t format;
    bool busyTolerant;
};

constexpr Variant kV3 = {true, kFormatLongAddress, true};
constexpr Variant kV2 = {false, kFormatShortAddress, false};

// Fills workBuffer with the image and its stamp; returns the bytes to send, or false when there
// is no image to send.
bool PrepareImage(const Variant& variant, const MasterEntry& entry, uint32_t* remaining) {
    if (variant.v3) {
        ExpandRecords(main3Records, kMain3WindowBase, workBuffer);
        StampImage(workBuffer, kMain3StampOffset);
        *remaining = kMain3WindowSize;
        return true;
    }
    const FirmwareDescriptor* descriptor = ChosenV2Image(entry.mainChoiceV2);
    if (descriptor == nullptr) {
        return false;
    }
    *remaining = LoadV2Image(*descriptor);
    return true;
}

// Sends one block of up to 8 KB in 64-byte writes, then commits it and waits for the verdict.
int32_t SendBlock(int32_t slot, const Variant& variant, ImageCursor& at) {
    if (variant.v3 && at.address >= kSkipStart && at.address < kSkipEnd) {
        const uint32_t skip = std::min(kSkipEnd - at.address, at.remaining);
        at.remaining -= skip;
        at.cursor += skip;
        at.address = kSkipEnd;
    }
    int32_t r = WriteImageChunks(slot, variant.format, at, "");
    if (r != 0) {
        return r;
    }
    uint8_t out1[4] = {};
    uint8_t out2[4] = {};
    r = IOL_SP_WriteBlock(slot, out1, out2);
    if (r != 0) {
        std::printf("  Error in IOL_SP_WriteBlock:%X\n", static_cast<unsigned>(r));
        return r;
    }
    r = WaitBootResult(slot, variant.busyTolerant);
    if (r != 0) {
        std::printf("  writing was not successful: %X. Terminating Update\n",
                    static_cast<unsigned>(r));
    }
    return r;
}

// Resets ports 0 and 1 of a master running its firmware. Returns false when the update must end
// (the second reset failed; the link is then closed).
bool ResetPorts(int32_t slot) {
    int32_t r = IOL_ResetPort(slot, 0);
    if (r == 0) {
        r = IOL_ResetPort(slot, 1);
        if (r != 0) {
            std::printf("Error in IOL_ResetPort port=1 error=%i. Terminating update\n", r);
            IOL_Destroy(slot);
            return false;
        }
    } else if (r == IOL_ERR_TIMEOUT) {
        std::printf("Master is already in Boot mode, continue\n");
    }
    Platform_SleepMs(kPortResetPauseMs);
    return true;
}

void UpdateMainFirmware(uint8_t row, const Variant& variant) {
    if (row >= kMasterRows) {
        return;
    }
    const MasterEntry& entry = masterTable.rows[row];
    ImageCursor at;
    if (!PrepareImage(variant, entry, &at.remaining)) {
        return;
    }
    at.address = variant.v3 ? kMain3WindowBase : 0;

    const int32_t slot = IOL_Create(entry.portName);
    if (slot < 0) {
        std::printf("Error in IOL_Create:%i\n", slot);
        PrintOpenHint(entry.portName, slot);
        return;
    }
    if (variant.v3 && !ResetPorts(slot)) {
        return;
    }
    uint8_t out1[4] = {};
    uint8_t out2[4] = {};
    int32_t r = IOL_SP_InitDownload(slot, out1, out2, variant.format);
    if (r != 0) {
        std::printf("Error in IOL_SP_InitDownload:%i. Terminating update\n", r);
    }
    if (r == 0) {
        r = IOL_SP_Erase(slot);
        if (r != 0) {
            std::printf("  Error in IOL_SP_Erase:%i\n", r);
        } else {
            r = WaitBootResult(slot, variant.busyTolerant);
            if (r != 0) {
                std::printf("  Erasing was not successful error=0x%X. Terminating Update\n",
                            static_cast<unsigned>(r));
            }
        }
    }
    while (r == 0 && at.remaining != 0) {
        r = SendBlock(slot, variant, at);
    }
    if (r == 0) {
        r = IOL_SP_Finish(slot);
        if (r != 0) {
            std::printf("  Error in IOL_SP_Finish:%X\n", static_cast<unsigned>(r));
        } else {
            r = WaitBootResult(slot, variant.busyTolerant);
            if (r != 0 && variant.v3) {
                std::printf("  swapping was not successful(%X). Terminating Update\n",
                            static_cast<unsigned>(r));
            } else if (r != 0) {
                std::printf("  swapping was not successful. Terminating Update\n");
            } else {
                std::printf("\nBoot swapping was successful\n");
            }
        }
    }
    IOL_Destroy(slot);
    if (r != 0) {
        return;
    }
    WaitForMaster();
}

}  // namespace

int32_t WriteImageChunks(int32_t slot, uint8_t format, ImageCursor& at, const char* linePrefix) {
    uint32_t blockBytes = 0;
    uint8_t writes = 0;
    while (blockBytes < kMainBlockBytes && at.remaining != 0) {
        at.remaining = (at.remaining + 15) & ~15u;
        const uint32_t chunk = std::min(at.remaining, kMainChunkBytes);
        // Cannot happen with images that fit their window; should it, the update ends as a
        // failure rather than reading past the buffer or committing a block short of its data.
        if (at.cursor > workBuffer.size() || chunk > workBuffer.size() - at.cursor) {
            std::printf(
                "%sError in the image at %X: the write would read beyond the work buffer. "
                "Terminating update\n",
                linePrefix, static_cast<unsigned>(at.address));
            return kImageBeyondBuffer;
        }
        const int32_t r = IOL_SP_Write(slot, at.address, static_cast<uint8_t>(chunk),
                                       &workBuffer[at.cursor], format);
        if (r != 0) {
            std::printf("%sError in IOL_SP_Write at %X with result:%X\n", linePrefix,
                        static_cast<unsigned>(at.address), static_cast<unsigned>(r));
            return r;
        }
        blockBytes += chunk;
        at.remaining -= chunk;
        at.cursor += chunk;
        at.address += chunk;
        ++writes;
        if (writes % 8 == 4) {
            std::printf(".");
        }
    }
    return 0;
}

const FirmwareDescriptor* ChosenV2Image(uint8_t mainChoiceV2) {
    if (mainChoiceV2 == 0 || mainChoiceV2 > firmwareDescriptors.size()) {
        return nullptr;
    }
    return &firmwareDescriptors[mainChoiceV2 - 1];
}

uint32_t LoadV2Image(const FirmwareDescriptor& descriptor) {
    const uint32_t length = std::min(descriptor.length, kMaxV2ImageLength);
    // The last write is padded to a multiple of 16 bytes; the pad is the erased-flash value 0xFF,
    // never what an earlier image left in the buffer.
    workBuffer.fill(0xFF);
    std::memcpy(workBuffer.data(), descriptor.image, length);
    StampImage(workBuffer, kMain2StampOffset);
    return length;
}

int32_t WaitBootResult(int32_t slot, bool busyTolerant) {
    for (uint32_t poll = 0; poll < kVerdictPolls; ++poll) {
        PortEvent event = {};
        int32_t status = 0;
        if (IOL_FetchEvent(slot, &event, &status) == IOL_OK) {
            if (event.eventCode == kEventBootVerdict) {
                return event.eventData[1] == kVerdictFailure ? 1 : 0;
            }
            if (event.eventCode != kEventBootBusy || !busyTolerant) {
                return event.eventCode;
            }
        }
        Platform_SleepMs(kVerdictPollMs);
    }
    return 2;
}

void WaitForMaster() {
    std::printf("Waiting for detection of the new interface");
    for (uint32_t tick = 0; tick < kRestartTicks; ++tick) {
        Platform_SleepMs(kTickMs);
        std::printf(".");
    }
    masterTable.masterCount = 0;
    for (uint32_t scan = 0; scan < kRescans && masterTable.masterCount == 0; ++scan) {
        std::printf(".");
        ScanMasters();
        Platform_SleepMs(kTickMs);
    }
    if (masterTable.masterCount == 0) {
        std::printf("Master was not found. Please check if the update was OK.!!!!!!!!!!!\n");
        return;
    }
    // The first master of the new scan is identified, whichever row the update was called with.
    const int32_t slot = IOL_Create(masterTable.rows[0].portName);
    if (slot < 0) {
        std::printf("Error in IOL_Create:%i\n", slot);
        PrintOpenHint(masterTable.rows[0].portName, slot);
        return;
    }
    MasterInfo info = {};
    const int32_t r = IOL_GetMasterInfo(slot, &info);
    if (r != 0) {
        std::printf("Error in IOL_GetMasterInfo:%i\n", r);
    } else {
        std::printf("New Master Version:  %s %s\n\r", info.versionText, info.editionCode);
    }
    IOL_Destroy(slot);
}

void UpdateMainFirmwareV3(uint8_t row) {
    UpdateMainFirmware(row, kV3);
}

void UpdateMainFirmwareV2(uint8_t row) {
    UpdateMainFirmware(row, kV2);
}
