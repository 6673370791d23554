// The device list seen by the rest of the program: the system's list, or the fake list that a
// test has set. Which one a list serves is fixed when it is opened.
#include <cstring>
#include <new>

#include "platform/common/os_device_list.h"
#include "platform/common/seam_state.h"
#include "platform/platform.h"

struct DeviceList {
    FakeDeviceListView fake;
    OsDeviceList* os;
};

// A fake list stands for a system that has serial ports.
bool Platform_HasSerialPortClass() {
    return SeamState_FakeDeviceList().set || OsDeviceList_HasSerialPortClass();
}

DeviceList* Platform_DeviceListOpen() {
    const FakeDeviceListView fake = SeamState_FakeDeviceList();
    OsDeviceList* os = nullptr;
    if (!fake.set) {
        os = OsDeviceList_Open();
        if (os == nullptr) {
            return nullptr;
        }
    }
    auto* list = new (std::nothrow) DeviceList{fake, os};
    if (list == nullptr && os != nullptr) {
        OsDeviceList_Close(os);
    }
    return list;
}

DeviceAt Platform_DeviceListAt(DeviceList* list, uint32_t index) {
    if (list == nullptr) {
        return DeviceAt::failed;
    }
    if (!list->fake.set) {
        return OsDeviceList_At(list->os, index);
    }
    return index < list->fake.count ? DeviceAt::present : DeviceAt::end;
}

bool Platform_DeviceListText(DeviceList* list, uint32_t index, DeviceText which,
                             char (&buffer)[kDeviceTextSize]) {
    buffer[0] = '\0';
    if (list == nullptr) {
        return false;
    }
    if (!list->fake.set) {
        return OsDeviceList_Text(list->os, index, which, buffer);
    }
    if (index >= list->fake.count) {
        return false;
    }
    const FakeDevice& device = list->fake.devices[index];
    const char* text = nullptr;
    switch (which) {
        case DeviceText::friendlyName:
            text = device.friendlyName;
            break;
        case DeviceText::instanceId:
            text = device.instanceId;
            break;
        case DeviceText::description:
            text = device.description;
            break;
        case DeviceText::serialNumber:
            text = device.serialNumber;
            break;
        case DeviceText::location:
            text = device.location;
            break;
    }
    if (text == nullptr) {
        return false;
    }
    // As with the system's list: a text that needs the whole buffer or more cannot be read.
    const size_t length = strnlen(text, kDeviceTextSize);
    if (length >= kDeviceTextSize) {
        return false;
    }
    std::memcpy(buffer, text, length + 1);
    return true;
}

void Platform_DeviceListClose(DeviceList* list) {
    if (list == nullptr) {
        return;
    }
    if (list->os != nullptr) {
        OsDeviceList_Close(list->os);
    }
    delete list;
}
