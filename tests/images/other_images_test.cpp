// A program built with another firmware folder (tests/images/firmware_3_1_0: a 3.x image of version
// 3.1.0, no placeholder marker): the 3.x image's version and the selection follow that folder.
#include <gtest/gtest.h>

#include "app/app.h"
#include "images/images.h"
#include "tests/support/stdout_capture.h"

namespace {

void Master(const int8_t (&main)[3]) {
    masterTable = MasterTable{};
    MasterEntry& row = masterTable.rows[0];
    std::copy(std::begin(main), std::end(main), row.mainVersion);
    row.editionCode[0] = 'S';
    row.editionCode[1] = 'E';
    masterTable.masterCount = 1;
}

TEST(OtherImages, TheThreeXVersionComesFromTheFolder) {
    EXPECT_EQ(GetMain3ImageVersion(), 0x030100);
    EXPECT_FALSE(imagesArePlaceholders);
}

// "-s -m": only a main firmware of the image's own version is chosen. The placeholders' 3.0.10
// would choose a 3.0.10 master; this folder's 3.1.0 chooses a 3.1.0 master and not a 3.0.10 one.
TEST(OtherImages, TheSelectionComparesMastersWithThatVersion) {
    const char* argv[] = {"iolink-update", "-s", "-m"};
    updateOptions = UpdateOptions{};
    ASSERT_FALSE(ParseCommandLine(3, argv));

    Master({3, 0, 10});
    SelectUpdate(0);
    EXPECT_EQ(masterTable.rows[0].mainChoiceV3, 0);
    EXPECT_EQ(masterTable.updateableCount, 0);

    Master({3, 1, 0});
    SelectUpdate(0);
    EXPECT_EQ(masterTable.rows[0].mainChoiceV3, 1);
    EXPECT_EQ(masterTable.updateableCount, 1);
}

// The replug procedure's prompts follow the 2.x image's length: this folder's 200 bytes are one
// transfer, so three prompts (after the erase, the transfer and the swap).
TEST(OtherImages, TheReplugPromptsFollowTheImagesLength) {
    Master({2, 0, 5});
    EXPECT_EQ(WhatAnUpdateWrites(masterTable.rows[0],
                                 UpdateDecision{0, 1, 0, 0, false, false, false}, CarriedImages()),
              "main firmware 2.0.5 -> 2.1.7 (step by step, with 3 prompts to unplug and replug "
              "the master)");
}

// --version says which images this program carries: this folder's, and no placeholder line.
TEST(OtherImages, VersionNamesThisFoldersImages) {
    for (const PlaceholderWrites writes :
         {PlaceholderWrites::refused, PlaceholderWrites::allowed}) {
        EXPECT_EQ(
            CaptureStdout([&] { PrintVersion(CarriedImages(), imagesArePlaceholders, writes); }),
            "iolink-update " IOLINK_PROGRAM_VERSION
            "\n"
            "main firmware for masters on 3.x: 3.1.0\n"
            "main firmware for masters on 2.x: 2.1.7 (edition SE)\n"
            "IO-Link stack: 1.3.0\n");
    }
}

}  // namespace
