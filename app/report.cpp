// What the program tells beyond the specified output: its version and the carried images
// (--version), the masters and what a run would do with each (--list), and why a run writes
// nothing or what it writes (on standard error).
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app.h"
#include "update/update.h"

#ifndef IOLINK_PROGRAM_VERSION
#error "IOLINK_PROGRAM_VERSION must be defined by the build (the project's version)"
#endif

namespace {

bool Chooses(const UpdateDecision& d) {
    return d.stackChoice != 0 || d.mainChoiceV2 != 0 || d.mainChoiceV3 != 0;
}

// How a master's version stands to the carried one, and which option would choose it: only -s
// clears the choices of older and newer versions; an equal one is chosen by -m (main firmware,
// on by default) or -i and -a (IO-Link stack).
std::string Comparison(const char* what, int32_t version, int32_t carried, bool stack) {
    const std::string text = std::string(what) + " " + VersionText(version);
    if (version == carried) {
        return text + " is the version carried (" + (stack ? "-i or -a" : "-m after -s") +
               " writes it again)";
    }
    return text + (version < carried ? " is older" : " is newer") + " than the carried " +
           VersionText(carried) + ", and -s cleared the choice";
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

}  // namespace

std::string DescribeMaster(const MasterEntry& entry) {
    return std::string(entry.portName) + " (edition " + entry.editionCode + ", main " +
           VersionText(VersionNumber(entry.mainVersion)) + ", stack " +
           VersionText(VersionNumber(entry.stackVersion)) + ")";
}

std::string WhatAnUpdateWrites(const MasterEntry& entry, const UpdateDecision& decision,
                               const ImageVersions& images) {
    const std::string main = VersionText(VersionNumber(entry.mainVersion));
    if (decision.mainChoiceV3 != 0) {
        return "main firmware " + main + " -> " + VersionText(images.main3);
    }
    std::string text;
    if (decision.stackChoice != 0) {
        text = "IO-Link stack " + VersionText(VersionNumber(entry.stackVersion)) + " -> " +
               VersionText(images.stack);
    }
    if (decision.mainChoiceV2 != 0 && decision.mainChoiceV2 <= images.descriptors.size()) {
        const FirmwareDescriptor& descriptor = images.descriptors[decision.mainChoiceV2 - 1];
        text += std::string(text.empty() ? "" : ", then ") + "main firmware " + main + " -> " +
                VersionText(DescriptorVersion(descriptor));
        if (decision.mainVariant == 0) {
            text += " (step by step, with " + std::to_string(ReplugPromptCount(descriptor)) +
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
        return Comparison("main firmware", main, images.main3, false);
    }
    return Comparison("main firmware", main, DescriptorVersion(*descriptor), false) + "; " +
           Comparison("IO-Link stack", VersionNumber(entry.stackVersion), images.stack, true);
}

void PrintVersion(const ImageVersions& images, bool placeholders,
                  PlaceholderWrites placeholderWrites) {
    std::printf("iolink-update %s\n", IOLINK_PROGRAM_VERSION);
    std::printf("main firmware for masters on 3.x: %s\n", VersionText(images.main3).c_str());
    for (const FirmwareDescriptor& descriptor : images.descriptors) {
        std::printf("main firmware for masters on 2.x: %s (edition %.*s)\n",
                    VersionText(DescriptorVersion(descriptor)).c_str(),
                    static_cast<int>(sizeof(descriptor.editionCode)), descriptor.editionCode);
    }
    std::printf("IO-Link stack: %s\n", VersionText(images.stack).c_str());
    if (placeholders && placeholderWrites == PlaceholderWrites::allowed) {
        std::printf(
            "placeholder images: this build carries synthetic placeholder images, not firmware, "
            "and WRITES them into masters (a test build, for virtual masters only)\n");
    } else if (placeholders) {
        std::printf(
            "placeholder images: this build carries synthetic placeholder images, not firmware, "
            "and writes nothing into masters\n");
    }
}

void PrintMasterList(const UpdateOptions& options, const ImageVersions& images, bool refusedBuild) {
    if (masterTable.masterCount == 0) {
        std::printf("No USB IO-Link Master found.\n");
        return;
    }
    UpdateDecision decisions[kMasterRows] = {};
    unsigned qualifying = 0;
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        decisions[row] = DecideUpdate(masterTable.rows[row], options, images);
        qualifying += Chooses(decisions[row]) ? 1 : 0;
    }
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        const MasterEntry& entry = masterTable.rows[row];
        const UpdateDecision& d = decisions[row];
        std::string action;
        if (!Chooses(d)) {
            action = "would write nothing: " + WhyNothingIsWritten(entry, d, images);
        } else if (qualifying > 1) {
            action = "would write nothing: " + std::to_string(qualifying) +
                     " masters qualify, connect only the one to update (it would write " +
                     WhatAnUpdateWrites(entry, d, images) + ")";
        } else if (refusedBuild) {
            action = "would write nothing: this build carries placeholder images (it would write " +
                     WhatAnUpdateWrites(entry, d, images) + ")";
        } else {
            action = "would write " + WhatAnUpdateWrites(entry, d, images);
        }
        std::printf("%s  edition %s  main %s  stack %s  %s\n", entry.portName, entry.editionCode,
                    VersionText(VersionNumber(entry.mainVersion)).c_str(),
                    VersionText(VersionNumber(entry.stackVersion)).c_str(), action.c_str());
    }
}
