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
// A step pass (open, download start, the step, close) takes a few seconds at most: a transfer is
// 128 writes of about 10 ms.
constexpr uint32_t kMsPerPass = 2000;

constexpr const char* kPartial =
    "the master holds a partial download, which it keeps across unplugging: run the program "
    "again at the master to finish it.";
constexpr const char* kSwapped =
    "the new firmware is written and swapped. Check it with iolink-update --list.";

struct ReplugState {
    Step step = Step::erase;
    int32_t countdown = 0;
    bool done = false;
    ImageCursor at;  // carries over from one Transfer pass to the next; addresses below 0x10000
};

// What the master holds before a step pass of this step.
const char* StateBefore(Step step) {
    switch (step) {
        case Step::erase:
            return kMasterUnchanged;
        case Step::transfer:
        case Step::swap:
            return kPartial;
        case Step::identify:
            break;
    }
    return kSwapped;
}

// One countdown tick; the last one asks for the replug and waits for a key. Only a key answers
// the prompt: at the end of standard input, a read error or a stop request (Ctrl-C) the
// procedure ends here, with nothing more sent to the master.
void Tick(ReplugState& s) {
    Console_Print("w");
    --s.countdown;
    if (s.countdown == 0) {
        Console_Print("\n");
        Console_Print(
            "Please disconnect the USB master and connect it back to the PC. Press any key if you "
            "are ready");
        const int key = Platform_ReadKey();
        if (key < 0) {
            s.done = true;
            const char* where =
                key == kKeyStopRequested ? "at the replug prompt"
                : key == kKeyEndOfInput
                    ? "at the replug prompt: standard input ended, nobody is there to replug the "
                      "master"
                    : "at the replug prompt: standard input cannot be read, nobody can answer the "
                      "prompt";
            UpdateReport_Set(mainReport, ProcedureEnd::stopped, where, StateBefore(s.step));
            return;
        }
        Console_Print("\n");
    }
}

int32_t Transfer(int32_t slot, ReplugState& s) {
    Console_Print("Begin transfer for adress:%4X", static_cast<unsigned>(s.at.address & 0xFFFF));
    // The failure messages follow progress text on the same line: they begin with a line end.
    int32_t r = WriteImageChunks(slot, kFormatShortAddress, s.at, "\n");
    if (r != 0) {
        s.done = true;
    } else {
        Console_Print("Writing Block:");
        uint8_t out1[4] = {};
        uint8_t out2[4] = {};
        r = IOL_SP_WriteBlock(slot, out1, out2);
        if (r != 0) {
            s.done = true;
            Console_Print("\nError in IOL_SP_WriteBlock:%X\n", static_cast<unsigned>(r));
        } else {
            s.countdown = kCountdownTicks;
            if (s.at.remaining == 0) {
                s.step = Step::swap;
            }
        }
    }
    return r;
}

// The text of a step, for the report.
const char* StepText(Step step, bool before) {
    switch (step) {
        case Step::erase:
            return before ? "before the erase" : "at the erase";
        case Step::transfer:
            return before ? "before the next transfer" : "at a transfer";
        case Step::swap:
            return before ? "before the swap" : "at the swap";
        case Step::identify:
            break;
    }
    return before ? "before the identification" : "at the identification";
}

