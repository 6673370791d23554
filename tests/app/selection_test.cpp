// The inventory and the decision which update applies to a master.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/app.h"
#include "images/images.h"
#include "tests/support/stdout_capture.h"

namespace {

const uint8_t kImageBytes[16] = {};
const FirmwareDescriptor kDescriptor = {16, "SE", "2.1.7", {0x12, 0xFF}, {2, 1, 7}, kImageBytes};
constexpr int32_t kStackImage = 0x010300;  // 1.3.0
constexpr int32_t kMain3Image = 0x03000A;  // 3.0.10

const char* const kTooOld =
    "Error your Master is too old (<1.1.0) for updates.\n"
    "Please send it in to Norvik GmbH:\n"
    "\n"
    "Norvik GmbH\n"
    "Kanalweg 27\n"
    "31847 Osterfelde\n";

class Selection : public ::testing::Test {
  protected:
    void SetUp() override {
        masterTable = MasterTable{};
        updateOptions = UpdateOptions{};
    }

    // Puts a master into row and runs the selection against the test's images.
    MasterEntry& Select(uint8_t row, const char* edition, std::array<int, 3> main,
                        std::array<int, 3> stack, int32_t stackImage = kStackImage) {
        MasterEntry& e = masterTable.rows[row];
        std::strncpy(e.editionCode, edition, sizeof(e.editionCode) - 1);
        for (int i = 0; i < 3; ++i) {
            e.mainVersion[i] = static_cast<int8_t>(main[i]);
            e.stackVersion[i] = static_cast<int8_t>(stack[i]);
        }
        output = CaptureStdout([&] {
            SelectUpdateWith(row, ImageVersions{stackImage, kMain3Image, {&kDescriptor, 1}});
        });
        return e;
    }

