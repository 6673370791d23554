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

void CopyText(char (&to)[kPortTextSize], const char (&from)[kDeviceTextSize]) {
    std::snprintf(to, sizeof(to), "%s", from);
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
