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

// What Platform_ReadKey returns instead of a key's byte value (0..255).
constexpr int kKeyEndOfInput = -1;     // standard input has ended: nobody can answer
constexpr int kKeyReadError = -2;      // standard input cannot be read
constexpr int kKeyStopRequested = -3;  // the operator asked the program to stop (Ctrl-C) at the
                                       // prompt; the request is recorded (Platform_StopRequests)

// Reads one key press without echo and returns its byte value, or one of the values above. From
// a file or a pipe each byte is one key.
int Platform_ReadKey();

// True when the program should wait for a key before it ends, so that the operator can read the
// result in a console window that closes the moment the program ends: on Windows a program
// started interactively from Explorer into a visible console window of its own (it is the
// console's only process and standard input is that console). Never from a command prompt, with
// redirected input, in a hidden or window-less console, in a process started without a user's
// desktop, on POSIX, or when machineOutput is set: the caller asked for an answer that a program
// reads (--exit-code), so nobody is there to press a key.
bool Platform_PausesAtExit(bool machineOutput);

// ---- Stop requests ----

// What asked the program to stop.
enum class StopCause : uint8_t {
    none,
    interrupt,  // SIGINT; Ctrl-C (also as the key 0x03 at a Windows prompt)
    terminate,  // SIGTERM; Ctrl-Break
    hangup,     // SIGHUP: the terminal or the ssh session was closed
    quit,       // SIGQUIT: Ctrl-\ on a terminal
    closing,    // Windows: the console window is closed, the user logs off, the system shuts down
};

struct StopRequests {
    uint32_t count;   // requests so far (0: none)
    StopCause first;  // the first request's cause
    bool urgent;      // the system ends the process within seconds whatever it does (closing)
};

// Installs the handlers of the operator's stop requests (POSIX: SIGINT, SIGTERM, SIGHUP, SIGQUIT;
// Windows: Ctrl-C, Ctrl-Break, closing the console window, logoff, shutdown). A handler only
// records the request; the program decides at its safe points. A POSIX signal that the program
// inherited as ignored (SIGHUP under nohup; SIGINT and SIGQUIT for a command that a script started
// with &) stays ignored: the caller chose so, and it is never recorded or raised again. SIGPIPE is
// ignored from here on, so that a closed standard output shows as a failed write instead of ending
// the process. Threads started after this call do not take these signals.
void Platform_StopHandlersInstall();

// The requests recorded so far; may be called from any thread.
StopRequests Platform_StopRequests();

// Ends the process as the first request would have ended it without the handlers (POSIX: the
// default action restored and the signal raised again; Windows: the exit status of the default
// handler, STATUS_CONTROL_C_EXIT). Releases a Windows close handler that waits for the program
// first. Returns only when no request was recorded.
void Platform_EndAsStopRequested();

// Windows: the program has closed its link and is about to end; a close, logoff or shutdown
// handler that waits for this (a few seconds at most) returns, and the system ends the process.
// POSIX: nothing.
void Platform_StopCleanupDone();

// ---- Power ----

// While on, asks the system not to go to sleep for being idle (Windows: SetThreadExecutionState
// with ES_SYSTEM_REQUIRED); an update must not be cut by a sleeping PC. A sleep that the user or
// the power state asks for is not held off. POSIX: nothing (run the program under systemd-inhibit
// instead).
void Platform_KeepAwake(bool on);

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

// Why an open failed, for an operator's hint; the open's result stays one of the above.
enum class SerialOpenCause : uint8_t {
    none,      // the open succeeded
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
    bool userInGroup;            // noAccess on POSIX: the user is already in that group
};

// Opens the named port exclusively for reading and writing and configures it for the master:
// 921600 bit/s, 8 data bits, no parity, one stop bit, no flow control, DTR and RTS not driven,
// raw bytes both ways, reads that never block, writes without a time limit. When the open fails,
// *failure (if given) says why; it belongs to this call alone.
SerialOpenResult Platform_SerialOpen(const char* portName, SerialPort** out,
                                     SerialOpenFailure* failure = nullptr);

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

// Whether a name an operator typed is the given port name or USB serial number: exactly on POSIX
// (ttyACM1); on Windows in any letter case, as the system itself treats COM12 and com12 (and
// keeps serial numbers upper case in its instance IDs).
bool Platform_SameName(const char* typed, const char* name);

// Whether path leads to the serial port named portName: POSIX, a device node or any symbolic
// link to it (/dev/ttyACM1, /dev/serial/by-id/...), both sides resolved before they are compared;
// Windows, the port's device path (\\.\COM12, in any letter case). False for anything else.
bool Platform_PathLeadsToPort(const char* path, const char* portName);

// True when standard output and standard error go to a terminal (a console on Windows), where
// the lines of both meet on one screen.
bool Platform_OutputsShareTerminal();

// ---- Device list ----

// Size of each text buffer of the device list; a text of this length or longer is unreadable.
constexpr size_t kDeviceTextSize = 256;

struct DeviceList;

// The texts of a device. serialNumber and location tell two devices of one kind apart; a device
// may have neither (an empty text is then read as absent).
enum class DeviceText : uint8_t {
    friendlyName,
    instanceId,
    description,
    serialNumber,  // the USB device's serial number (POSIX: its serial attribute; Windows: the
                   // instance ID's last part where the device reports one)
    location,      // where the USB device sits (POSIX: its sysfs name such as 1-1.2; Windows:
                   // the location information the device reports, such as Port_#0002.Hub_#0001)
};

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

// ---- What a record of a run needs ----

struct PlatformLogFile;

// Opens path for appending, creating it when absent and never truncating it; only a regular file
// is taken. nullptr when it cannot be opened, *error the system's code (errno, GetLastError()).
PlatformLogFile* Platform_LogOpen(const char* path, uint32_t* error);

// Appends length bytes in one write at the file's end (processes that share the file never mix
// their lines) and flushes them to the disk. False, with *error, when either failed.
bool Platform_LogAppend(PlatformLogFile* file, const char* data, size_t length, uint32_t* error);

void Platform_LogClose(PlatformLogFile* file);

// The system's text for an error code of the calls above, in text (size bytes, terminated).
void Platform_ErrorText(uint32_t error, char* text, size_t size);

// The computer's host name and the name of the user the program runs as (terminated; false when
// the system cannot say).
bool Platform_HostName(char* text, size_t size);
bool Platform_UserName(char* text, size_t size);

// The device path a serial port is opened by: /dev/ttyACM0 on POSIX, \\.\COM12 on Windows.
void Platform_SerialDevicePath(const char* portName, char* text, size_t size);

// SHA-256 of data, by the system's cryptographic library (POSIX: OpenSSL's libcrypto; Windows:
// CNG in bcrypt.dll). False when it could not be computed.
constexpr size_t kSha256Size = 32;
bool Platform_Sha256(const uint8_t* data, size_t length, uint8_t (&digest)[kSha256Size]);
