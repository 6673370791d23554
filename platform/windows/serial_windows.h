// Internals of the Windows serial port that its tests check: the device path rule, the line
// settings and time-outs applied on open, and the handle behind an open port. Only this folder and
// the Windows tests include this header; nothing above the platform layer sees a Windows type.
#pragma once

#include <windows.h>

#include <cstddef>

#include "platform/platform.h"

// The buffer the device path is built in.
constexpr size_t kDevicePathSize = 100;

// "\\.\" + portName. When the prefix, the name and the terminating zero would not fit the buffer
// (a name of more than 95 characters), "COM dummy" stands in for the name: a path that names no
// device, so that the open fails in the ordinary way.
void SerialWindows_DevicePath(const char* portName, char (&path)[kDevicePathSize]);

// The master's line settings on top of what the driver reported: 921600 bit/s, 8 data bits, no
// parity, one stop bit, DTR and RTS not driven, and a raw line (binary mode; no parity checking,
// no CTS/DSR flow control, no DSR sensitivity, no XON/XOFF, no error character, no null
// stripping, no abort on error). Every other field keeps the driver's value.
void SerialWindows_ApplyLineSettings(DCB& settings);

// Whether a failed ReadFile's error means that the device is gone, whatever ClearCommError then
// says. Any other failed read is followed by ClearCommError, and is "lost" when that fails too.
bool SerialWindows_ReadErrorMeansLost(DWORD error);

// The comm calls the port makes on open and after a failed read. Tests replace them to see what
// is written back and to present a port in a given state (with setupComm too, a handle that is no
// COM port opens as one); nullptr members (or a nullptr table) mean the system's calls.
struct SerialWindowsCommCalls {
    BOOL (*getCommState)(HANDLE, DCB*);
    BOOL (*setCommState)(HANDLE, DCB*);
    BOOL (*clearCommError)(HANDLE, DWORD*, COMSTAT*);
    BOOL (*setupComm)(HANDLE, DWORD, DWORD);
};
void SerialWindowsSeam_SetCommCalls(const SerialWindowsCommCalls* calls);

// Reads return at once with what is buffered (possibly nothing); writes have no time limit.
COMMTIMEOUTS SerialWindows_Timeouts();

// The handle of an open port.
HANDLE SerialWindows_Handle(const SerialPort* port);
