// Main firmware update for masters on 2.0.1 to 2.0.9: every boot-loader step on a link of its
// own, and between steps a countdown and a prompt to unplug and replug the master.
#include <cstdio>

#include "app/app.h"
#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "services/services.h"
#include "update/update.h"

namespace {

enum class Step : uint8_t { erase, transfer, swap, identify };

constexpr int32_t kCountdownTicks = 15;
constexpr uint32_t kTickMs = 500;

struct ReplugState {
    Step step = Step::erase;
    int32_t countdown = 0;
    bool done = false;
    ImageCursor at;  // carries over from one Transfer pass to the next; addresses below 0x10000
};

// One countdown tick; the last one asks for the replug and waits for a key.
void Tick(ReplugState& s) {
    std::printf("w");
    --s.countdown;
    if (s.countdown == 0) {
        std::printf("\n");
        std::printf(
            "Please disconnect the USB master and connect it back to the PC. Press any key if you "
            "are ready");
        Platform_ReadKey();
        std::printf("\n");
    }
}

int32_t Transfer(int32_t slot, ReplugState& s) {
    std::printf("Begin transfer for adress:%4X", static_cast<unsigned>(s.at.address & 0xFFFF));
    // The failure messages follow progress text on the same line: they begin with a line end.
    int32_t r = WriteImageChunks(slot, kFormatShortAddress, s.at, "\n");
    if (r != 0) {
        s.done = true;
    } else {
        std::printf("Writing Block:");
        uint8_t out1[4] = {};
        uint8_t out2[4] = {};
        r = IOL_SP_WriteBlock(slot, out1, out2);
        if (r != 0) {
            s.done = true;
            std::printf("\nError in IOL_SP_WriteBlock:%X\n", static_cast<unsigned>(r));
        } else {
            s.countdown = kCountdownTicks;
            if (s.at.remaining == 0) {
                s.step = Step::swap;
            }
        }
    }
    return r;
}

// One step on a link of its own: open, start a download, perform the step, close.
int32_t StepPass(uint8_t row, ReplugState& s) {
    const int32_t slot = IOL_Create(masterTable.rows[row].portName);
    if (slot < 0) {
        s.done = true;
        std::printf("Error in IOL_Create:%i\n", slot);
        PrintOpenHint(masterTable.rows[row].portName, slot);
        return 0;
    }
    uint8_t out1[4] = {};
    uint8_t out2[4] = {};
    int32_t r = IOL_SP_InitDownload(slot, out1, out2, kFormatShortAddress);
    if (r != 0) {
        s.done = true;
        std::printf("Error in IOL_SP_InitDownload:%i\n", r);
        IOL_Destroy(slot);
        return r;
    }
    switch (s.step) {
        case Step::erase:
            std::printf("Starting Erase:");
            r = IOL_SP_Erase(slot);
            if (r != 0) {
                s.done = true;
                std::printf("Error in IOL_SP_Erase:%i\n", r);
            } else {
                s.step = Step::transfer;
                s.countdown = kCountdownTicks;
            }
            break;
        case Step::transfer:
            r = Transfer(slot, s);
            break;
        case Step::swap:
            std::printf("Swap old and new firmware:");
            r = IOL_SP_Finish(slot);
            if (r != 0) {
                s.done = true;
                std::printf("\nError in IOL_SP_Finish:%X\n", static_cast<unsigned>(r));
            } else {
                s.countdown = kCountdownTicks;
                s.step = Step::identify;
            }
            break;
        case Step::identify: {
            MasterInfo info = {};
            r = IOL_GetMasterInfo(slot, &info);
            if (r != 0) {
                std::printf("Error in IOL_GetMasterInfo:%i\n", r);
            } else {
                std::printf("New Master Version:  %s %s\n\r", info.versionText, info.editionCode);
            }
            s.done = true;
            break;
        }
    }
    IOL_Destroy(slot);
    return r;
}

}  // namespace

void UpdateMainFirmwareV2Replug(uint8_t row) {
    if (row >= kMasterRows) {
        return;
    }
    const MasterEntry& entry = masterTable.rows[row];
    const FirmwareDescriptor* descriptor = ChosenV2Image(entry.mainChoiceV2);
    if (descriptor == nullptr) {
        return;
    }
    std::printf("Current Master Version:  %s %s\n\r", entry.versionText, entry.editionCode);
    std::printf("Flashing: %s\n\r", descriptor->versionText);

    ReplugState s;
    s.at.remaining = LoadV2Image(*descriptor);

    while (!s.done) {
        int32_t r = 0;
        if (s.countdown != 0) {
            Tick(s);
        } else {
            r = StepPass(row, s);
        }
        if (r == 0 && s.countdown != 0 && !s.done) {
            Platform_SleepMs(kTickMs);
        }
    }
}
