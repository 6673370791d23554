// The inventory of identified masters and the decision which update applies to each.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/app.h"
#include "app/copy_text.h"
#include "images/images.h"

MasterTable masterTable{};

namespace {

constexpr int32_t kLowestUpdateable = 0x20000;  // 2.0.0
constexpr int32_t kFirstPlainV2 = 0x2000A;      // 2.0.10
constexpr int32_t kFirstV3 = 0x30000;           // 3.0.0

// Compares a version with a reference under the three flags of one kind of update. A version
// newer than the reference means writing an image older than what the master runs: under
// --no-downgrade it is never chosen, and *notDowngraded tells that the flags would have chosen it.
bool Chosen(int32_t version, int32_t reference, uint8_t ifOlder, uint8_t ifSame, uint8_t ifNewer,
            uint8_t noDowngrade, bool* notDowngraded) {
    const bool newer = version > reference && ifNewer != 0;
    if (newer && noDowngrade != 0) {
        *notDowngraded = true;
        return false;
    }
    return (version < reference && ifOlder != 0) || (version == reference && ifSame != 0) || newer;
}

void PrintTooOldNotice() {
    std::cout << "Error your Master is too old (<1.1.0) for updates." << std::endl;
    std::cout << "Please send it in to Norvik GmbH:" << std::endl << std::endl;
    std::cout << "Norvik GmbH" << std::endl;
    std::cout << "Kanalweg 27" << std::endl;
    std::cout << "31847 Osterfelde" << std::endl;
}

}  // namespace

UpdateDecision DecisionOf(const MasterEntry& entry) {
    return UpdateDecision{entry.stackChoice,
                          entry.mainChoiceV2,
                          entry.mainChoiceV3,
                          entry.mainVariant,
                          false,
                          false,
                          false};
}

bool ChoosesAnUpdate(const UpdateDecision& decision) {
    return decision.mainChoiceV2 != 0 || decision.stackChoice != 0 || decision.mainChoiceV3 != 0;
}

int32_t DescriptorVersion(const FirmwareDescriptor& descriptor) {
    return VersionNumber(descriptor.version);
}

int32_t VersionNumber(const int8_t v[3]) {
    return (static_cast<int32_t>(v[0]) * 256 + v[1]) * 256 + v[2];
}

int32_t VersionNumber(const uint8_t v[3]) {
    const int8_t bytes[3] = {static_cast<int8_t>(v[0]), static_cast<int8_t>(v[1]),
                             static_cast<int8_t>(v[2])};
    return VersionNumber(bytes);
}

std::string VersionText(int32_t version) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d", static_cast<int>(version >> 16),
                  static_cast<int>((version >> 8) & 0xFF), static_cast<int>(version & 0xFF));
    return text;
}

ImageVersions CarriedImages() {
    return ImageVersions{GetStackImageVersion(), GetMain3ImageVersion(), firmwareDescriptors};
}

UpdateDecision DecideUpdate(const MasterEntry& entry, const UpdateOptions& o,
                            const ImageVersions& images) {
    UpdateDecision decision{};
    for (size_t d = 0; d < images.descriptors.size(); ++d) {
        const FirmwareDescriptor& descriptor = images.descriptors[d];
        const auto position = static_cast<uint8_t>(d + 1);
        if (std::strncmp(entry.editionCode, descriptor.editionCode,
                         sizeof(descriptor.editionCode)) != 0) {
            continue;
        }
        const int32_t main = VersionNumber(entry.mainVersion);
        const int32_t stack = VersionNumber(entry.stackVersion);
        if (main < kLowestUpdateable) {
            decision.tooOld = true;
            continue;
        }
        if (main < kFirstV3) {
            if (Chosen(main, DescriptorVersion(descriptor), o.mainIfOlder, o.mainIfSame,
                       o.mainIfNewer, o.noDowngrade, &decision.mainNotDowngraded)) {
                decision.mainChoiceV2 = position;
                decision.mainVariant = (main == kLowestUpdateable || main >= kFirstPlainV2) ? 1 : 0;
            }
            if (Chosen(stack, images.stack, o.stackIfOlder, o.stackIfSame, o.stackIfNewer,
                       o.noDowngrade, &decision.stackNotDowngraded)) {
                decision.stackChoice = 1;
            }
        } else if (Chosen(main, images.main3, o.mainIfOlder, o.mainIfSame, o.mainIfNewer,
                          o.noDowngrade, &decision.mainNotDowngraded)) {
            decision.mainChoiceV3 = position;
        }
    }
    return decision;
}

void SelectUpdate(uint8_t row) {
    SelectUpdateWith(row, CarriedImages());
}

void SelectUpdateWith(uint8_t row, const ImageVersions& images) {
    if (row >= kMasterRows) {
        return;
    }
    MasterEntry& entry = masterTable.rows[row];
    const UpdateDecision decision = DecideUpdate(entry, updateOptions, images);
    // The choice fields are only ever set: a row that a later scan refills keeps its choices.
    if (decision.tooOld) {
        PrintTooOldNotice();
    }
    if (decision.mainChoiceV2 != 0) {
        entry.mainChoiceV2 = decision.mainChoiceV2;
        entry.mainVariant = decision.mainVariant;
    }
    if (decision.stackChoice != 0) {
        entry.stackChoice = decision.stackChoice;
    }
    if (decision.mainChoiceV3 != 0) {
        entry.mainChoiceV3 = decision.mainChoiceV3;
    }
    if (entry.mainChoiceV2 != 0 || entry.stackChoice != 0 || entry.mainChoiceV3 != 0) {
        ++masterTable.updateableCount;
    }
}

void SetEditionName(uint8_t row) {
    if (row >= kMasterRows) {
        return;
    }
    MasterEntry& entry = masterTable.rows[row];
    if (std::strcmp(entry.editionCode, "TS") == 0) {
        CopyText(entry.editionName, "Testsystem");
    } else if (std::strcmp(entry.editionCode, "DE") == 0) {
        CopyText(entry.editionName, "Development");
    } else if (std::strcmp(entry.editionCode, "SE") == 0) {
        CopyText(entry.editionName, "Standard");
    }
}
