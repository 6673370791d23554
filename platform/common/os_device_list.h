// The system's own device list, implemented once per platform. The Platform_DeviceList*
// functions (common/device_list.cpp) call these unless a test has set a fake device list.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct OsDeviceList;

bool OsDeviceList_HasSerialPortClass();
OsDeviceList* OsDeviceList_Open();
DeviceAt OsDeviceList_At(OsDeviceList* list, uint32_t index);
bool OsDeviceList_Text(OsDeviceList* list, uint32_t index, DeviceText which,
                       char (&buffer)[kDeviceTextSize]);
void OsDeviceList_Close(OsDeviceList* list);
