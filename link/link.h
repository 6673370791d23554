// The master link: port enumeration, the link table and serial link, the frame receiver with its
// event ring, and request/response. Together with services/services.h this is the library's
// public interface.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "platform/platform.h"

// ---- Result codes of the library, defined once ----

constexpr int32_t IOL_OK = 0;
constexpr int32_t IOL_ERR_SEND = -1;             // port write failed or incomplete (link closed);
                                                 // IOL_Destroy: closing the port failed;
                                                 // IOL_QueryDD: response of another frame type
constexpr int32_t IOL_ERR_OPEN = -2;             // the port cannot be opened
constexpr int32_t IOL_ERR_CONFIGURE = -3;        // the port cannot be configured
constexpr int32_t IOL_ERR_NO_SLOT = -4;          // no free link slot
constexpr int32_t IOL_ERR_LOST = -5;             // the port was lost; the link has been closed
constexpr int32_t IOL_ERR_TIMEOUT = -6;          // no response within the wait
constexpr int32_t IOL_ERR_NO_LINK = -7;          // the slot number names no open link
constexpr int32_t IOL_ERR_NO_EVENT = -8;         // no unread port event
constexpr int32_t IOL_ERR_NO_NAME = -10;         // no port name; IOL_ResetPort: master status 4
constexpr int32_t IOL_ERR_FRAME_TYPE = -11;      // response of another frame type;
                                                 // IOL_ResetPort: other master status
constexpr int32_t IOL_ERR_RESET_STATUS1 = -12;   // IOL_ResetPort: master status 1
constexpr int32_t IOL_BOOT_FRAME_TYPE = 0x1000;  // boot-loader call: response of another type

// ---- Port enumeration ----

constexpr size_t kPortTextSize = kDeviceTextSize;

// One serial port found by FindDevicePorts.
struct PortEntry {
    char instanceId[kPortTextSize];    // upper case, contains VID_vvvv&PID_pppp
    char friendlyName[kPortTextSize];  // ends with the port name in parentheses
    char description[kPortTextSize];
    // What tells two masters of one kind apart; "" where the device does not say.
    char serialNumber[kPortTextSize];  // the USB serial number
    char location[kPortTextSize];      // where the USB device is plugged in
};

// A master's USB identity: what finds it again when it re-enumerates after a restart, whatever
// name its port gets then. Texts that do not fit are left empty (a 63-character serial number is
// longer than any a master reports).
constexpr size_t kUsbTextSize = 64;
struct UsbIdentity {
    char serialNumber[kUsbTextSize];  // "" when the device has none
    char location[kUsbTextSize];      // "" when the system does not say
};

// The USB identity of a found port.
UsbIdentity UsbIdentityOf(const PortEntry& entry);

// One candidate for FindFollowedMaster: a master's USB identity and its port name.
struct FollowCandidate {
    const UsbIdentity* usb;
    const char* portName;
};

// Which of the candidates is the master wanted: the one with its serial number when it has one
// (where several share that number, the one among them at its location); without a serial
// number, the one at its location; where the system says neither, the one with its port name.
// The index, or -1 when none or more than one is left.
int32_t FindFollowedMaster(const FollowCandidate* candidates, int32_t count,
                           const UsbIdentity& wanted, const char* portName);

// Fills entries[startIndex..capacity-1] with the present devices whose instance ID contains
// filter (case-insensitive); returns the index after the last entry filled.
int32_t FindDevicePorts(PortEntry* entries, int32_t capacity, const char* filter,
                        int32_t startIndex);

// 1 and "USB2" + the product ID in five lower-case hex digits when portName belongs to a master;
// otherwise 0 (text set to fifteen spaces once the search ran). text holds at least 16 bytes.
int32_t IOL_GetProductText(const char* portName, char* text);

// 1 when portName belongs to a master with a supported product ID, else 0.
int32_t IOL_IsSupportedMaster(const char* portName);

// ---- Frames ----

constexpr size_t kFrameBufferSize = 384;   // request and response buffers of a link
constexpr uint16_t kMaxFrameLength = 500;  // longest frame the receiver accepts
constexpr uint8_t kFrameFormat = 0x02;     // format byte of every frame the master sends
constexpr uint8_t kFrameTypePortEvent = 4;
constexpr uint8_t kFrameTypeLog = 32;

// One record of a link's event ring.
struct PortEvent {
    uint16_t number;  // eventCount after it was incremented for this event
    uint16_t port;
    uint16_t eventCode;
    uint8_t eventData[5];
};

// ---- Links ----

constexpr size_t kEventRingSize = 11;     // at most 10 unread events
constexpr size_t kPortCount = 16;         // entries of portState and portFlag
constexpr size_t kLinkPortNameSize = 10;  // port names of at most 9 characters
constexpr int32_t kLinkSlots = 20;        // slot 0 is never given out
constexpr uint32_t kLinkBaudRate = 921600;

// runState values: the receive thread's handshake.
constexpr uint8_t kRunStarting = 0;
constexpr uint8_t kRunRunning = 1;
constexpr uint8_t kRunStopRequested = 2;
constexpr uint8_t kRunStopped = 3;

