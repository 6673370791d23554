// What the program tells beyond the specified output: its version and the carried images
// (--version), the masters and what a run would do with each (--list), and why a run writes
// nothing or what it writes (on standard error), and why a run found no master.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "link/link.h"
#include "update/update.h"

#ifndef IOLINK_PROGRAM_VERSION
#error "IOLINK_PROGRAM_VERSION must be defined by the build (the project's version)"
#endif

namespace {

// How a master's version stands to the carried one, and which option would choose it: only -s
// clears the choices of older and newer versions, and --no-downgrade keeps out an image older
// than the master's; an equal one is chosen by -m (main firmware, on by default) or -i and -a
// (IO-Link stack).
std::string Comparison(const char* what, int32_t version, int32_t carried, bool stack,
                       bool notDowngraded) {
    const std::string text = std::string(what) + " " + VersionText(version);
    if (version == carried) {
        return text + " is the version carried (" + (stack ? "-i or -a" : "-m after -s") +
               " writes it again)";
    }
    return text + (version < carried ? " is older" : " is newer") + " than the carried " +
           VersionText(carried) +
           (notDowngraded ? ", and --no-downgrade writes no older image"
                          : ", and -s cleared the choice");
}

const FirmwareDescriptor* DescriptorFor(const MasterEntry& entry, const ImageVersions& images) {
    for (const FirmwareDescriptor& descriptor : images.descriptors) {
        if (std::strncmp(entry.editionCode, descriptor.editionCode,
                         sizeof(descriptor.editionCode)) == 0) {
            return &descriptor;
        }
    }
    return nullptr;
}

// "main firmware 3.1.0 -> 3.0.10 (older than what the master runs)": a write of an older image is
// never silent. Enclosed, so that the text reads the same wherever it stands in a line.
std::string Change(const char* what, int32_t version, int32_t image) {
    return std::string(what) + " " + VersionText(version) + " -> " + VersionText(image) +
           (image < version ? " (older than what the master runs)" : "");
}

// The short cause of a failed open, as the hint for the port begins it.
std::string OpenFailureText(const ScanFailure& failure) {
    // The link could open the port but not set it up: the hint treats that as any other error.
    const SerialOpenCause cause =
        failure.createResult == IOL_ERR_CONFIGURE ? SerialOpenCause::other : failure.why.cause;
    switch (cause) {
        case SerialOpenCause::noAccess:
            return "no permission";
        case SerialOpenCause::inUse:
            return "the port is in use by another program";
        case SerialOpenCause::absent:
            return "the port is gone";
        case SerialOpenCause::none:
        case SerialOpenCause::other:
            break;
    }
    return "the port cannot be opened or set up (system error " +
           std::to_string(failure.why.error) + ")";
}

}  // namespace

std::string DescribeMaster(const MasterEntry& entry) {
    return std::string(entry.portName) + " (edition " + entry.editionCode + ", main " +
           VersionText(VersionNumber(entry.mainVersion)) + ", stack " +
           VersionText(VersionNumber(entry.stackVersion)) + ")";
}

std::string PortOptionFor(const MasterEntry& entry) {
    return std::string("--port ") + entry.portName;
}

PlannedWrites WritesOf(const MasterEntry& entry, const UpdateDecision& decision,
                       const ImageVersions& images) {
    PlannedWrites writes;
    const int32_t main = VersionNumber(entry.mainVersion);
    if (decision.mainChoiceV3 != 0) {
        writes.items[writes.count++] = {"main firmware", main, images.main3, 0};
        return writes;
    }
    if (decision.stackChoice != 0) {
        writes.items[writes.count++] = {"IO-Link stack", VersionNumber(entry.stackVersion),
                                        images.stack, 0};
    }
    if (decision.mainChoiceV2 != 0 && decision.mainChoiceV2 <= images.descriptors.size()) {
        const FirmwareDescriptor& descriptor = images.descriptors[decision.mainChoiceV2 - 1];
        writes.items[writes.count++] = {
            "main firmware", main, DescriptorVersion(descriptor),
            decision.mainVariant == 0 ? ReplugPromptCount(descriptor) : 0};
    }
    return writes;
}

std::string WhatAnUpdateWrites(const MasterEntry& entry, const UpdateDecision& decision,
                               const ImageVersions& images) {
    const PlannedWrites writes = WritesOf(entry, decision, images);
    std::string text;
    for (uint8_t i = 0; i < writes.count; ++i) {
        const PlannedWrite& write = writes.items[i];
        text += std::string(i == 0 ? "" : ", then ") + Change(write.what, write.from, write.to);
        if (write.replugPrompts != 0) {
            text += " (step by step, with " + std::to_string(write.replugPrompts) +
                    " prompts to unplug and replug the master)";
        }
    }
    return text;
}

