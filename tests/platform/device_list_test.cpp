// The fake device list that replaces the system's list in tests of the port search.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/seams.h"

namespace {

std::string Text(DeviceList* list, uint32_t index, DeviceText which, bool* ok) {
    char buffer[kDeviceTextSize];
    std::memset(buffer, 'x', sizeof buffer);
    *ok = Platform_DeviceListText(list, index, which, buffer);
    return *ok ? std::string(buffer) : std::string();
}

}  // namespace

TEST(FakeDeviceList, ServesTheGivenDevicesInOrder) {
    const std::string longest(255, 'a');
    const std::string tooLong(256, 'b');
    const FakeDevice devices[] = {
        {"USB\\VID_6F3A&PID_0202\\1", "Master (ttyACM0)", "Master"},
        {"USB\\VID_6F3A&PID_0202\\2", nullptr, "no friendly name"},
        {longest.c_str(), tooLong.c_str(), ""},
    };
    PlatformSeam_SetDeviceList(devices, 3);
    EXPECT_TRUE(Platform_HasSerialPortClass());
    DeviceList* list = Platform_DeviceListOpen();
    PlatformSeam_SetDeviceList(nullptr, 0);  // an open list keeps what it was opened with
    ASSERT_NE(list, nullptr);

    bool ok = false;
    EXPECT_EQ(Platform_DeviceListAt(list, 0), DeviceAt::present);
    EXPECT_EQ(Text(list, 0, DeviceText::instanceId, &ok), "USB\\VID_6F3A&PID_0202\\1");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Text(list, 0, DeviceText::friendlyName, &ok), "Master (ttyACM0)");
    EXPECT_EQ(Text(list, 0, DeviceText::description, &ok), "Master");

    EXPECT_EQ(Platform_DeviceListAt(list, 1), DeviceAt::present);
    Text(list, 1, DeviceText::friendlyName, &ok);
    EXPECT_FALSE(ok) << "a nullptr text is an absent property";
    EXPECT_EQ(Text(list, 1, DeviceText::description, &ok), "no friendly name");

    EXPECT_EQ(Text(list, 2, DeviceText::instanceId, &ok), longest) << "255 bytes still fit";
    EXPECT_TRUE(ok);
    Text(list, 2, DeviceText::friendlyName, &ok);
    EXPECT_FALSE(ok) << "256 bytes do not fit with the terminating zero";
    EXPECT_EQ(Text(list, 2, DeviceText::description, &ok), "");
    EXPECT_TRUE(ok);

    EXPECT_EQ(Platform_DeviceListAt(list, 3), DeviceAt::end);
    Text(list, 3, DeviceText::instanceId, &ok);
    EXPECT_FALSE(ok);
    Platform_DeviceListClose(list);
}

TEST(FakeDeviceList, AnEmptyFakeListHidesTheSystemsDevices) {
    const FakeDevice none[1] = {{"x", "x", "x"}};
    PlatformSeam_SetDeviceList(none, 0);
    DeviceList* list = Platform_DeviceListOpen();
    PlatformSeam_SetDeviceList(nullptr, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Platform_DeviceListAt(list, 0), DeviceAt::end);
    Platform_DeviceListClose(list);
}