// One step on a link of its own: open, start a download, perform the step, close. The whole
// pass finishes once started; the stop request it may meet is announced and waits for its end.
int32_t StepPass(uint8_t row, ReplugState& s) {
    const Step step = s.step;
    SerialOpenFailure why{};
    const int32_t slot = IOL_CreateWithCause(masterTable.rows[row].portName, &why);
    if (slot < 0) {
        s.done = true;
        Console_Print("Error in IOL_Create:%i\n", slot);
        PrintOpenHint(masterTable.rows[row].portName, slot, why);
        UpdateReport_Set(mainReport, ProcedureEnd::failed, StepText(step, false),
                         StateBefore(step));
        return 0;
    }
    // Nothing of the step is sent yet: a stop requested while the port opened ends the procedure
    // here rather than after the whole step.
    if (Stop_Requested()) {
        s.done = true;
        IOL_Destroy(slot);
        UpdateReport_Set(mainReport, ProcedureEnd::stopped, StepText(step, true),
                         StateBefore(step));
        return 0;
    }
    const CriticalPhase phase("a step of the update is being sent to the master", "step", 1,
                              kMsPerPass, 0);
    uint8_t out1[4] = {};
    uint8_t out2[4] = {};
    int32_t r = IOL_SP_InitDownload(slot, out1, out2, kFormatShortAddress);
    if (r != 0) {
        s.done = true;
        Console_Print("Error in IOL_SP_InitDownload:%i\n", r);
        IOL_Destroy(slot);
        UpdateReport_Set(mainReport, ProcedureEnd::failed, StepText(step, false),
                         StateBefore(step));
        return r;
    }
    switch (s.step) {
        case Step::erase:
            Console_Print("Starting Erase:");
            r = IOL_SP_Erase(slot);
            if (r != 0) {
                s.done = true;
                Console_Print("Error in IOL_SP_Erase:%i\n", r);
            } else {
                s.step = Step::transfer;
                s.countdown = kCountdownTicks;
            }
            break;
        case Step::transfer:
            r = Transfer(slot, s);
            break;
        case Step::swap:
            Console_Print("Swap old and new firmware:");
            r = IOL_SP_Finish(slot);
            if (r != 0) {
                s.done = true;
                Console_Print("\nError in IOL_SP_Finish:%X\n", static_cast<unsigned>(r));
            } else {
                s.countdown = kCountdownTicks;
                s.step = Step::identify;
            }
            break;
        case Step::identify: {
            MasterInfo info = {};
            r = IOL_GetMasterInfo(slot, &info);
            // The swap was accepted before this pass: the firmware is written either way.
            UpdateReport_Set(mainReport, ProcedureEnd::written, "", kSwapped);
            if (r != 0) {
                Console_Print("Error in IOL_GetMasterInfo:%i\n", r);
            } else {
                Console_Print("New Master Version:  %s %s\n\r", info.versionText, info.editionCode);
                mainReport.identified = true;
                mainReport.info = info;
            }
            s.done = true;
            break;
        }
    }
    IOL_Destroy(slot);
    if (r != 0 && step != Step::identify) {
        // Once the erase has been asked for, the master's flash is no longer what it was.
        UpdateReport_Set(mainReport,
                         r == kStoppedAtOnce ? ProcedureEnd::stopped : ProcedureEnd::failed,
                         StepText(step, false), kPartial);
    }
    return r;
}

}  // namespace

// Every step pass (the erase, the transfers, the swap, the identification), and the countdown
// before each prompt.
uint32_t ExpectedMsReplug(const FirmwareDescriptor& descriptor) {
    return (ReplugTransferCount(descriptor) + 3) * kMsPerPass +
           ReplugPromptCount(descriptor) * static_cast<uint32_t>(kCountdownTicks) * kTickMs;
}

void UpdateMainFirmwareV2Replug(uint8_t row) {
    if (row >= kMasterRows) {
        return;
    }
    mainReport = UpdateReport{};
    const MasterEntry& entry = masterTable.rows[row];
    const FirmwareDescriptor* descriptor = ChosenV2Image(entry.mainChoiceV2);
    if (descriptor == nullptr) {
        return;
    }
    Console_Print("Current Master Version:  %s %s\n\r", entry.versionText, entry.editionCode);
    Console_Print("Flashing: %s\n\r", descriptor->versionText);

    ReplugState s;
    s.at.remaining = LoadV2Image(*descriptor);

    while (!s.done) {
        int32_t r = 0;
        if (Stop_Requested()) {
            // Between step passes: the ticks and the prompt are no flash phase.
            s.done = true;
            UpdateReport_Set(mainReport, ProcedureEnd::stopped, StepText(s.step, true),
                             StateBefore(s.step));
        } else if (s.countdown != 0) {
            Tick(s);
        } else {
            r = StepPass(row, s);
        }
        if (r == 0 && s.countdown != 0 && !s.done) {
            Platform_SleepMs(kTickMs);
        }
    }
}
