// The run sequence: parse, scan, select, report, and at most one dispatch.
#include <cstdio>
#include <iostream>

#include "app/app.h"
#include "images/images.h"
#include "link/link.h"
#include "update/update.h"

namespace {

bool AnyChoice(const MasterEntry& entry) {
    return entry.mainChoiceV2 != 0 || entry.stackChoice != 0 || entry.mainChoiceV3 != 0;
}

void ListMasters() {
    std::printf("Found %u USB IO-Link Master. Only one is updateable by this program.\n\r",
                static_cast<unsigned>(masterTable.masterCount));
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        const MasterEntry& entry = masterTable.rows[row];
        std::printf(
            AnyChoice(entry) ? "-> %s Edition (%s) on %s\n\r" : "   %s Edition (%s) on %s\n\r",
            entry.editionName, entry.versionText, entry.portName);
    }
}

uint8_t ChosenRow() {
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        if (AnyChoice(masterTable.rows[row])) {
            return row;
        }
    }
    return 0;
}

// Runs every chosen update of the row, in the fixed order, whatever the step before achieved.
void Dispatch(uint8_t row) {
    if (masterTable.rows[row].mainChoiceV3 != 0) {
        UpdateMainFirmwareV3(row);
    }
    if (masterTable.rows[row].stackChoice != 0) {
        UpdateStack(row);
    }
    if (masterTable.rows[row].mainChoiceV2 != 0) {
        if (masterTable.rows[row].mainVariant == 0) {
            UpdateMainFirmwareV2Replug(row);
        } else {
            UpdateMainFirmwareV2(row);
        }
    }
}

}  // namespace

int RunUpdater(int argc, const char* const* argv, PlaceholderWrites placeholderWrites) {
    // Progress marks are printed without a line end: standard output is unbuffered so that the
    // operator sees each one as it happens. The standard stream stays synchronised with it, so
    // text of both channels reaches the output in the order written.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::ios::sync_with_stdio(true);

    if (ParseCommandLine(argc, argv)) {
        return 0;
    }
    IOL_LibraryAttach();
    ScanMasters();
    if (masterTable.masterCount == 0) {
        std::cout << "No USB IO-Link Master found. Exiting..." << std::endl;
    } else {
        for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
            SelectUpdate(row);
            SetEditionName(row);
        }
        if (masterTable.updateableCount == 0) {
            std::cout << "No Updateable USB Master Found..." << std::endl;
        } else if (masterTable.updateableCount > 1) {
            std::printf("Please connect only one master for update:\n\r");
        } else {
            ListMasters();
            // Placeholder images are data of the right shape, not firmware: unless the build
            // allows it, they never reach a device. Nothing is sent to the master beyond the
            // scan's identification.
            if (imagesArePlaceholders && placeholderWrites != PlaceholderWrites::allowed) {
                std::printf("%s", kPlaceholderRefusal);
            } else {
                Dispatch(ChosenRow());
            }
        }
    }
    std::printf("\n");
    IOL_LibraryDetach();
    return 0;
}
