// The device list from sysfs, against fake trees laid out as the kernel lays out /sys: class/tty
// entries are relative links into devices/, and each tty's `device` is a relative link to its
// parent device.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/seams.h"

namespace {

namespace fs = std::filesystem;

const char* const kHostController = "devices/pci0000:00/0000:00:14.0";

class FakeSysfs {
  public:
    FakeSysfs() {
        char pattern[] = "/tmp/platform-sys-XXXXXX";
        root_ = mkdtemp(pattern) != nullptr ? pattern : "";
        PlatformSeam_SetPosixRoots(root_.c_str(), nullptr);
    }
    ~FakeSysfs() {
        PlatformSeam_SetPosixRoots(nullptr, nullptr);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    const std::string& root() const { return root_; }

    // An attribute file; the kernel ends each value with a line end.
    void Attribute(const std::string& path, const std::string& value) {
        fs::create_directories(fs::path(root_ + "/" + path).parent_path());
        std::ofstream(root_ + "/" + path) << value << '\n';
    }

    // A USB device folder below the root hub usb1 (which is a USB device itself).
    std::string UsbDevice(const std::string& name, const std::string& vendor,
                          const std::string& product, std::optional<std::string> productName,
                          std::optional<std::string> serial) {
        const std::string hub = std::string(kHostController) + "/usb1";
        Attribute(hub + "/idVendor", "1d6b");
        Attribute(hub + "/idProduct", "0002");
        Attribute(hub + "/product", "xHCI Host Controller");
        const std::string device = hub + "/" + name;
        Attribute(device + "/idVendor", vendor);
        Attribute(device + "/idProduct", product);
        Attribute(device + "/manufacturer", "Maker");
        if (productName) {
            Attribute(device + "/product", *productName);
        }
        if (serial) {
            Attribute(device + "/serial", *serial);
        }
        return device;
    }

    // A CDC-ACM port: the tty hangs below the interface folder, its device is the interface.
    void AcmPort(const std::string& usbDevice, const std::string& tty) {
        const std::string usbName = fs::path(usbDevice).filename();
        const std::string interface = usbDevice + "/" + usbName + ":1.0";
        const std::string ttyFolder = interface + "/tty/" + tty;
        Attribute(interface + "/bInterfaceClass", "02");
        TtyFolder(ttyFolder, "../../../" + usbName + ":1.0");
    }

    // A usb-serial port: one more folder, the port, between the interface and the tty.
    void UsbSerialPort(const std::string& usbDevice, const std::string& tty) {
        const std::string usbName = fs::path(usbDevice).filename();
        const std::string port = usbDevice + "/" + usbName + ":1.0/" + tty;
        Attribute(port + "/port_number", "0");
        TtyFolder(port + "/tty/" + tty, "../../../" + tty);
    }

    // A tty folder with an optional device link, and its class entry.
    void TtyFolder(const std::string& folder, const std::string& deviceLink) {
        Attribute(folder + "/dev", "166:0");
        if (!deviceLink.empty()) {
            fs::create_directory_symlink(deviceLink, root_ + "/" + folder + "/device");
        }
        const std::string tty = fs::path(folder).filename();
        fs::create_directories(root_ + "/class/tty");
        fs::create_directory_symlink("../../" + folder, root_ + "/class/tty/" + tty);
    }

  private:
    std::string root_;
};

struct Listed {
    std::string instanceId;
    std::string friendlyName;
    std::optional<std::string> description;
};

std::optional<std::string> Text(DeviceList* list, uint32_t index, DeviceText which) {
    char buffer[kDeviceTextSize];
    if (!Platform_DeviceListText(list, index, which, buffer)) {
        return std::nullopt;
    }
    return std::string(buffer);
}

std::vector<Listed> ListDevices() {
    std::vector<Listed> result;
    DeviceList* list = Platform_DeviceListOpen();
    if (list == nullptr) {
        ADD_FAILURE() << "no device list";
        return result;
    }
    for (uint32_t i = 0; Platform_DeviceListAt(list, i) == DeviceAt::present; ++i) {
        result.push_back({Text(list, i, DeviceText::instanceId).value_or("<none>"),
                          Text(list, i, DeviceText::friendlyName).value_or("<none>"),
                          Text(list, i, DeviceText::description)});
    }
    Platform_DeviceListClose(list);
    return result;
}

}  // namespace

TEST(SysfsDeviceList, ReportsTheUsbSerialPortsInNameOrder) {
    FakeSysfs sys;
    ASSERT_FALSE(sys.root().empty());
    // Created out of order: the list is sorted by tty name.
    sys.UsbSerialPort(sys.UsbDevice("1-2", "0403", "6001", "USB UART", "FT12"), "ttyUSB0");
    sys.AcmPort(sys.UsbDevice("1-3", "6f3a", "0202", std::nullopt, "S2"), "ttyACM1");
    sys.AcmPort(sys.UsbDevice("1-1", "6f3a", "0202", "IO-Link USB Master", "A1B2"), "ttyACM0");
    sys.AcmPort(sys.UsbDevice("1-4", " 6F3A ", "0202", "IO-Link USB Master", std::nullopt),
                "ttyACM2");
    // Not USB: a platform serial port and a virtual console without a device link.
    sys.TtyFolder("devices/platform/serial8250/tty/ttyS0", "../../../serial8250");
    sys.TtyFolder("devices/virtual/tty/console", "");

    const std::vector<Listed> devices = ListDevices();
    ASSERT_EQ(devices.size(), 4u);

    EXPECT_EQ(devices[0].instanceId, "USB\\VID_6f3a&PID_0202\\A1B2");
    EXPECT_EQ(devices[0].friendlyName, "IO-Link USB Master (ttyACM0)");
    EXPECT_EQ(devices[0].description, "IO-Link USB Master");

    // Without a product string: described as Windows' driver describes a CDC port.
    EXPECT_EQ(devices[1].instanceId, "USB\\VID_6f3a&PID_0202\\S2");
    EXPECT_EQ(devices[1].friendlyName, "USB Serial Device (ttyACM1)");
    EXPECT_EQ(devices[1].description, "USB Serial Device");

    // Without a serial number: the USB device folder's name; the IDs are trimmed, case kept.
    EXPECT_EQ(devices[2].instanceId, "USB\\VID_6F3A&PID_0202\\1-4");
    EXPECT_EQ(devices[2].friendlyName, "IO-Link USB Master (ttyACM2)");

    // A usb-serial port sits one folder further from its USB device; the root hub above it
    // (also a USB device) is not taken.
    EXPECT_EQ(devices[3].instanceId, "USB\\VID_0403&PID_6001\\FT12");
    EXPECT_EQ(devices[3].friendlyName, "USB UART (ttyUSB0)");
    EXPECT_EQ(devices[3].description, "USB UART");
}

TEST(SysfsDeviceList, TextsOf255BytesFitAnd256DoNot) {
    FakeSysfs sys;
    ASSERT_FALSE(sys.root().empty());
    const std::string suffix = " (ttyACM0)";  // 10 bytes
    // Friendly name exactly 255 bytes; description 245.
    sys.AcmPort(sys.UsbDevice("1-1", "6f3a", "0202", std::string(245, 'a'), "1"), "ttyACM0");
    // Friendly name 256 bytes.
    sys.AcmPort(sys.UsbDevice("1-2", "6f3a", "0202", std::string(246, 'b'), "2"), "ttyACM1");
    // Description exactly 255 and 256 bytes.
    sys.AcmPort(sys.UsbDevice("1-3", "6f3a", "0202", std::string(255, 'c'), "3"), "ttyACM2");
    sys.AcmPort(sys.UsbDevice("1-4", "6f3a", "0202", std::string(256, 'd'), "4"), "ttyACM3");
    // Instance ID of exactly 256 bytes: "USB\VID_6f3a&PID_0202\" is 22 bytes.
    sys.AcmPort(sys.UsbDevice("1-5", "6f3a", "0202", "P", std::string(234, 's')), "ttyACM4");

    const std::vector<Listed> devices = ListDevices();
    ASSERT_EQ(devices.size(), 5u);
    EXPECT_EQ(devices[0].friendlyName, std::string(245, 'a') + suffix);
    EXPECT_EQ(devices[0].description, std::string(245, 'a'));
    EXPECT_EQ(devices[1].friendlyName, "<none>");
    EXPECT_EQ(devices[1].description, std::string(246, 'b'));
    EXPECT_EQ(devices[2].description, std::string(255, 'c'));
    EXPECT_EQ(devices[3].description, std::nullopt);
    EXPECT_EQ(devices[4].instanceId, "<none>");
    EXPECT_EQ(devices[4].friendlyName, "P (ttyACM4)");
}

TEST(SysfsDeviceList, NeedsTheTtyClass) {
    FakeSysfs sys;
    ASSERT_FALSE(sys.root().empty());
    EXPECT_FALSE(Platform_HasSerialPortClass());
    EXPECT_EQ(Platform_DeviceListOpen(), nullptr);

    sys.TtyFolder("devices/virtual/tty/console", "");
    EXPECT_TRUE(Platform_HasSerialPortClass());
    EXPECT_TRUE(ListDevices().empty());
}
