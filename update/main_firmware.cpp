// Main firmware update for masters on 3.x (4-byte addresses, port reset first) and on 2.x
// (2-byte addresses), the wait for the boot loader's verdicts, and the wait for the master to
// come back with its new firmware.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/app.h"
#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "services/services.h"
#include "update/update.h"

std::array<uint8_t, kMain3WindowSize> workBuffer;
UpdateReport mainReport;

void UpdateReport_Set(UpdateReport& report, ProcedureEnd end, const char* step, const char* state) {
    report.end = end;
    report.step = step;
    report.state = state;
}

namespace {

constexpr uint32_t kSkipStart = 0xFFFF8000;  // V3 never writes this 16 KB range
constexpr uint32_t kSkipEnd = 0xFFFFC000;
constexpr uint32_t kVerdictPolls = 20;
constexpr uint32_t kVerdictPollMs = 500;
constexpr uint32_t kPortResetPauseMs = 100;
constexpr uint32_t kRestartTicks = 10;
constexpr uint32_t kRescans = 40;
constexpr uint32_t kTickMs = 500;
// What a block and the swap take, for the time a deferred stop request has to wait: 128 writes
// of about 10 ms (the response poll's step) and the verdict poll's 500 ms make a block about
// 1.8 s against the virtual master; the swap's verdict about a second.
constexpr uint32_t kMsPerBlock = 1800;
constexpr uint32_t kMsForSwap = 1000;
// Around the blocks of a whole update: the erase's verdict (one poll), the swap's, and the wait
// for the restarting master (its ticks and the rescan that finds it back).
constexpr uint32_t kMsAroundBlocks = kVerdictPollMs + kMsForSwap + (kRestartTicks + 1) * kTickMs;

// The master's state, as a report tells it to the operator.
constexpr const char* kInBootLoader =
    "nothing was written; the master may wait in its boot loader with its old firmware: unplug it, "
    "plug it back in and run the program again.";
constexpr const char* kPartial =
    "the master's flash holds part of the new image and the master waits in its boot loader: run "
    "the program again now, without unplugging the master.";
constexpr const char* kErased =
    "the master's flash may be erased and the master waits in its boot loader: run the program "
    "again now, without unplugging the master.";
constexpr const char* kSwapped =
    "the new firmware is written and swapped; the master restarts with it by itself. Check it "
    "with iolink-update --list.";

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

// The blocks a download commits: the bytes it sends (V3 without the skipped range) in 8 KB.
uint32_t BlockCount(const Variant& variant, uint32_t remaining) {
    const uint32_t bytes = variant.v3 ? remaining - (kSkipEnd - kSkipStart) : remaining;
    return MainBlockCount(bytes);
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
        Console_Print("  Error in IOL_SP_WriteBlock:%X\n", static_cast<unsigned>(r));
        return r;
    }
    r = WaitBootResult(slot, variant.busyTolerant);
    if (r == kStoppedAtOnce) {
        return r;
    }
    if (r != 0) {
        Console_Print("  writing was not successful: %X. Terminating Update\n",
                      static_cast<unsigned>(r));
        return r;
    }
    ++at.blocks;
    Stop_Progress(at.blocks);
    return 0;
}

// Resets ports 0 and 1 of a master running its firmware. Returns false when the update must end
// (the second reset failed, or a stop was requested; the report says which).
bool ResetPorts(int32_t slot) {
    int32_t r = IOL_ResetPort(slot, 0);
    if (r == 0) {
        if (Stop_Requested()) {
            UpdateReport_Set(mainReport, ProcedureEnd::stopped, "before the download started",
                             kMasterUnchanged);
            return false;
        }
        r = IOL_ResetPort(slot, 1);
        if (r != 0) {
            Console_Print("Error in IOL_ResetPort port=1 error=%i. Terminating update\n", r);
            UpdateReport_Set(mainReport, ProcedureEnd::failed, "at the port reset",
                             kMasterUnchanged);
            return false;
        }
    } else if (r == IOL_ERR_TIMEOUT) {
        Console_Print("Master is already in Boot mode, continue\n");
    }
    Platform_SleepMs(kPortResetPauseMs);
    return true;
}

