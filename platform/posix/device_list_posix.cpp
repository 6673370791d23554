// The device list from sysfs: every terminal device under class/tty that sits on a USB device,
// described in the forms that the port search expects:
//   instance ID    USB\VID_vvvv&PID_pppp\<serial>   (<serial>: the USB device folder's name
//                                                     when the device has no serial number)
//   friendly name  <product> (<tty name>)
//   description    <product>
//   serial number  the USB device's serial attribute (none when it has none)
//   location       the USB device folder's name (1-1.2): where it is plugged in
// A device without a product string is described as Windows' driver describes a CDC port:
// "USB Serial Device (<tty name>)" and "USB Serial Device", so that a master without one is
// still found.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/os_device_list.h"
#include "platform/platform.h"
#include "platform/posix/posix_roots.h"

namespace {

struct PosixDevice {
    std::string instanceId;
    std::string friendlyName;
    std::string description;
    std::string serialNumber;  // "" when the USB device has none
    std::string location;      // the USB device folder's name: 1-1.2 (bus 1, hub port 1, port 2)
};

constexpr const char* kNoProductName = "USB Serial Device";

// The USB device is found at most this many folders above the tty's device folder: one for a
// CDC-ACM port (interface folder, then device), two for a usb-serial port (port, interface,
// device).
constexpr int kMaxUsbClimb = 4;

// Attribute files are read up to this size: enough for every readable text, and a longer file
// still makes a text that is too long for the caller's buffer.
constexpr size_t kAttributeReadLimit = 4 * kDeviceTextSize;

std::optional<std::string> RealPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return std::nullopt;
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

bool FileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Reads a sysfs attribute: the text up to the first zero byte, without the line end that the
// kernel appends. Absent when the file cannot be read.
std::optional<std::string> ReadAttribute(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text(kAttributeReadLimit, '\0');
    size_t filled = 0;
    bool failed = false;
    while (filled < text.size()) {
        const ssize_t got = read(fd, text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            failed = true;
            break;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<size_t>(got);
    }
    close(fd);
    if (failed) {
        return std::nullopt;
    }
    text.resize(std::min(filled, std::strlen(text.c_str())));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// An attribute that is present and not empty.
std::optional<std::string> ReadText(const std::string& path) {
    std::optional<std::string> text = ReadAttribute(path);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return text;
}

// From the tty's resolved device folder toward the root, the first folder that describes a USB
// device (it holds idVendor and idProduct). The climb stays below the sysfs root.
std::optional<std::string> FindUsbDevice(std::string folder, const std::string& sysRoot) {
    for (int level = 0; level <= kMaxUsbClimb; ++level) {
        if (FileExists(folder + "/idVendor") && FileExists(folder + "/idProduct")) {
            return folder;
        }
        const size_t slash = folder.rfind('/');
        if (slash == std::string::npos || slash <= sysRoot.size()) {
            break;
        }
        folder.resize(slash);
    }
    return std::nullopt;
}

std::optional<PosixDevice> DescribeTty(const std::string& ttyClass, const std::string& ttyName,
                                       const std::string& sysRoot) {
    // The device link is relative and is resolved the way the kernel laid it out: from the
    // folder that the class entry links to.
    const std::optional<std::string> device = RealPath(ttyClass + "/" + ttyName + "/device");
    if (!device || device->compare(0, sysRoot.size() + 1, sysRoot + "/") != 0) {
        return std::nullopt;
    }
    const std::optional<std::string> usb = FindUsbDevice(*device, sysRoot);
    if (!usb) {
        return std::nullopt;
    }
    const std::optional<std::string> vendor = ReadAttribute(*usb + "/idVendor");
    const std::optional<std::string> product = ReadAttribute(*usb + "/idProduct");
    if (!vendor || !product) {
        return std::nullopt;
    }
    const std::string location = usb->substr(usb->rfind('/') + 1);
    const std::optional<std::string> serial = ReadText(*usb + "/serial");
    const std::optional<std::string> productName = ReadText(*usb + "/product");

    PosixDevice result;
    result.instanceId =
        "USB\\VID_" + Trim(*vendor) + "&PID_" + Trim(*product) + "\\" + serial.value_or(location);
    result.serialNumber = serial.value_or("");
    result.location = location;
    result.description = productName.value_or(kNoProductName);
    result.friendlyName = result.description + " (" + ttyName + ")";
    return result;
}

}  // namespace

struct OsDeviceList {
    std::vector<PosixDevice> devices;
};

bool OsDeviceList_HasSerialPortClass() {
    return IsDirectory(PosixRoots_Sys() + "/class/tty");
}

OsDeviceList* OsDeviceList_Open() {
    const std::optional<std::string> sysRoot = RealPath(PosixRoots_Sys());
    if (!sysRoot) {
        return nullptr;
    }
    const std::string ttyClass = *sysRoot + "/class/tty";
    DIR* folder = opendir(ttyClass.c_str());
    if (folder == nullptr) {
        return nullptr;
    }
    std::vector<std::string> names;
    // readdir is safe here: the stream is this function's own and no other thread reads it.
    while (const dirent* entry = readdir(folder)) {  // NOLINT(concurrency-mt-unsafe)
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(folder);
    // readdir has no defined order; sorting by name keeps the list stable between snapshots.
    std::sort(names.begin(), names.end());

    auto* list = new (std::nothrow) OsDeviceList;
    if (list == nullptr) {
        return nullptr;
    }
    for (const std::string& name : names) {
        std::optional<PosixDevice> device = DescribeTty(ttyClass, name, *sysRoot);
        if (device) {
            list->devices.push_back(std::move(*device));
        }
    }
    return list;
}

DeviceAt OsDeviceList_At(OsDeviceList* list, uint32_t index) {
    return index < list->devices.size() ? DeviceAt::present : DeviceAt::end;
}

bool OsDeviceList_Text(OsDeviceList* list, uint32_t index, DeviceText which,
                       char (&buffer)[kDeviceTextSize]) {
    if (index >= list->devices.size()) {
        return false;
    }
    const PosixDevice& device = list->devices[index];
    const std::string* text = &device.description;
    switch (which) {
        case DeviceText::friendlyName:
            text = &device.friendlyName;
            break;
        case DeviceText::instanceId:
            text = &device.instanceId;
            break;
        case DeviceText::description:
            break;
        case DeviceText::serialNumber:
            text = &device.serialNumber;
            break;
        case DeviceText::location:
            text = &device.location;
            break;
    }
    if (text->empty() && (which == DeviceText::serialNumber || which == DeviceText::location)) {
        return false;
    }
    // A text of the buffer's size or longer does not fit with its terminating zero.
    if (text->size() >= kDeviceTextSize) {
        return false;
    }
    std::memcpy(buffer, text->c_str(), text->size() + 1);
    return true;
}

void OsDeviceList_Close(OsDeviceList* list) {
    delete list;
}
