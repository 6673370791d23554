// IOL_GetMasterInfo, IOL_GetLibraryVersion and HexDigitValue.
#include <cstring>
#include <string>

#include "tests/services/services_test_support.h"

namespace {

using IdentificationTest = ServiceFixture;

// The identification response from byte 4 on: main version, edition, id bytes, stack version.
Bytes IdentityPayload(const char* main, const char* edition, const char* stack) {
    Bytes p(15, 0);
    p[1] = static_cast<uint8_t>(main[0]);
    p[2] = static_cast<uint8_t>(main[1]);
    p[3] = static_cast<uint8_t>(main[2]);
    p[4] = static_cast<uint8_t>(edition[0]);
    p[5] = static_cast<uint8_t>(edition[1]);
    p[6] = 0x77;  // byte 10, not read
    p[7] = 0xAB;  // bytes 11 and 12: identification bytes
    p[8] = 0xCD;
    p[12] = static_cast<uint8_t>(stack[0]);
    p[13] = static_cast<uint8_t>(stack[1]);
    p[14] = static_cast<uint8_t>(stack[2]);
    return p;
}

MasterInfo Filled() {
    MasterInfo info;
    std::memset(&info, 0x5A, sizeof(info));
    return info;
}

TEST_F(IdentificationTest, DecodesTheResponse) {
    Answer(kFrameTypeMasterInfo, {{0x67, IdentityPayload("217", "SE", "103")}});
    MasterInfo info = Filled();
    ASSERT_EQ(IOL_GetMasterInfo(slot, &info), IOL_OK);
    EXPECT_EQ(Requests(1)[0], (Bytes{0x05, 0x00, 0x02, 0x67, 0x00}));
    EXPECT_STREQ(info.versionText, "2.1.7/1.0.3");
    EXPECT_EQ(Bytes(info.mainVersion, info.mainVersion + 3), (Bytes{2, 1, 7}));
    EXPECT_EQ(Bytes(info.stackVersion, info.stackVersion + 3), (Bytes{1, 0, 3}));
    EXPECT_STREQ(info.editionCode, "SE");
    EXPECT_EQ(info.editionCode[3], 0x5A);  // never written
    EXPECT_EQ(info.idBytes[0], 0xAB);
    EXPECT_EQ(info.idBytes[1], 0xCD);
    EXPECT_EQ(link->responseReady.load(), 0);
}

TEST_F(IdentificationTest, VersionCharactersThatAreNotDigits) {
    Answer(kFrameTypeMasterInfo, {{0x67, IdentityPayload("bBx", "SE", "F0a")}});
    MasterInfo info = Filled();
    ASSERT_EQ(IOL_GetMasterInfo(slot, &info), IOL_OK);
    EXPECT_EQ(Bytes(info.mainVersion, info.mainVersion + 3), (Bytes{11, 11, 0}));
    EXPECT_EQ(Bytes(info.stackVersion, info.stackVersion + 3), (Bytes{15, 0, 10}));
    EXPECT_STREQ(info.versionText, "b.B.x/F.0.a");
}

TEST_F(IdentificationTest, NoLinkLeavesTheRecordUntouched) {
    const MasterInfo before = Filled();
    IOL_Destroy(slot);
    for (int32_t bad : {0, -1, slot}) {
        MasterInfo info = before;
        EXPECT_EQ(IOL_GetMasterInfo(bad, &info), IOL_ERR_NO_LINK);
        EXPECT_EQ(std::memcmp(&info, &before, sizeof(info)), 0);
    }
}

TEST_F(IdentificationTest, SilenceGivesTimeoutWithNotAvailable) {
    vm.SetSilent(true);
    PlatformSeam_SetSleepHook(&FastResponsePolls);
    MasterInfo info = Filled();
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_ERR_TIMEOUT);
    EXPECT_STREQ(info.versionText, "N/A");
    EXPECT_EQ(Bytes(info.mainVersion, info.mainVersion + 3), (Bytes{0, 0, 0}));
    EXPECT_EQ(info.stackVersion[0], 0x5A);
    EXPECT_EQ(info.editionCode[0], 0x5A);
    EXPECT_EQ(info.idBytes[0], 0x5A);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_OK);
}

TEST_F(IdentificationTest, OtherFrameTypeDoesNotPoisonTheNextCall) {
    Answer(kFrameTypeMasterInfo, {{0x68, IdentityPayload("999", "XX", "999")},
                                  {0x67, IdentityPayload("300", "SE", "130")}});
    MasterInfo info = Filled();
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_ERR_FRAME_TYPE);
    EXPECT_STREQ(info.versionText, "N/A");
    EXPECT_EQ(IOL_GetMasterInfo(slot, &info), IOL_OK);
    EXPECT_STREQ(info.versionText, "3.0.0/1.3.0");
}

TEST_F(IdentificationTest, LibraryVersionNeedsNoLink) {
    LibraryVersion version;
    std::memset(&version, 0x5A, sizeof(version));
    EXPECT_EQ(IOL_GetLibraryVersion(&version), IOL_OK);
    EXPECT_STREQ(version.tag, "0000");
    EXPECT_STREQ(version.buildDate, "Jan 21 2019");
    EXPECT_STREQ(version.version, "2.04");
    IOL_LibraryDetach();
    LibraryVersion again{};
    EXPECT_EQ(IOL_GetLibraryVersion(&again), IOL_OK);
    EXPECT_EQ(std::memcmp(&again, &version, 5), 0);
    EXPECT_STREQ(again.buildDate, "Jan 21 2019");
    IOL_LibraryAttach();
}

TEST(HexDigitValueTest, DigitsAndTheirNeighbours) {
    const std::pair<char, uint8_t> cases[] = {
        {'0', 0},  {'9', 9},  {'a', 10}, {'f', 15},
        {'A', 10}, {'F', 15}, {'c', 12}, {'/', 0},
        {':', 0},  {'@', 0},  {'G', 0},  {'`', 0},
        {'g', 0},  {'x', 0},  {'\0', 0}, {static_cast<char>(0xB0), 0}};
    for (const auto& [c, value] : cases) {
        EXPECT_EQ(HexDigitValue(c), value) << static_cast<int>(c);
    }
}

}  // namespace