// The download from its start to the swap's verdict; the erase to the verdict is one phase that
// finishes once started (a stop request in it is deferred to its end). Fills the report; true
// when the master swapped to the new firmware.
bool Download(int32_t slot, const Variant& variant, ImageCursor& at) {
    if (Stop_Requested()) {
        UpdateReport_Set(mainReport, ProcedureEnd::stopped, "before the download started",
                         kMasterUnchanged);
        return false;
    }
    uint8_t out1[4] = {};
    uint8_t out2[4] = {};
    int32_t r = IOL_SP_InitDownload(slot, out1, out2, variant.format);
    if (r != 0) {
        Console_Print("Error in IOL_SP_InitDownload:%i. Terminating update\n", r);
        UpdateReport_Set(mainReport, ProcedureEnd::failed, "at the download start", kInBootLoader);
        return false;
    }
    if (Stop_Requested()) {
        UpdateReport_Set(mainReport, ProcedureEnd::stopped, "before the erase", kInBootLoader);
        return false;
    }
    const CriticalPhase phase("the master's flash is being rewritten", "block",
                              BlockCount(variant, at.remaining), kMsPerBlock, kMsForSwap);
    r = IOL_SP_Erase(slot);
    if (r != 0) {
        Console_Print("  Error in IOL_SP_Erase:%i\n", r);
    } else {
        r = WaitBootResult(slot, variant.busyTolerant);
        if (r != 0 && r != kStoppedAtOnce) {
            Console_Print("  Erasing was not successful error=0x%X. Terminating Update\n",
                          static_cast<unsigned>(r));
        }
    }
    const char* failedAt = "at the erase";
    const char* state = kErased;
    while (r == 0 && at.remaining != 0) {
        failedAt = "while writing the image";
        state = kPartial;
        r = SendBlock(slot, variant, at);
    }
    if (r == 0) {
        failedAt = "at the swap";
        r = IOL_SP_Finish(slot);
        if (r != 0) {
            Console_Print("  Error in IOL_SP_Finish:%X\n", static_cast<unsigned>(r));
        } else {
            r = WaitBootResult(slot, variant.busyTolerant);
            if (r == kStoppedAtOnce) {
                // Nothing to print: the console is closing.
            } else if (r != 0 && variant.v3) {
                Console_Print("  swapping was not successful(%X). Terminating Update\n",
                              static_cast<unsigned>(r));
            } else if (r != 0) {
                Console_Print("  swapping was not successful. Terminating Update\n");
            } else {
                Console_Print("\nBoot swapping was successful\n");
            }
        }
    }
    if (r != 0) {
        UpdateReport_Set(mainReport,
                         r == kStoppedAtOnce ? ProcedureEnd::stopped : ProcedureEnd::failed,
                         failedAt, state);
        return false;
    }
    return true;
}

void UpdateMainFirmware(uint8_t row, const Variant& variant) {
    mainReport = UpdateReport{};
    if (row >= kMasterRows) {
        return;
    }
    const MasterEntry& entry = masterTable.rows[row];
    // The rescan refills the table: the master's identity is kept for finding it again.
    const UsbIdentity usb = entry.usb;
    char portName[kMasterPortNameSize] = {};
    std::memcpy(portName, entry.portName, sizeof(portName));
    portName[sizeof(portName) - 1] = '\0';
    ImageCursor at;
    if (!PrepareImage(variant, entry, &at.remaining)) {
        return;
    }
    at.address = variant.v3 ? kMain3WindowBase : 0;

    if (Stop_Requested()) {
        UpdateReport_Set(mainReport, ProcedureEnd::stopped, "before the update started",
                         kMasterUnchanged);
        return;
    }
    SerialOpenFailure why{};
    const int32_t slot = IOL_CreateWithCause(portName, &why);
    if (slot < 0) {
        Console_Print("Error in IOL_Create:%i\n", slot);
        PrintOpenHint(portName, slot, why);
        UpdateReport_Set(mainReport, ProcedureEnd::failed, "at opening its port", kMasterUnchanged);
        return;
    }
    // Nothing is sent yet: a stop requested while the port opened ends the procedure here.
    if (Stop_Requested()) {
        IOL_Destroy(slot);
        UpdateReport_Set(mainReport, ProcedureEnd::stopped, "before the update started",
                         kMasterUnchanged);
        return;
    }
    const bool swapped = (!variant.v3 || ResetPorts(slot)) && Download(slot, variant, at);
    IOL_Destroy(slot);
    if (!swapped) {
        return;
    }
    UpdateReport_Set(mainReport, ProcedureEnd::written, "", kSwapped);
    // The wait for the restarting master is no flash phase: the master finishes by itself, and a
    // stop request ends the procedure here.
    if (Stop_Requested()) {
        UpdateReport_Set(mainReport, ProcedureEnd::stopped,
                         "after the swap, before the wait for the restarting master", kSwapped);
        return;
    }
    WaitForMaster(usb, portName);
}

}  // namespace

