// Finding master ports in the device list, and the product lookups by port name, over a fake
// device list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/link.h"
#include "platform/seams.h"

namespace {

constexpr const char* kScanFilter = "VID_6F3A&PID_0202";

class EnumerationTest : public ::testing::Test {
  protected:
    void TearDown() override { PlatformSeam_SetDeviceList(nullptr, 0); }

    void Use(const std::vector<FakeDevice>& devices) {
        devices_ = devices;
        PlatformSeam_SetDeviceList(devices_.data(), devices_.size());
    }

    // Entries filled with a marker, so that untouched ones can be told apart.
    static std::vector<PortEntry> MarkedEntries(size_t count) {
        std::vector<PortEntry> entries(count);
        for (PortEntry& entry : entries) {
            std::strcpy(entry.instanceId, "untouched");
            std::strcpy(entry.friendlyName, "untouched");
            std::strcpy(entry.description, "untouched");
        }
        return entries;
    }

    std::vector<FakeDevice> devices_;
};

TEST_F(EnumerationTest, NoMatchLeavesTheEntries) {
    Use({{"USB\\VID_1234&PID_0202\\1", "Other (COM4)", "Other"},
         {"ACPI\\PNP0501\\1", "Communications Port (COM1)", "Port"}});
    auto entries = MarkedEntries(3);
    EXPECT_EQ(FindDevicePorts(entries.data(), 3, kScanFilter, 0), 0);
    for (const PortEntry& entry : entries) {
        EXPECT_STREQ(entry.instanceId, "untouched");
    }
}

TEST_F(EnumerationTest, NoEntriesOrANegativeStartFindNothing) {
    Use({{"USB\\VID_6F3A&PID_0202\\1", "IO-Link USB Master (COM3)", "IO-Link USB Master"}});
    auto entries = MarkedEntries(2);
    EXPECT_EQ(FindDevicePorts(nullptr, 2, kScanFilter, 0), 0);
    EXPECT_EQ(FindDevicePorts(entries.data(), 2, kScanFilter, -1), 0);
    EXPECT_STREQ(entries[0].instanceId, "untouched");
}

TEST_F(EnumerationTest, MatchesWithoutRegardToCaseAndReportsUpperCase) {
    Use({{"usb\\vid_6f3a&pid_0202\\abc1", "IO-Link Master (COM7)", "Master serial port"},
         {"USB\\VID_6F3A&PID_0100\\X", "Older master (COM8)", "Master"}});
    auto entries = MarkedEntries(2);
    EXPECT_EQ(FindDevicePorts(entries.data(), 2, "vid_6F3A&pid_0202", 0), 1);
    EXPECT_STREQ(entries[0].instanceId, "USB\\VID_6F3A&PID_0202\\ABC1");
    EXPECT_STREQ(entries[0].friendlyName, "IO-Link Master (COM7)");
    EXPECT_STREQ(entries[0].description, "Master serial port");
    EXPECT_STREQ(entries[1].instanceId, "untouched");
}

TEST_F(EnumerationTest, UnreadableDevicesAreSkipped) {
    const std::string tooLong(256, 'A');
    const std::string longest = "USB\\VID_6F3A&PID_0202\\" + std::string(255 - 22, 'B');
    ASSERT_EQ(longest.size(), 255u);
    Use({{"USB\\VID_6F3A&PID_0202\\1", nullptr, "no friendly name"},
         {nullptr, "No instance (COM2)", "no instance"},
         {"USB\\VID_6F3A&PID_0202\\3", "No description (COM3)", nullptr},
         {"USB\\VID_6F3A&PID_0202\\4", tooLong.c_str(), "long friendly name"},
         {"USB\\VID_6F3A&PID_0202\\5", "Long description (COM5)", tooLong.c_str()},
         {longest.c_str(), "Longest instance (COM6)", "fits"}});
    auto entries = MarkedEntries(6);
    ASSERT_EQ(FindDevicePorts(entries.data(), 6, kScanFilter, 0), 1);
    EXPECT_STREQ(entries[0].friendlyName, "Longest instance (COM6)");
    EXPECT_EQ(std::string(entries[0].instanceId), longest);
}

TEST_F(EnumerationTest, StopsAtCapacityAndFillsFromTheStartIndex) {
    std::vector<std::string> names;
    std::vector<std::string> ids;
    for (int i = 0; i < 11; ++i) {
        ids.push_back("USB\\VID_6F3A&PID_0202\\" + std::to_string(i));
        names.push_back("Master (COM" + std::to_string(10 + i) + ")");
    }
    std::vector<FakeDevice> devices;
    for (int i = 0; i < 11; ++i) {
        devices.push_back(
            {ids[static_cast<size_t>(i)].c_str(), names[static_cast<size_t>(i)].c_str(), "Master"});
    }
    Use(devices);
    auto entries = MarkedEntries(11);
    EXPECT_EQ(FindDevicePorts(entries.data(), 10, kScanFilter, 0), 10);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(entries[i].friendlyName, names[i]);  // in the order of the list
    }
    EXPECT_STREQ(entries[10].friendlyName, "untouched");

