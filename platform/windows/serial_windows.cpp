// The serial port on Windows: CreateFileA on the port's device path (exclusive, synchronous),
// 1000-byte driver queues, 921600 8N1 with DTR and RTS not driven, reads that never block, writes
// without a time limit.
#include "platform/windows/serial_windows.h"

#include <atomic>
#include <cctype>
#include <cstring>
#include <new>

#include "platform/common/seam_state.h"
#include "platform/platform.h"

struct SerialPort {
    HANDLE handle;
};

namespace {

constexpr char kDevicePrefix[] = R"(\\.\)";  // four characters
constexpr size_t kDevicePrefixLength = sizeof(kDevicePrefix) - 1;
constexpr char kUnfitName[] = "COM dummy";
constexpr DWORD kQueueSize = 1000;
constexpr DWORD kBitRate = 921600;

}  // namespace

void SerialWindows_DevicePath(const char* portName, char (&path)[kDevicePathSize]) {
    std::memcpy(path, kDevicePrefix, kDevicePrefixLength);
    // Never read further into the name than what could fit.
    const size_t nameLength = strnlen(portName, kDevicePathSize);
    const char* name =
        kDevicePrefixLength + nameLength + 1 <= kDevicePathSize ? portName : kUnfitName;
    const size_t length = name == portName ? nameLength : sizeof(kUnfitName) - 1;
    std::memcpy(path + kDevicePrefixLength, name, length);
    path[kDevicePrefixLength + length] = '\0';
}

void SerialWindows_ApplyLineSettings(DCB& settings) {
    settings.BaudRate = kBitRate;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fDtrControl = DTR_CONTROL_DISABLE;
    settings.fRtsControl = RTS_CONTROL_DISABLE;
    // The master's frames are binary: any byte value may come at any place (a length of 19 is
    // XOFF, 17 is XON, 0 is common). A port keeps whatever line settings the last program left,
    // so every field that would swallow, replace or hold back bytes, or stop the port after a
    // line error, is set raw here.
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
}

// Errors of ReadFile that mean the device is gone, without asking the port further. Access denied
// is what the system's USB serial driver reports on every read after its device was pulled. Other
// USB serial drivers report a pulled device as "device does not recognize the command"
// (ERROR_BAD_COMMAND), "device not connected" or "device removed"; serial port libraries treat
// these as a lost resource too. Each of them persists for the open handle, so the link is reported
// lost rather than retried. "Device not functioning" (ERROR_GEN_FAILURE) is not among them: some
// drivers report it for a transient fault as well, so it is judged by the ClearCommError that
// follows every other failed read (see Platform_SerialReadByte). ERROR_OPERATION_ABORTED is not
// among them either: it is a line error's abort, cleared by ClearCommError.
bool SerialWindows_ReadErrorMeansLost(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            return true;
        default:
            return false;
    }
}

namespace {

std::atomic<const SerialWindowsCommCalls*> g_commCalls{nullptr};

BOOL SetupQueues(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    const SerialWindowsCommCalls* calls = g_commCalls.load(std::memory_order_acquire);
    return calls != nullptr && calls->setupComm != nullptr
               ? calls->setupComm(handle, inQueue, outQueue)
               : SetupComm(handle, inQueue, outQueue);
}

BOOL GetState(HANDLE handle, DCB* settings) {
    const SerialWindowsCommCalls* calls = g_commCalls.load(std::memory_order_acquire);
    return calls != nullptr && calls->getCommState != nullptr
               ? calls->getCommState(handle, settings)
               : GetCommState(handle, settings);
}

BOOL SetState(HANDLE handle, DCB* settings) {
    const SerialWindowsCommCalls* calls = g_commCalls.load(std::memory_order_acquire);
    return calls != nullptr && calls->setCommState != nullptr
               ? calls->setCommState(handle, settings)
               : SetCommState(handle, settings);
}

BOOL ClearError(HANDLE handle, DWORD* errors, COMSTAT* status) {
    const SerialWindowsCommCalls* calls = g_commCalls.load(std::memory_order_acquire);
    return calls != nullptr && calls->clearCommError != nullptr
               ? calls->clearCommError(handle, errors, status)
               : ClearCommError(handle, errors, status);
}

}  // namespace

void SerialWindowsSeam_SetCommCalls(const SerialWindowsCommCalls* calls) {
    g_commCalls.store(calls, std::memory_order_release);
}

COMMTIMEOUTS SerialWindows_Timeouts() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

HANDLE SerialWindows_Handle(const SerialPort* port) {
    return port != nullptr ? port->handle : INVALID_HANDLE_VALUE;
}

namespace {

// Fills *failure (when given) and returns result.
SerialOpenResult OpenFailed(SerialOpenFailure* failure, SerialOpenResult result,
                            SerialOpenCause cause, DWORD error) {
    if (failure != nullptr) {
        // userInGroup and group stay empty: device groups are a POSIX notion.
        *failure = SerialOpenFailure{cause, static_cast<uint32_t>(error), {}, false};
    }
    return result;
}

// What a failed CreateFileA means to an operator. A COM port opened without sharing by another
// program fails with access denied: on Windows that is "in use", not a missing permission.
SerialOpenCause CauseOfOpenError(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return SerialOpenCause::inUse;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return SerialOpenCause::absent;
        default:
            return SerialOpenCause::other;
    }
}

}  // namespace

