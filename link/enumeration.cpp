// Finding the serial ports of masters in the platform's device list, and the product lookups by
// port name.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/link.h"

namespace {

// The vendor's devices whose product ID starts with 0: every master product.
constexpr const char* kMasterFilter = "Vid_6F3A&Pid_0";
constexpr int32_t kLookupCapacity = 10;
// Port names in use are a few characters long (COM3, ttyACM0); longer ones are not looked up.
constexpr size_t kMaxLookupNameLength = 7;

std::string UpperCase(const char* text) {
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

bool Contains(const char* text, const char* part) {
    return std::strstr(text, part) != nullptr;
}

void CopyText(char (&to)[kPortTextSize], const char* from) {
    std::snprintf(to, sizeof(to), "%s", from);
}

// A text that fits a UsbIdentity field whole, or "" (a cut serial number could name another
// master).
void CopyWhole(char (&to)[kUsbTextSize], const char (&from)[kPortTextSize]) {
    const size_t length = strnlen(from, sizeof(from));
    if (length >= sizeof(to)) {
        to[0] = '\0';
        return;
    }
    std::memcpy(to, from, length);
    to[length] = '\0';
}

// Keeps the candidates of which keep(candidate) is true; returns how many are left.
template <typename Keep>
int32_t Narrow(const FollowCandidate* candidates, int32_t count, bool (&left)[kLookupCapacity],
               Keep keep) {
    int32_t remaining = 0;
    for (int32_t i = 0; i < count; ++i) {
        left[i] = left[i] && keep(candidates[i]);
        remaining += left[i] ? 1 : 0;
    }
    return remaining;
}

// The key that finds a port in a friendly name: "(" + name + ")", upper case, so that COM1 does
// not also match (COM12). False for a missing or overlong name.
bool PortKey(const char* portName, std::string* key) {
    if (portName == nullptr || strnlen(portName, kMaxLookupNameLength + 1) > kMaxLookupNameLength) {
        return false;
    }
    *key = "(" + UpperCase(portName) + ")";
    return true;
}

// Whether the entry's friendly name carries the key. The friendly name is compared in upper
// case too: the key is upper case, and port names on some platforms are not (ttyACM0).
bool NamesPort(const PortEntry& entry, const std::string& key) {
    return Contains(UpperCase(entry.friendlyName).c_str(), key.c_str());
}

}  // namespace

int32_t FindDevicePorts(PortEntry* entries, int32_t capacity, const char* filter,
                        int32_t startIndex) {
    if (entries == nullptr || startIndex < 0) {
        return 0;
    }
    const std::string upperFilter = UpperCase(filter != nullptr ? filter : "");
    if (!Platform_HasSerialPortClass()) {
        return 0;
    }
    int32_t count = startIndex;
    DeviceList* list = Platform_DeviceListOpen();
    if (list == nullptr) {
        return count;
    }
    // Texts are read in this order and a device whose text cannot be read is skipped.
    for (uint32_t index = 0; count < capacity; ++index) {
        if (Platform_DeviceListAt(list, index) != DeviceAt::present) {
            break;
        }
        char friendlyName[kDeviceTextSize] = {};
        char instanceId[kDeviceTextSize] = {};
        char description[kDeviceTextSize] = {};
        if (!Platform_DeviceListText(list, index, DeviceText::friendlyName, friendlyName) ||
            !Platform_DeviceListText(list, index, DeviceText::instanceId, instanceId) ||
            !Platform_DeviceListText(list, index, DeviceText::description, description)) {
            continue;
        }
        for (char& c : instanceId) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (!Contains(instanceId, upperFilter.c_str())) {
            continue;
        }
        PortEntry& entry = entries[count];
        CopyText(entry.instanceId, instanceId);
        CopyText(entry.friendlyName, friendlyName);
        CopyText(entry.description, description);
        // The serial number and location are optional: a device without them is still found.
        char text[kDeviceTextSize] = {};
        CopyText(entry.serialNumber,
                 Platform_DeviceListText(list, index, DeviceText::serialNumber, text) ? text : "");
        CopyText(entry.location,
                 Platform_DeviceListText(list, index, DeviceText::location, text) ? text : "");
        ++count;
    }
    Platform_DeviceListClose(list);
    return count;
}

int32_t IOL_GetProductText(const char* portName, char* text) {
    std::string key;
    if (!PortKey(portName, &key)) {
        return 0;
    }
    PortEntry entries[kLookupCapacity];
    const int32_t count = FindDevicePorts(entries, kLookupCapacity, kMasterFilter, 0);
    for (int32_t i = 0; i < count; ++i) {
        const PortEntry& entry = entries[i];
        const char* pid = std::strstr(entry.instanceId, "PID_0");
        if (!NamesPort(entry, key) || pid == nullptr || !Contains(entry.instanceId, "VID_6F3A")) {
            continue;
        }
        // The four characters after "PID_", fewer where the text ends before them.
        char digits[5] = {};
        for (size_t d = 0; d < 4 && pid[4 + d] != '\0'; ++d) {
            digits[d] = pid[4 + d];
        }
        // Read as hexadecimal up to the first character that is not a digit; none at all is 0.
        const unsigned long product = std::strtoul(digits, nullptr, 16);
        std::snprintf(text, 16, "USB2%05lx", product);
        return 1;
    }
    std::snprintf(text, 16, "%s", "               ");
    return 0;
}

int32_t IOL_IsSupportedMaster(const char* portName) {
    std::string key;
    if (!PortKey(portName, &key)) {
        return 0;
    }
    PortEntry entries[kLookupCapacity];
    const int32_t count = FindDevicePorts(entries, kLookupCapacity, kMasterFilter, 0);
    int32_t result = 0;
    // The last entry that names the port decides.
    for (int32_t i = 0; i < count; ++i) {
        const PortEntry& entry = entries[i];
        if (NamesPort(entry, key) && Contains(entry.instanceId, "VID_6F3A")) {
            result = Contains(entry.instanceId, "PID_0100") ||
                             Contains(entry.instanceId, "PID_02") ||
                             Contains(entry.instanceId, "PID_0507")
                         ? 1
                         : 0;
        }
    }
    return result;
}

UsbIdentity UsbIdentityOf(const PortEntry& entry) {
    UsbIdentity usb{};
    CopyWhole(usb.serialNumber, entry.serialNumber);
    CopyWhole(usb.location, entry.location);
    return usb;
}

int32_t FindFollowedMaster(const FollowCandidate* candidates, int32_t count,
                           const UsbIdentity& wanted, const char* portName) {
    if (candidates == nullptr || count <= 0 || count > kLookupCapacity) {
        return -1;
    }
    bool left[kLookupCapacity] = {};
    for (int32_t i = 0; i < count; ++i) {
        left[i] = candidates[i].usb != nullptr;
    }
    int32_t remaining = count;
    bool narrowed = false;
    if (wanted.serialNumber[0] != '\0') {
        remaining = Narrow(candidates, count, left, [&](const FollowCandidate& c) {
            return std::strcmp(c.usb->serialNumber, wanted.serialNumber) == 0;
        });
        narrowed = true;
    }
    if ((!narrowed || remaining > 1) && wanted.location[0] != '\0') {
        remaining = Narrow(candidates, count, left, [&](const FollowCandidate& c) {
            return std::strcmp(c.usb->location, wanted.location) == 0;
        });
        narrowed = true;
    }
    if (!narrowed && portName != nullptr) {
        remaining = Narrow(candidates, count, left, [&](const FollowCandidate& c) {
            return c.portName != nullptr && std::strcmp(c.portName, portName) == 0;
        });
        narrowed = true;
    }
    if (!narrowed || remaining != 1) {
        return -1;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (left[i]) {
            return i;
        }
    }
    return -1;
}