int32_t WriteImageChunks(int32_t slot, uint8_t format, ImageCursor& at, const char* linePrefix) {
    uint32_t blockBytes = 0;
    uint8_t writes = 0;
    while (blockBytes < kMainBlockBytes && at.remaining != 0) {
        // A closing console leaves seconds: the exchange in flight was the last.
        if (Stop_Urgent()) {
            return kStoppedAtOnce;
        }
        at.remaining = (at.remaining + 15) & ~15u;
        const uint32_t chunk = std::min(at.remaining, kMainChunkBytes);
        // Cannot happen with images that fit their window; should it, the update ends as a
        // failure rather than reading past the buffer or committing a block short of its data.
        if (at.cursor > workBuffer.size() || chunk > workBuffer.size() - at.cursor) {
            Console_Print(
                "%sError in the image at %X: the write would read beyond the work buffer. "
                "Terminating update\n",
                linePrefix, static_cast<unsigned>(at.address));
            return kImageBeyondBuffer;
        }
        const int32_t r = IOL_SP_Write(slot, at.address, static_cast<uint8_t>(chunk),
                                       &workBuffer[at.cursor], format);
        if (r != 0) {
            Console_Print("%sError in IOL_SP_Write at %X with result:%X\n", linePrefix,
                          static_cast<unsigned>(at.address), static_cast<unsigned>(r));
            return r;
        }
        blockBytes += chunk;
        at.remaining -= chunk;
        at.cursor += chunk;
        at.address += chunk;
        ++writes;
        if (writes % 8 == 4) {
            Console_Print(".");
        }
        Stop_Announce();
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
    const uint32_t length = V2ImageBytes(descriptor);
    // The last write is padded to a multiple of 16 bytes; the pad is the erased-flash value 0xFF,
    // never what an earlier image left in the buffer.
    workBuffer.fill(0xFF);
    std::memcpy(workBuffer.data(), descriptor.image, length);
    StampImage(workBuffer, kMain2StampOffset);
    return length;
}

int32_t WaitBootResult(int32_t slot, bool busyTolerant) {
    for (uint32_t poll = 0; poll < kVerdictPolls; ++poll) {
        Stop_Announce();
        if (Stop_Urgent()) {
            return kStoppedAtOnce;
        }
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

void WaitForMaster(const UsbIdentity& usb, const char* portName) {
    constexpr const char* kStoppedWaiting = "while waiting for the restarting master";
    Console_Print("Waiting for detection of the new interface");
    for (uint32_t tick = 0; tick < kRestartTicks; ++tick) {
        if (Stop_Requested()) {
            UpdateReport_Set(mainReport, ProcedureEnd::stopped, kStoppedWaiting, kSwapped);
            return;
        }
        Platform_SleepMs(kTickMs);
        Console_Print(".");
    }
    masterTable.masterCount = 0;
    // The rescans print no hints while the master restarts (its port comes and goes, and may be
    // closed to users for a moment): only when it does not come back is the last reason told.
    ScanFailures failures{};
    for (uint32_t scan = 0; scan < kRescans && masterTable.masterCount == 0; ++scan) {
        if (Stop_Requested()) {
            UpdateReport_Set(mainReport, ProcedureEnd::stopped, kStoppedWaiting, kSwapped);
            return;
        }
        Console_Print(".");
        ScanMasters(&failures);
        Platform_SleepMs(kTickMs);
    }
    if (masterTable.masterCount == 0) {
        Console_Print("Master was not found. Please check if the update was OK.!!!!!!!!!!!\n");
        PrintScanHints(failures);
        return;
    }
    // The verdict is about the updated master, found among the masters the rescan identified by
    // its USB identity; another master's versions never stand for it. Not among them: it was not
    // identified again.
    FollowCandidate candidates[kMasterRows] = {};
    for (uint8_t row = 0; row < masterTable.masterCount && row < kMasterRows; ++row) {
        candidates[row] =
            FollowCandidate{&masterTable.rows[row].usb, masterTable.rows[row].portName};
    }
    const int32_t updated = FindFollowedMaster(candidates, masterTable.masterCount, usb, portName);
    if (updated >= 0) {
        const MasterEntry& found = masterTable.rows[static_cast<size_t>(updated)];
        mainReport.identified = true;
        mainReport.info = MasterInfo{};
        for (int i = 0; i < 3; ++i) {
            mainReport.info.mainVersion[i] = static_cast<uint8_t>(found.mainVersion[i]);
            mainReport.info.stackVersion[i] = static_cast<uint8_t>(found.stackVersion[i]);
        }
        std::memcpy(mainReport.info.editionCode, found.editionCode,
                    std::min(sizeof(mainReport.info.editionCode), sizeof(found.editionCode)));
    }
    // The first master of the new scan is identified, whichever row the update was called with;
    // when that is the updated master, its answer here is what the report keeps.
    SerialOpenFailure why{};
    const int32_t slot = IOL_CreateWithCause(masterTable.rows[0].portName, &why);
    if (slot < 0) {
        Console_Print("Error in IOL_Create:%i\n", slot);
        PrintOpenHint(masterTable.rows[0].portName, slot, why);
        return;
    }
    MasterInfo info = {};
    const int32_t r = IOL_GetMasterInfo(slot, &info);
    if (r != 0) {
        Console_Print("Error in IOL_GetMasterInfo:%i\n", r);
    } else {
        Console_Print("New Master Version:  %s %s\n\r", info.versionText, info.editionCode);
        if (updated == 0) {
            mainReport.info = info;
        }
    }
    IOL_Destroy(slot);
}

void UpdateMainFirmwareV3(uint8_t row) {
    UpdateMainFirmware(row, kV3);
}

void UpdateMainFirmwareV2(uint8_t row) {
    UpdateMainFirmware(row, kV2);
}

// The 3.x download always sends the whole window (PrepareImage); a 2.x one the image's bytes.
uint32_t ExpectedMsMainFirmwareV3() {
    return BlockCount(kV3, kMain3WindowSize) * kMsPerBlock + kMsAroundBlocks;
}

uint32_t ExpectedMsMainFirmwareV2(const FirmwareDescriptor& descriptor) {
    return BlockCount(kV2, V2ImageBytes(descriptor)) * kMsPerBlock + kMsAroundBlocks;
}

std::vector<uint8_t> Main3SentBytes() {
    std::vector<uint8_t> sent(kMain3WindowSize);
    ExpandRecords(main3Records, kMain3WindowBase, sent);
    // The range never written is taken out by moving what follows it down (g++ 12 reports a
    // false bounds warning for a vector built from two ranges here).
    const uint32_t skipFrom = kSkipStart - kMain3WindowBase;
    const uint32_t skipTo = kSkipEnd - kMain3WindowBase;
    std::copy(sent.begin() + skipTo, sent.end(), sent.begin() + skipFrom);
    sent.resize(kMain3WindowSize - (skipTo - skipFrom));
    return sent;
}

std::vector<uint8_t> Main2SentBytes(const FirmwareDescriptor& descriptor) {
    const uint32_t length = V2ImageBytes(descriptor);
    return {descriptor.image, descriptor.image + length};
}
