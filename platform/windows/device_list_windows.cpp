// The device list from the Setup API: the present devices of all classes that expose a device
// interface, walked by index, with each device's friendly name, instance ID and description, and
// for telling two masters apart its USB serial number and location.
#include <windows.h>
// setupapi.h needs the declarations of windows.h first.
#include <setupapi.h>

#include <cstring>
#include <new>
#include <vector>

#include "platform/common/os_device_list.h"
#include "platform/platform.h"

struct OsDeviceList {
    HDEVINFO set;
    // The device found at `index` by the last successful walk step, so that reading its three
    // texts does not walk the set again.
    bool haveDevice;
    DWORD index;
    SP_DEVINFO_DATA device;
};

namespace {

constexpr char kPortsClassName[] = "Ports";
// DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE.
constexpr DWORD kDeviceSetFlags = 0x16;
static_assert(kDeviceSetFlags == (DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE));

// Finds the device at index, from the cache or by asking the set.
bool DeviceAtIndex(OsDeviceList* list, uint32_t index, DWORD* error) {
    *error = ERROR_SUCCESS;
    if (list->haveDevice && list->index == index) {
        return true;
    }
    list->haveDevice = false;
    list->device = SP_DEVINFO_DATA{};
    list->device.cbSize = sizeof(SP_DEVINFO_DATA);
    if (SetupDiEnumDeviceInfo(list->set, index, &list->device) == FALSE) {
        *error = GetLastError();
        return false;
    }
    list->haveDevice = true;
    list->index = index;
    return true;
}

// A registry text as the system returns it: it must be a string, and it must fit the buffer
// with its terminating zero (the system leaves out the zero when a value was stored without one).
bool ReadProperty(OsDeviceList* list, DWORD property, char (&buffer)[kDeviceTextSize]) {
    DWORD type = 0;
    DWORD size = 0;
    if (SetupDiGetDeviceRegistryPropertyA(list->set, &list->device, property, &type,
                                          reinterpret_cast<PBYTE>(buffer), kDeviceTextSize,
                                          &size) == FALSE) {
        return false;
    }
    if (type != REG_SZ || size > kDeviceTextSize) {
        return false;
    }
    const size_t length = strnlen(buffer, size);
    if (length == kDeviceTextSize) {
        return false;
    }
    buffer[length] = '\0';
    return true;
}

bool ReadInstanceId(OsDeviceList* list, char (&buffer)[kDeviceTextSize]) {
    DWORD size = 0;
    return SetupDiGetDeviceInstanceIdA(list->set, &list->device, buffer, kDeviceTextSize, &size) !=
           FALSE;
}

// A USB device's instance ID is USB\VID_vvvv&PID_pppp\<serial number> when the device reports a
// serial number; without one (and for one interface of a composite device, USB\...&MI_nn\...)
// the system makes up the last part, and a made-up part always holds a "&". Such a device has no
// serial number to tell it by.
bool ReadSerialNumber(OsDeviceList* list, char (&buffer)[kDeviceTextSize]) {
    char id[kDeviceTextSize] = {};
    if (!ReadInstanceId(list, id) || _strnicmp(id, "USB\\", 4) != 0 ||
        std::strstr(id, "&MI_") != nullptr) {
        return false;
    }
    const char* last = std::strrchr(id, '\\');
    if (last == nullptr || last[1] == '\0' || std::strchr(last, '&') != nullptr) {
        return false;
    }
    std::memcpy(buffer, last + 1, std::strlen(last + 1) + 1);
    return true;
}

}  // namespace

// The "Ports" class list is asked for twice, first for its length and then for the list; only
// its existence is used.
bool OsDeviceList_HasSerialPortClass() {
    DWORD count = 0;
    SetupDiClassGuidsFromNameA(kPortsClassName, nullptr, 0, &count);
    if (count == 0) {
        return false;
    }
    std::vector<GUID> classes;
    try {
        classes.resize(count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    DWORD stored = 0;
    return SetupDiClassGuidsFromNameA(kPortsClassName, classes.data(), count, &stored) != FALSE;
}

OsDeviceList* OsDeviceList_Open() {
    const HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kDeviceSetFlags);
    if (set == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* list = new (std::nothrow) OsDeviceList{set, false, 0, SP_DEVINFO_DATA{}};
    if (list == nullptr) {
        SetupDiDestroyDeviceInfoList(set);
    }
    return list;
}

DeviceAt OsDeviceList_At(OsDeviceList* list, uint32_t index) {
    DWORD error = ERROR_SUCCESS;
    if (DeviceAtIndex(list, index, &error)) {
        return DeviceAt::present;
    }
    // No more items (259) ends the walk normally; any other error ends it as a failure.
    return error == ERROR_NO_MORE_ITEMS ? DeviceAt::end : DeviceAt::failed;
}

bool OsDeviceList_Text(OsDeviceList* list, uint32_t index, DeviceText which,
                       char (&buffer)[kDeviceTextSize]) {
    DWORD error = ERROR_SUCCESS;
    if (!DeviceAtIndex(list, index, &error)) {
        buffer[0] = '\0';
        return false;
    }
    bool ok = false;
    switch (which) {
        case DeviceText::friendlyName:
            ok = ReadProperty(list, SPDRP_FRIENDLYNAME, buffer);
            break;
        case DeviceText::instanceId:
            ok = ReadInstanceId(list, buffer);
            break;
        case DeviceText::description:
            ok = ReadProperty(list, SPDRP_DEVICEDESC, buffer);
            break;
        case DeviceText::serialNumber:
            ok = ReadSerialNumber(list, buffer);
            break;
        case DeviceText::location:
            // "Port_#0002.Hub_#0001": the hub and its port that the device is plugged into.
            ok = ReadProperty(list, SPDRP_LOCATION_INFORMATION, buffer) && buffer[0] != '\0';
            break;
    }
    if (!ok) {
        buffer[0] = '\0';
    }
    return ok;
}

void OsDeviceList_Close(OsDeviceList* list) {
    SetupDiDestroyDeviceInfoList(list->set);
    delete list;
}
