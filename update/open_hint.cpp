// The operator's hint on standard error when a master's port cannot be opened: why (as the open
// recorded it) and what to do. Standard output is not touched. The run (for the ports its first
// scan could not open) and the update procedures print it; the text lives here, below both.
#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "platform/platform.h"
#include "update/update.h"

void PrintOpenHint(const char* portName, int32_t createResult, const SerialOpenFailure& why) {
    if (createResult != IOL_ERR_OPEN && createResult != IOL_ERR_CONFIGURE) {
        return;
    }
    const SerialOpenCause cause =
        createResult == IOL_ERR_CONFIGURE ? SerialOpenCause::other : why.cause;

    switch (cause) {
        case SerialOpenCause::noAccess:
            // A user already in the node's group was refused because the node is not yet open
            // to the group (udev made it a moment ago): joining the group would not help.
            if (why.group[0] != '\0' && std::strcmp(why.group, "root") != 0 && !why.userInGroup) {
                Console_Tell(
                    "cannot open %s: no permission (the device belongs to "
                    "group %s). Add your user to that group (sudo usermod -aG %s $USER, "
                    "then log in again) or install the udev rule 70-iolink-update.rules "
                    "(see man iolink-update).",
                    portName, why.group, why.group);
            } else {
                // A node that udev has only just made (root:root 0600) gets its group a moment
                // later; without the rule it may never be the user's.
                Console_Tell(
                    "cannot open %s: no permission (the device is not yet "
                    "open to users). Wait a moment and run the updater again; if this "
                    "stays, install the udev rule 70-iolink-update.rules (see man "
                    "iolink-update).",
                    portName);
            }
            break;
        case SerialOpenCause::inUse:
            Console_Tell(
                "cannot open %s: the port is in use by another program (a "
                "terminal program, a modem manager or another updater). Close it and run "
                "the updater again.",
                portName);
            break;
        case SerialOpenCause::absent:
            Console_Tell(
                "cannot open %s: the port is gone (the master was "
                "unplugged, or the system is still setting it up). Plug it in, wait a "
                "moment and run the updater again.",
                portName);
            break;
        case SerialOpenCause::none:
        case SerialOpenCause::other:
            Console_Tell(
                "cannot open %s: the port cannot be opened or set up for "
                "the master (system error %u).",
                portName, static_cast<unsigned>(why.error));
            break;
    }
}

void PrintScanHints(const ScanFailures& failures) {
    for (uint8_t i = 0; i < failures.count && i < failures.rows.size(); ++i) {
        const ScanFailure& failure = failures.rows[i];
        PrintOpenHint(failure.portName, failure.createResult, failure.why);
    }
}
