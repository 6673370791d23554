// The discovery scan: every attached master that opens and identifies itself gets a row.
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/copy_text.h"
#include "link/link.h"
#include "platform/platform.h"
#include "services/services.h"
#include "update/update.h"

ScanFailures scanFailures{};

namespace {

constexpr const char* kMasterHardwareId = "VID_6F3A&PID_0202";

}  // namespace

// Cuts the port name out of a friendly name such as "IO-Link USB Master (ttyACM0)": it starts
// after the "(" of the platform's marker ("(COM" or "(tty") and ends before the next ")", which
// is overwritten with the terminator. A name without the marker or without the ")" yields
// nullptr, and the scan passes over that port without a message: it cannot be opened by name.
char* TakePortName(char* friendlyName) {
    char* marker = std::strstr(friendlyName, Platform_PortNameMarker());
    if (marker == nullptr) {
        return nullptr;
    }
    char* name = marker + 1;
    char* close = std::strchr(name, ')');
    if (close == nullptr) {
        return nullptr;
    }
    *close = '\0';
    return name;
}

namespace {

void FillRow(MasterEntry& row, const char* portName, const MasterInfo& info) {
    CopyText(row.portName, portName);
    // The record's texts are bounded by their own fields; copy no further than those.
    CopyText(row.editionCode, info.editionCode, sizeof(info.editionCode));
    CopyText(row.versionText, info.versionText, sizeof(info.versionText));
    for (int i = 0; i < 3; ++i) {
        row.mainVersion[i] = static_cast<int8_t>(info.mainVersion[i]);
        row.stackVersion[i] = static_cast<int8_t>(info.stackVersion[i]);
    }
}

}  // namespace

void ScanMasters() {
    scanFailures.count = 0;
    PortEntry ports[kScanPorts] = {};
    const int32_t found = FindDevicePorts(ports, kScanPorts, kMasterHardwareId, 0);
    MasterInfo info = {};
    for (int32_t i = 0; i < found && i < kScanPorts; ++i) {
        if (Stop_Requested()) {
            break;
        }
        const char* name = TakePortName(ports[i].friendlyName);
        // A name longer than portName holds is passed over like a port that cannot be opened
        // (the link refuses it too); it is never cut short into the name of another port.
        if (name == nullptr || std::strlen(name) >= kMasterPortNameSize) {
            continue;
        }
        SerialOpenFailure why{};
        const int32_t slot = IOL_CreateWithCause(name, &why);
        if (slot <= 0) {
            // Standard output says nothing of the port; the caller may tell the operator why.
            if (scanFailures.count < scanFailures.rows.size()) {
                ScanFailure& failure = scanFailures.rows[scanFailures.count++];
                CopyText(failure.portName, name);
                failure.createResult = slot;
                failure.why = why;
            }
            continue;
        }
        std::printf("%s found, try to get information\n", name);
        if (IOL_GetMasterInfo(slot, &info) == IOL_OK) {
            if (masterTable.masterCount < kMasterRows) {
                FillRow(masterTable.rows[masterTable.masterCount], name, info);
                ++masterTable.masterCount;
            } else {
                // The table has five rows; a further master is left out, and said so, rather
                // than written beyond the table.
                std::printf("%s not listed: no more than %u masters can be handled\n", name,
                            static_cast<unsigned>(kMasterRows));
            }
        }
        IOL_Destroy(slot);
    }
}