    auto more = MarkedEntries(5);
    EXPECT_EQ(FindDevicePorts(more.data(), 5, kScanFilter, 2), 5);
    EXPECT_STREQ(more[1].friendlyName, "untouched");
    EXPECT_EQ(more[2].friendlyName, names[0]);
    EXPECT_EQ(more[4].friendlyName, names[2]);
    EXPECT_EQ(FindDevicePorts(more.data(), 5, kScanFilter, 5), 5);  // no room at all
}

TEST_F(EnumerationTest, ProductText) {
    Use({{"USB\\VID_6F3A&PID_0202\\1", "IO-Link Master (COM3)", "Master"},
         {"USB\\VID_6F3A&PID_0507\\2", "IO-Link Master (ttyACM0)", "Master"},
         {"USB\\VID_6F3A&PID_0100\\3", "Old master (COM12)", "Master"}});
    char text[16];
    EXPECT_EQ(IOL_GetProductText("COM3", text), 1);
    EXPECT_STREQ(text, "USB200202");
    EXPECT_EQ(IOL_GetProductText("com3", text), 1);
    EXPECT_STREQ(text, "USB200202");
    EXPECT_EQ(IOL_GetProductText("ttyACM0", text), 1);
    EXPECT_STREQ(text, "USB200507");
    EXPECT_EQ(IOL_GetProductText("COM1", text), 0);  // (COM1) is not in (COM12)
    EXPECT_STREQ(text, "               ");

    std::strcpy(text, "kept");
    EXPECT_EQ(IOL_GetProductText("COM12345", text), 0);  // more than 7 characters
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(IOL_GetProductText(nullptr, text), 0);
    EXPECT_STREQ(text, "kept");
}

TEST_F(EnumerationTest, SupportedMasterProducts) {
    const std::vector<std::pair<const char*, int32_t>> products = {
        {"0100", 1}, {"0200", 1}, {"0202", 1}, {"02FF", 1}, {"0507", 1},
        {"0101", 0}, {"0300", 0}, {"0506", 0}, {"01FF", 0}};
    for (const auto& [pid, supported] : products) {
        SCOPED_TRACE(pid);
        const std::string id = std::string("USB\\VID_6F3A&PID_") + pid + "\\1";
        Use({{id.c_str(), "Master (COM3)", "Master"}});
        EXPECT_EQ(IOL_IsSupportedMaster("COM3"), supported);
    }
}

TEST_F(EnumerationTest, SupportedMasterKeysOnTheWholePortName) {
    Use({{"USB\\VID_6F3A&PID_0202\\1", "Master (COM12)", "Master"},
         {"USB\\VID_6F3A&PID_0300\\2", "Other (COM1)", "Other"},
         {"USB\\VID_1111&PID_0202\\3", "Foreign (COM5)", "Foreign"}});
    // COM1 and COM12 each get their own answer.
    EXPECT_EQ(IOL_IsSupportedMaster("COM12"), 1);
    EXPECT_EQ(IOL_IsSupportedMaster("COM1"), 0);
    EXPECT_EQ(IOL_IsSupportedMaster("com12"), 1);
    EXPECT_EQ(IOL_IsSupportedMaster("COM5"), 0);  // another vendor
    EXPECT_EQ(IOL_IsSupportedMaster("COM12345"), 0);
    EXPECT_EQ(IOL_IsSupportedMaster(nullptr), 0);

    // The last entry that names the port decides.
    Use({{"USB\\VID_6F3A&PID_0202\\1", "Master (COM3)", "Master"},
         {"USB\\VID_6F3A&PID_0300\\2", "Other (COM3)", "Other"}});
    EXPECT_EQ(IOL_IsSupportedMaster("COM3"), 0);
}

// A restarting master is found again by its USB identity, never by a neighbour's: its serial
// number (a shared one told apart by the location), else its location, else its port name. The
// port of the found one may have another name than before.
TEST(FollowedMaster, IsFoundByItsUsbIdentityAlone) {
    const UsbIdentity usb[] = {{"VM1", "1-1"}, {"VM1", "1-2"}, {"", "1-3"}, {"", ""}};
    const FollowCandidate candidates[] = {
        {&usb[0], "ttyACM0"}, {&usb[1], "ttyACM1"}, {&usb[2], "ttyACM2"}, {&usb[3], "ttyACM3"}};
    struct Case {
        UsbIdentity wanted;
        const char* portName;
        int32_t found;
    };
    const Case cases[] = {
        {{"VM1", "1-2"}, "ttyACM9", 1},   // a shared serial number, told by the location
        {{"VM1", ""}, "ttyACM0", -1},     // a shared serial number and no location: not guessed
        {{"VM7", "1-1"}, "ttyACM0", -1},  // its serial number is not there: nobody at its place
        {{"", "1-3"}, "ttyACM5", 2},      // no serial number: by the location, renamed port
        {{"", ""}, "ttyACM3", 3},         // the system tells neither: by the port name
        {{"", ""}, "ttyACM8", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindFollowedMaster(candidates, 4, c.wanted, c.portName), c.found)
            << c.wanted.serialNumber << " " << c.wanted.location << " " << c.portName;
    }
}

}  // namespace