    std::string output;
};

TEST(VersionNumberTest, PacksMajorMinorPatch) {
    const int8_t v200[3] = {2, 0, 0};
    const int8_t v3010[3] = {3, 0, 10};
    const int8_t v1_15_15[3] = {1, 15, 15};
    EXPECT_EQ(VersionNumber(v200), 0x20000);
    EXPECT_EQ(VersionNumber(v3010), 0x3000A);
    EXPECT_LT(VersionNumber(v1_15_15), VersionNumber(v200));
}

TEST_F(Selection, SameMainVersionIsChosenByDefaultAndSameStackIsNot) {
    const MasterEntry& e = Select(0, "SE", {2, 1, 7}, {1, 3, 0});
    EXPECT_EQ(e.mainChoiceV2, 1);
    EXPECT_EQ(e.mainVariant, 1);
    EXPECT_EQ(e.stackChoice, 0);
    EXPECT_EQ(e.mainChoiceV3, 0);
    EXPECT_EQ(masterTable.updateableCount, 1);
    EXPECT_EQ(output, "");
}

TEST_F(Selection, ReplugProcedureOnlyFrom201To209) {
    struct Case {
        std::array<int, 3> main;
        int variant;
    };
    for (const Case& c :
         {Case{{2, 0, 0}, 1}, Case{{2, 0, 1}, 0}, Case{{2, 0, 5}, 0}, Case{{2, 0, 9}, 0},
          Case{{2, 0, 10}, 1}, Case{{2, 1, 7}, 1}, Case{{2, 15, 15}, 1}}) {
        SetUp();
        const MasterEntry& e = Select(0, "SE", c.main, {1, 3, 0});
        EXPECT_EQ(e.mainChoiceV2, 1) << c.main[1] << "." << c.main[2];
        EXPECT_EQ(e.mainVariant, c.variant) << c.main[1] << "." << c.main[2];
        EXPECT_EQ(e.mainChoiceV3, 0);
    }
}

TEST_F(Selection, BelowTwoGetsTheNoticeAndNothing) {
    const MasterEntry& e = Select(0, "SE", {1, 15, 15}, {1, 0, 0});
    EXPECT_EQ(output, kTooOld);
    EXPECT_EQ(e.mainChoiceV2 + e.mainChoiceV3 + e.stackChoice, 0);
    EXPECT_EQ(masterTable.updateableCount, 0);
}

TEST_F(Selection, ThreeXMastersCompareWithTheThreeXImageAndNeverTheStack) {
    MasterEntry& same = Select(0, "SE", {3, 0, 10}, {0, 0, 1});
    EXPECT_EQ(same.mainChoiceV3, 1);
    EXPECT_EQ(same.stackChoice, 0);
    EXPECT_EQ(same.mainChoiceV2, 0);

    SetUp();
    updateOptions = UpdateOptions{0, 0, 0, 0, 0, 0};  // -s
    EXPECT_EQ(Select(0, "SE", {3, 0, 10}, {1, 3, 0}).mainChoiceV3, 0);
    EXPECT_EQ(masterTable.updateableCount, 0);

    SetUp();
    updateOptions = UpdateOptions{0, 0, 0, 0, 0, 0};
    updateOptions.mainIfOlder = 1;
    EXPECT_EQ(Select(0, "SE", {3, 0, 9}, {1, 3, 0}).mainChoiceV3, 1);
    SetUp();
    updateOptions = UpdateOptions{0, 0, 0, 0, 0, 0};
    updateOptions.mainIfOlder = 1;
    EXPECT_EQ(Select(0, "SE", {3, 0, 11}, {1, 3, 0}).mainChoiceV3, 0);
    // 3.0.0 is the first 3.x version: compared with 3.0.10, not with the 2.x image.
    SetUp();
    const MasterEntry& first = Select(0, "SE", {3, 0, 0}, {1, 3, 0});
    EXPECT_EQ(first.mainChoiceV3, 1);
    EXPECT_EQ(first.mainChoiceV2, 0);
}

TEST_F(Selection, StackIsWeighedUnderItsOwnFlagsEvenWithoutMain) {
    updateOptions = UpdateOptions{0, 0, 0, 0, 0, 0};
    updateOptions.stackIfSame = 1;  // -s -i
    const MasterEntry& same = Select(0, "SE", {2, 1, 7}, {1, 3, 0});
    EXPECT_EQ(same.stackChoice, 1);
    EXPECT_EQ(same.mainChoiceV2, 0);
    EXPECT_EQ(masterTable.updateableCount, 1);

    SetUp();
    const MasterEntry& older = Select(0, "SE", {2, 1, 7}, {1, 2, 15});
    EXPECT_EQ(older.stackChoice, 1);
    EXPECT_EQ(masterTable.updateableCount, 1);  // counted once with two choices

    SetUp();
    updateOptions.stackIfNewer = 0;
    EXPECT_EQ(Select(0, "SE", {2, 1, 7}, {1, 3, 1}).stackChoice, 0);
}

TEST_F(Selection, StackImageWithoutVersionRecordMakesEveryStackNewer) {
    updateOptions.stackIfNewer = 0;
    EXPECT_EQ(Select(0, "SE", {2, 1, 7}, {0, 0, 1}, 0).stackChoice, 0);
    SetUp();
    EXPECT_EQ(Select(0, "SE", {2, 1, 7}, {0, 0, 1}, 0).stackChoice, 1);
    SetUp();
    updateOptions.stackIfSame = 1;
    updateOptions.stackIfNewer = 0;
    EXPECT_EQ(Select(0, "SE", {2, 1, 7}, {0, 0, 0}, 0).stackChoice, 1);
}

TEST_F(Selection, OtherEditionsAreNeverChosenAndNeverWarned) {
    for (const char* edition : {"DE", "TS", "XY", "se", ""}) {
        SetUp();
        const MasterEntry& e = Select(0, edition, {1, 0, 0}, {1, 0, 0});
        EXPECT_EQ(e.mainChoiceV2 + e.mainChoiceV3 + e.stackChoice, 0) << edition;
        EXPECT_EQ(output, "") << edition;
        EXPECT_EQ(masterTable.updateableCount, 0);
    }
}

TEST_F(Selection, EditionNames) {
    const char* const codes[] = {"TS", "DE", "SE", "XY"};
    const char* const names[] = {"Testsystem", "Development", "Standard", ""};
    for (uint8_t row = 0; row < 4; ++row) {
        std::strcpy(masterTable.rows[row].editionCode, codes[row]);
        SetEditionName(row);
        EXPECT_STREQ(masterTable.rows[row].editionName, names[row]);
    }
}

TEST_F(Selection, ShippedImagesAreWhatTheSelectionComparesWith) {
    MasterEntry& e = masterTable.rows[0];
    std::strcpy(e.editionCode, "SE");
    const int8_t v217[3] = {2, 1, 7};
    const int8_t s130[3] = {1, 3, 0};
    std::memcpy(e.mainVersion, v217, 3);
    std::memcpy(e.stackVersion, s130, 3);
    SelectUpdate(0);
    EXPECT_EQ(e.mainChoiceV2, 1);
    EXPECT_EQ(e.stackChoice, 0);  // the shipped stack image is 1.3.0
}

}  // namespace