// sendStatus values.
constexpr uint8_t kSendOk = 0;
constexpr uint8_t kSendFailed = 2;
constexpr uint8_t kSendIncomplete = 3;

// An open connection to a master, owned by its LinkTable slot.
struct Link {
    SerialPort* portHandle = nullptr;
    std::atomic<uint8_t> online{0};    // cleared by the receive thread when the port is lost
    std::atomic<uint8_t> runState{0};  // kRun* handshake between caller and receive thread
    uint32_t baudRate = 0;
    std::array<uint8_t, kFrameBufferSize> response{};
    uint16_t responseLength = 0;
    std::atomic<uint8_t> responseReady{0};  // 1 writer of 1 (receiver), 1 writer of 0 (caller)
    std::array<uint8_t, kFrameBufferSize> request{};
    uint16_t requestLength = 0;
    uint8_t sendStatus = 0;
    char portName[kLinkPortNameSize] = {};
    uint16_t eventCount = 0;
    uint8_t eventTail = 0;
    uint8_t eventHead = 0;
    std::ostream* logStream = nullptr;
    uint8_t logEnabled = 0;
    uint16_t logDateStyle = 0;
    std::array<uint8_t, kPortCount> portFlag{};
    std::array<uint8_t, kPortCount> portState{};
    int32_t slot = 0;
    std::array<PortEvent, kEventRingSize> events{};
    PlatformThread* thread = nullptr;  // the receive thread, joined by IOL_Destroy
};

// Opens portName, configures it and starts its receive thread. Returns the slot number 1..19,
// or IOL_ERR_NO_NAME, IOL_ERR_OPEN, IOL_ERR_CONFIGURE, IOL_ERR_NO_SLOT.
int32_t IOL_Create(const char* portName);
// The same; when the result is IOL_ERR_OPEN or IOL_ERR_CONFIGURE, *why (if given) says why this
// call could not open the port (for the operator's hint). Otherwise why->cause is none.
int32_t IOL_CreateWithCause(const char* portName, SerialOpenFailure* why);

// Stops the receive thread, closes the port and frees the slot: IOL_OK, IOL_ERR_NO_LINK or
// IOL_ERR_SEND (closing failed; the slot stays taken).
int32_t IOL_Destroy(int32_t slot);

// Library start-up (creates the library lock) and shut-down (closes every open link, then
// deletes the lock). Both return IOL_OK.
int32_t IOL_LibraryAttach();
int32_t IOL_LibraryDetach();

// The library lock, taken from outside. It is recursive.
void IOL_Lock();
void IOL_Unlock();

// Holds the library lock for a scope.
class LibraryLockGuard {
  public:
    LibraryLockGuard() { IOL_Lock(); }
    ~LibraryLockGuard() { IOL_Unlock(); }
    LibraryLockGuard(const LibraryLockGuard&) = delete;
    LibraryLockGuard& operator=(const LibraryLockGuard&) = delete;
};

// Link table operations for the rest of the library.
int32_t LinkTable_AllocSlot(Link** out);
void LinkTable_FreeSlot(int32_t slot);
int32_t LinkTable_CheckSlot(int32_t slot);
int32_t LinkTable_GetLink(int32_t slot, Link** out);
Link* LinkTable_At(int32_t slot);

// Sets where a link writes its log lines (nullptr: none) and the date style of their stamps
// (low byte 7: day.month.year). Returns IOL_OK or IOL_ERR_NO_LINK.
int32_t IOL_SetLogStream(int32_t slot, std::ostream* stream, uint16_t dateStyle);

// ---- Receiver ----

// The receive thread's body; arg is the Link.
void Link_ReceiveThread(Link* link);

// Raw receive capture, one per library.
constexpr size_t kCaptureSize = 1000;
void IOL_StartCapture();
void IOL_StopCapture();
// Copies up to size captured bytes into buffer and returns how many were copied.
size_t IOL_ReadCapture(uint8_t* buffer, size_t size);

// ---- Request and response ----

// Number of 10 ms polls a response is awaited.
constexpr int32_t ResponseWaitPolls = 200;

void Link_SetRequestType(Link* link, uint8_t type);
uint8_t Link_ResponseType(const Link* link);
void Link_SetRequestHeader(Link* link, uint8_t firstParam, uint8_t format);
void Link_SetRequestLength(Link* link, uint16_t length);
// Sends the first length bytes of request: IOL_OK, or IOL_ERR_SEND (the link is then closed).
int32_t Link_Send(Link* link, uint8_t firstParam, uint16_t length, uint8_t format);
// IOL_OK once a response is held, IOL_ERR_TIMEOUT when none came within ResponseWaitPolls.
int32_t Link_WaitResponse(Link* link);
// The port status byte of one port (255: no port).
uint8_t Link_PortStatusBits(Link* link, uint8_t port);
// Clears responseReady (the caller has consumed the response).
void Link_ReleaseResponse(Link* link);