std::string WhyNothingIsWritten(const MasterEntry& entry, const UpdateDecision& decision,
                                const ImageVersions& images) {
    const FirmwareDescriptor* descriptor = DescriptorFor(entry, images);
    if (descriptor == nullptr) {
        std::string editions;
        for (const FirmwareDescriptor& d : images.descriptors) {
            editions += std::string(editions.empty() ? "" : " or ") + d.editionCode;
        }
        return "only masters of edition " + editions + " are updated";
    }
    if (decision.tooOld) {
        return "main firmware below 2.0.0 cannot be updated: send the master in to the maker";
    }
    const int32_t main = VersionNumber(entry.mainVersion);
    if (main >= 0x30000) {
        return Comparison("main firmware", main, images.main3, false, decision.mainNotDowngraded);
    }
    return Comparison("main firmware", main, DescriptorVersion(*descriptor), false,
                      decision.mainNotDowngraded) +
           "; " +
           Comparison("IO-Link stack", VersionNumber(entry.stackVersion), images.stack, true,
                      decision.stackNotDowngraded);
}

std::string WhyNoMasterWasFound(const ScanFailures& failures) {
    std::string why;
    for (uint8_t i = 0; i < failures.count && i < failures.rows.size(); ++i) {
        const ScanFailure& failure = failures.rows[i];
        // As for the hint: only a port that could not be opened or set up has a cause to tell.
        if (failure.createResult == IOL_ERR_OPEN || failure.createResult == IOL_ERR_CONFIGURE) {
            why += std::string(why.empty() ? "" : "; ") + "cannot open " + failure.portName + ": " +
                   OpenFailureText(failure);
        }
    }
    return why.empty() ? "no master found" : why;
}

void PrintVersion(const ImageVersions& images, bool placeholders,
                  PlaceholderWrites placeholderWrites) {
    Console_Print("iolink-update %s\n", IOLINK_PROGRAM_VERSION);
    Console_Print("main firmware for masters on 3.x: %s\n", VersionText(images.main3).c_str());
    for (const FirmwareDescriptor& descriptor : images.descriptors) {
        Console_Print("main firmware for masters on 2.x: %s (edition %.*s)\n",
                      VersionText(DescriptorVersion(descriptor)).c_str(),
                      static_cast<int>(sizeof(descriptor.editionCode)), descriptor.editionCode);
    }
    Console_Print("IO-Link stack: %s\n", VersionText(images.stack).c_str());
    if (placeholders && placeholderWrites == PlaceholderWrites::allowed) {
        Console_Print(
            "placeholder images: this build carries synthetic placeholder images, not firmware, "
            "and WRITES them into masters (a test build, for virtual masters only)\n");
    } else if (placeholders) {
        Console_Print(
            "placeholder images: this build carries synthetic placeholder images, not firmware, "
            "and writes nothing into masters\n");
    }
}

std::array<MasterOutlook, kMasterRows> MasterOutlooks(const MasterTable& table,
                                                      const UpdateOptions& options,
                                                      const ImageVersions& images,
                                                      bool refusedBuild) {
    std::array<MasterOutlook, kMasterRows> outlooks{};
    unsigned qualifying = 0;
    for (uint8_t row = 0; row < table.masterCount && row < kMasterRows; ++row) {
        outlooks[row].decision = DecideUpdate(table.rows[row], options, images);
        qualifying += ChoosesAnUpdate(outlooks[row].decision) ? 1 : 0;
    }
    for (uint8_t row = 0; row < table.masterCount && row < kMasterRows; ++row) {
        const MasterEntry& entry = table.rows[row];
        MasterOutlook& outlook = outlooks[row];
        const UpdateDecision& d = outlook.decision;
        if (!ChoosesAnUpdate(d)) {
            outlook.why = WhyNothingIsWritten(entry, d, images);
        } else if (qualifying > 1) {
            outlook.why = std::to_string(qualifying) +
                          " masters qualify, name the one to update with " + PortOptionFor(entry) +
                          " (it would write " + WhatAnUpdateWrites(entry, d, images) + ")";
        } else if (refusedBuild) {
            outlook.why = "this build carries placeholder images (it would write " +
                          WhatAnUpdateWrites(entry, d, images) + ")";
        } else {
            outlook.writes = true;
        }
    }
    return outlooks;
}

void PrintMasterList(const UpdateOptions& options, const ImageVersions& images, bool refusedBuild) {
    if (masterTable.masterCount == 0) {
        Console_Print("No USB IO-Link Master found.\n");
        return;
    }
    const std::array<MasterOutlook, kMasterRows> outlooks =
        MasterOutlooks(masterTable, options, images, refusedBuild);
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        const MasterEntry& entry = masterTable.rows[row];
        const MasterOutlook& outlook = outlooks[row];
        const std::string action =
            outlook.writes ? "would write " + WhatAnUpdateWrites(entry, outlook.decision, images)
                           : "would write nothing: " + outlook.why;
        // The serial number and USB location tell two masters of one kind apart.
        Console_Print("%s  serial %s  usb %s  edition %s  main %s  stack %s  %s\n", entry.portName,
                      entry.usb.serialNumber[0] != '\0' ? entry.usb.serialNumber : "none",
                      entry.usb.location[0] != '\0' ? entry.usb.location : "unknown",
                      entry.editionCode, VersionText(VersionNumber(entry.mainVersion)).c_str(),
                      VersionText(VersionNumber(entry.stackVersion)).c_str(), action.c_str());
    }
}
