// The virtual master's device model: what the master remembers (identity, mode, the two boot
// loaders and their flash) and one built-in handler per request frame type. The handlers are
// plain functions over plain records, with no I/O and no threads: the serving side in
// virtual_master.cpp calls them under its lock, sends the response they build and plays the
// events and the restart they ask for.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/virtual_master.h"

constexpr uint32_t kVmWindow3Base = 0xFFFE0000u;
constexpr uint32_t kVmWindow3Size = 0x20000u;
constexpr uint32_t kVmWindow2Size = 0x10000u;
constexpr uint32_t kVmStackSize = 0xFFFFu;  // addresses 0x0000..0xFFFE
constexpr uint32_t kVmStackIdAddress = 0x3FBF8u;
constexpr uint32_t kVmBlockLimit = 8192u;

constexpr uint8_t kVmEventVerdict = 0x49;
constexpr uint8_t kVmEventBusy = 0x22;
constexpr uint8_t kVmVerdictFailure = 0xC0;

struct VmPendingWrite {
    uint32_t offset = 0;
    Bytes data;
};

struct VmDevice {
    VmIdentity identity;
    std::optional<VmIdentity> identityAfterUpdate;

    VmDownload main;
    uint32_t committedEnd = 0;  // window offset where the committed data ends
    std::vector<VmPendingWrite> pending;
    Bytes flash3 = Bytes(kVmWindow3Size, 0xFF);
    Bytes flash2 = Bytes(kVmWindow2Size, 0xFF);

    VmStackDownload stack;
    Bytes stackFlash = Bytes(kVmStackSize, 0xFF);
    Bytes stackId;

    std::vector<VmViolation> violations;
};

// What one request asks of the serving side.
struct VmOutcome {
    Bytes response;         // empty: no answer
    bool verdict = false;   // send a verdict event for operation `verdictOf`...
    bool verdictOk = true;  // ... reporting success or failure
    uint8_t verdictOf = 0;
    bool restart = false;  // restart after the verdict (successful finish)
};

// `failVerdict`: the fault table asks this erase/block/finish to fail.
using VmBuiltin = void (*)(VmDevice& device, const Bytes& request, bool failVerdict,
                           VmOutcome& out);

// The built-in handler of a frame type, or nullptr when the device does not serve it.
VmBuiltin Device_Builtin(uint8_t type);

// The response of `type` with every value 0 except the status (byte 5): what a refusal looks
// like, used by the status fault.
Bytes Device_StatusResponse(uint8_t type, const Bytes& request, uint8_t status);

// A 12-byte (or, with length below 12, cut short) port event frame.
Bytes Device_PortEvent(uint8_t port, const uint8_t data[5], uint16_t code, uint8_t length = 12);

// Power loss (unplug): uncommitted writes are lost and the boot loader needs a new
// InitDownload; everything else, flash and download progress included, is kept.
void Device_PowerDown(VmDevice& device);
// Power-up (replug): boot mode while a main download is in progress. `afterRestart`: coming
// back from the restart after a successful finish, with the new identity.
void Device_PowerUp(VmDevice& device, bool afterRestart);
