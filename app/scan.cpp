// The discovery scan: every attached master that opens and identifies itself gets a row. With
// --port it opens the named master's port and no other, and while that master restarts, only the
// port of its USB identity.
#include <cstring>
#include <string>

#include "app/app.h"
#include "app/copy_text.h"
#include "link/link.h"
#include "platform/platform.h"
#include "services/services.h"
#include "update/update.h"

ScanSelection scanSelection{};

namespace {

constexpr const char* kMasterHardwareId = "VID_6F3A&PID_0202";

// The port name of a found port (cut from a copy of its friendly name), or "" when it has none
// that the link could open.
std::string PortNameOf(const PortEntry& entry) {
    char friendlyName[sizeof(entry.friendlyName)];
    std::memcpy(friendlyName, entry.friendlyName, sizeof(friendlyName));
    friendlyName[sizeof(friendlyName) - 1] = '\0';
    const char* name = TakePortName(friendlyName);
    if (name == nullptr || std::strlen(name) >= kMasterPortNameSize) {
        return {};
    }
    return name;
}

void FillRow(MasterEntry& row, const char* portName, const UsbIdentity& usb,
             const MasterInfo& info) {
    CopyText(row.portName, portName);
    row.usb = usb;
    // The record's texts are bounded by their own fields; copy no further than those.
    CopyText(row.editionCode, info.editionCode, sizeof(info.editionCode));
    CopyText(row.versionText, info.versionText, sizeof(info.versionText));
    for (int i = 0; i < 3; ++i) {
        row.mainVersion[i] = static_cast<int8_t>(info.mainVersion[i]);
        row.stackVersion[i] = static_cast<int8_t>(info.stackVersion[i]);
    }
}

// The attached masters' ports, as the port search lists them.
int32_t FindMasterPorts(PortEntry (&ports)[kScanPorts]) {
    return FindDevicePorts(ports, kScanPorts, kMasterHardwareId, 0);
}

// Which of the found ports the scan may open: all of them, the one named, or the followed master's
// (found among all of them by its USB identity, so that a master with the same serial number
// elsewhere is told apart by its location).
void MarkSelected(const PortEntry (&ports)[kScanPorts], int32_t found,
                  bool (&selected)[kScanPorts]) {
    std::string names[kScanPorts];
    UsbIdentity usb[kScanPorts] = {};
    FollowCandidate candidates[kScanPorts] = {};
    for (int32_t i = 0; i < found; ++i) {
        names[i] = PortNameOf(ports[i]);
        usb[i] = UsbIdentityOf(ports[i]);
        candidates[i] = FollowCandidate{&usb[i], names[i].c_str()};
        selected[i] = scanSelection.scope == ScanScope::allMasters ||
                      (scanSelection.scope == ScanScope::onePort && !names[i].empty() &&
                       names[i] == scanSelection.portName);
    }
    if (scanSelection.scope == ScanScope::followedMaster) {
        const int32_t followed =
            FindFollowedMaster(candidates, found, scanSelection.usb, scanSelection.portName);
        if (followed >= 0) {
            selected[followed] = true;
        }
    }
}

// "ttyACM0 (serial VM1)", "ttyACM1 (no serial number)".
std::string PortWithSerial(const std::string& name, const PortEntry& entry) {
    return name + (entry.serialNumber[0] != '\0'
                       ? " (serial " + std::string(entry.serialNumber) + ")"
                       : std::string(" (no serial number)"));
}

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

PortMatch SelectNamedPort(const char* name, std::string* found) {
    PortEntry ports[kScanPorts] = {};
    const int32_t count = FindMasterPorts(ports);
    std::string all;
    std::string named;
    int32_t matches = 0;
    std::string match;
    for (int32_t i = 0; i < count && i < kScanPorts; ++i) {
        const std::string port = PortNameOf(ports[i]);
        if (port.empty()) {
            continue;
        }
        all += (all.empty() ? "" : ", ") + PortWithSerial(port, ports[i]);
        const bool serial =
            ports[i].serialNumber[0] != '\0' && Platform_SameName(name, ports[i].serialNumber);
        if (Platform_SameName(name, port.c_str()) || Platform_PathLeadsToPort(name, port.c_str()) ||
            serial) {
            ++matches;
            match = port;
            named += (named.empty() ? "" : ", ") + PortWithSerial(port, ports[i]);
        }
    }
    if (matches == 1) {
        scanSelection = ScanSelection{ScanScope::onePort, {}, {}};
        CopyText(scanSelection.portName, match.c_str());
        *found = named;
        return PortMatch::one;
    }
    *found = matches == 0 ? (all.empty() ? std::string("none") : all) : named;
    return matches == 0 ? PortMatch::none : PortMatch::several;
}

void FollowMaster(const MasterEntry& entry) {
    scanSelection = ScanSelection{ScanScope::followedMaster, {}, entry.usb};
    CopyText(scanSelection.portName, entry.portName);
}

void ScanMasters(ScanFailures* failures) {
    if (failures != nullptr) {
        failures->count = 0;
    }
    PortEntry ports[kScanPorts] = {};
    const int32_t found = FindMasterPorts(ports);
    bool selected[kScanPorts] = {};
    MarkSelected(ports, found, selected);
    MasterInfo info = {};
    for (int32_t i = 0; i < found && i < kScanPorts; ++i) {
        if (Stop_Requested()) {
            break;
        }
        if (!selected[i]) {
            continue;
        }
        const UsbIdentity usb = UsbIdentityOf(ports[i]);
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
            if (failures != nullptr && failures->count < failures->rows.size()) {
                ScanFailure& failure = failures->rows[failures->count++];
                CopyText(failure.portName, name);
                failure.createResult = slot;
                failure.why = why;
            }
            continue;
        }
        Console_Print("%s found, try to get information\n", name);
        if (IOL_GetMasterInfo(slot, &info) == IOL_OK) {
            if (masterTable.masterCount < kMasterRows) {
                FillRow(masterTable.rows[masterTable.masterCount], name, usb, info);
                ++masterTable.masterCount;
            } else {
                // The table has five rows; a further master is left out, and said so, rather
                // than written beyond the table.
                Console_Print("%s not listed: no more than %u masters can be handled\n", name,
                              static_cast<unsigned>(kMasterRows));
            }
        }
        IOL_Destroy(slot);
    }
}