SerialOpenResult Platform_SerialOpen(const char* portName, SerialPort** out,
                                     SerialOpenFailure* failure) {
    if (failure != nullptr) {
        *failure = SerialOpenFailure{};
    }
    if (out == nullptr) {
        return OpenFailed(failure, SerialOpenResult::openFailed, SerialOpenCause::other,
                          ERROR_INVALID_PARAMETER);
    }
    *out = nullptr;
    if (portName == nullptr || portName[0] == '\0') {
        return OpenFailed(failure, SerialOpenResult::openFailed, SerialOpenCause::other,
                          ERROR_INVALID_NAME);
    }
    char path[kDevicePathSize];
    SerialWindows_DevicePath(portName, path);
    // No sharing: the port is ours alone while it is open.
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return OpenFailed(failure, SerialOpenResult::openFailed, CauseOfOpenError(error), error);
    }
    DCB settings{};
    settings.DCBlength = sizeof(settings);
    if (SetupQueues(handle, kQueueSize, kQueueSize) == FALSE ||
        GetState(handle, &settings) == FALSE) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return OpenFailed(failure, SerialOpenResult::configureFailed, SerialOpenCause::other,
                          error);
    }
    SerialWindows_ApplyLineSettings(settings);
    if (SetState(handle, &settings) == FALSE) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return OpenFailed(failure, SerialOpenResult::configureFailed, SerialOpenCause::other,
                          error);
    }
    // The current time-outs are read as the driver expects before they are replaced; neither
    // result changes the outcome: a port that keeps other time-outs still reads and writes.
    COMMTIMEOUTS current{};
    GetCommTimeouts(handle, &current);
    COMMTIMEOUTS timeouts = SerialWindows_Timeouts();
    SetCommTimeouts(handle, &timeouts);

    auto* port = new (std::nothrow) SerialPort{handle};
    if (port == nullptr) {
        CloseHandle(handle);
        return OpenFailed(failure, SerialOpenResult::openFailed, SerialOpenCause::other,
                          ERROR_NOT_ENOUGH_MEMORY);
    }
    *out = port;
    return SerialOpenResult::ok;
}

SerialReadResult Platform_SerialReadByte(SerialPort* port, uint8_t* out) {
    if (port == nullptr || port->handle == INVALID_HANDLE_VALUE || out == nullptr) {
        return SerialReadResult::error;
    }
    uint8_t byte = 0;
    DWORD got = 0;
    BOOL ok = FALSE;
    if (SerialReadCall(*hook)() = SeamState_SerialReadHook(); hook != nullptr) {
        const SerialReadCall call = hook();
        ok = call.got >= 0 ? TRUE : FALSE;
        got = call.got > 0 ? static_cast<DWORD>(call.got) : 0;
        byte = call.byte;
        SetLastError(call.error);
    } else {
        ok = ReadFile(port->handle, &byte, 1, &got, nullptr);
    }
    if (ok == FALSE) {
        const DWORD error = GetLastError();
        if (SerialWindows_ReadErrorMeansLost(error)) {
            return SerialReadResult::lost;
        }
        // A line error (with abort-on-error set by a driver despite the settings) stops every
        // read until the error is cleared; clearing it lets the next read go on. When the port
        // cannot even be asked for its errors, the device behind the handle is gone: that also
        // decides "device not functioning", which a driver may report for a passing fault (the
        // link goes on) as well as for a pulled device (ClearCommError fails too).
        DWORD lineErrors = 0;
        COMSTAT status{};
        if (ClearError(port->handle, &lineErrors, &status) == FALSE) {
            return SerialReadResult::lost;
        }
        return SerialReadResult::error;
    }
    if (got == 0) {
        return SerialReadResult::none;
    }
    *out = byte;
    return SerialReadResult::byte;
}

bool Platform_SerialWrite(SerialPort* port, const uint8_t* data, uint32_t length,
                          uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (port == nullptr || port->handle == INVALID_HANDLE_VALUE ||
        (data == nullptr && length > 0)) {
        return false;
    }
    DWORD put = 0;
    const BOOL ok = WriteFile(port->handle, data, length, &put, nullptr);
    if (written != nullptr) {
        *written = static_cast<uint32_t>(put);
    }
    return ok != FALSE;
}

bool Platform_SerialClose(SerialPort* port) {
    if (port == nullptr) {
        return false;
    }
    if (port->handle == INVALID_HANDLE_VALUE) {
        // An earlier close reported a failure; the handle is not closed a second time, as its
        // value may already name another object.
        delete port;
        return true;
    }
    if (CloseHandle(port->handle) == FALSE) {
        // The record stays for the caller, who sees the port as still open; a second close
        // then frees it.
        port->handle = INVALID_HANDLE_VALUE;
        return false;
    }
    delete port;
    return true;
}

const char* Platform_PortNameMarker() {
    return "(COM";
}

// Port names and the serial numbers in instance IDs are ASCII; the system compares them without
// regard to letter case.
bool Platform_SameName(const char* typed, const char* name) {
    if (typed == nullptr || name == nullptr) {
        return false;
    }
    for (; *typed != '\0' && *name != '\0'; ++typed, ++name) {
        const auto a = static_cast<unsigned char>(*typed);
        const auto b = static_cast<unsigned char>(*name);
        if (std::toupper(a) != std::toupper(b)) {
            return false;
        }
    }
    return *typed == *name;
}

// The device path the program itself opens (\\.\COM12), or the same with the \\?\ prefix.
bool Platform_PathLeadsToPort(const char* path, const char* portName) {
    if (path == nullptr || portName == nullptr || portName[0] == '\0') {
        return false;
    }
    if (std::strncmp(path, R"(\\.\)", 4) != 0 && std::strncmp(path, R"(\\?\)", 4) != 0) {
        return false;
    }
    return Platform_SameName(path + 4, portName);
}
