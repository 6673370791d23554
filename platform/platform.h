// The operations that the updater, the master link and the services need from the operating
// system: time, console key press, the recursive library lock, threads, serial ports and the
// device list. One implementation per platform lives in platform/<os>/; this header carries no
// OS type, so nothing above it knows which one is built.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Time ----

// Pauses the calling thread for ms milliseconds.
void Platform_SleepMs(uint32_t ms);

// Milliseconds since an arbitrary start, wrapping modulo 2^32 (as a tick counter does).
uint32_t Platform_TickMs();

// A calendar time in UTC.
struct UtcTime {
    uint16_t year;
    uint8_t month;  // 1..12
    uint8_t day;    // 1..31
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    uint16_t millisecond;
};

// The current time in UTC, to the millisecond.
UtcTime Platform_UtcNow();

// ---- Console ----

// Reads one key press without echo. Returns the key's byte value, or -1 when standard input has
// ended (the prompt then counts as answered, so that nothing waits for ever).
int Platform_ReadKey();

// ---- Recursive lock ----

struct PlatformLock;

// nullptr when no lock could be created.
PlatformLock* Platform_LockCreate();
void Platform_LockDelete(PlatformLock* lock);
void Platform_LockEnter(PlatformLock* lock);
void Platform_LockLeave(PlatformLock* lock);

// ---- Threads ----

struct PlatformThread;

// Starts body(arg) on a new thread; nullptr when the thread could not be started.
PlatformThread* Platform_ThreadStart(void (*body)(void*), void* arg);

// Waits until body has returned and releases the thread's resources.
void Platform_ThreadJoin(PlatformThread* thread);

// ---- Serial port ----

struct SerialPort;

enum class SerialOpenResult : uint8_t {
    ok,
    openFailed,       // absent, held by another program, no access, or a name that is too long
    configureFailed,  // opened, but the line settings could not be applied (the port is closed)
};

// Why the last Platform_SerialOpen on the calling thread failed, for an operator's hint; the
// open's own result stays one of the above.
enum class SerialOpenCause : uint8_t {
    none,      // the last open succeeded (or none was made)
    noAccess,  // the user may not open the device
    inUse,     // another program holds the port
    absent,    // no such device (unplugged, or still being set up by the system)
    other,     // any other failure, the settings included
};

constexpr size_t kGroupNameSize = 32;

struct SerialOpenFailure {
    SerialOpenCause cause;
    uint32_t error;              // the system's error code (errno, GetLastError()); 0 if none
    char group[kGroupNameSize];  // noAccess on POSIX: the device node's group ("" if unknown)
};

SerialOpenFailure Platform_SerialLastOpenFailure();

// Opens the named port exclusively for reading and writing and configures it for the master:
// 921600 bit/s, 8 data bits, no parity, one stop bit, no flow control, DTR and RTS not driven,
// raw bytes both ways, reads that never block, writes without a time limit.
SerialOpenResult Platform_SerialOpen(const char* portName, SerialPort** out);

enum class SerialReadResult : uint8_t {
    byte,   // one byte was read
    none,   // nothing received yet
    lost,   // the device is gone (unplugged); takes the place of Windows' access-denied error
    error,  // any other read failure
};

// Reads at most one byte, never blocking.
SerialReadResult Platform_SerialReadByte(SerialPort* port, uint8_t* out);

// Writes length bytes, blocking until all are written or the write fails. Returns false when the
// write call failed; *written is the number of bytes that went out.
bool Platform_SerialWrite(SerialPort* port, const uint8_t* data, uint32_t length,
                          uint32_t* written);

// Closes the port. Returns false when closing failed (the port is then still open).
bool Platform_SerialClose(SerialPort* port);

// The text that precedes a serial port's name in a device's friendly name: "(COM" on Windows,
// "(tty" on POSIX. The port name starts at the character after the "(".
const char* Platform_PortNameMarker();

// ---- Device list ----

// Size of each text buffer of the device list; a text of this length or longer is unreadable.
constexpr size_t kDeviceTextSize = 256;

struct DeviceList;

enum class DeviceText : uint8_t { friendlyName, instanceId, description };

enum class DeviceAt : uint8_t {
    present,  // a device stands at this index
    end,      // no more devices
    failed,   // the list cannot be walked further
};

// True when the system knows serial ports at all (on Windows, the "Ports" device class).
bool Platform_HasSerialPortClass();

// A snapshot of the present devices; nullptr when it cannot be obtained.
DeviceList* Platform_DeviceListOpen();

// Whether a device stands at index (0, 1, 2, ... in the system's enumeration order).
DeviceAt Platform_DeviceListAt(DeviceList* list, uint32_t index);

// Copies one text of the device at index into buffer (kDeviceTextSize bytes, zero-terminated).
// Returns false when the device has no such text or it does not fit the buffer.
bool Platform_DeviceListText(DeviceList* list, uint32_t index, DeviceText which,
                             char (&buffer)[kDeviceTextSize]);

void Platform_DeviceListClose(DeviceList* list);
