// The virtual master: a stand-in for the IO-Link master device that speaks its serial protocol on
// the master side of a pseudo-terminal. The host side (/dev/pts/N) is what the updater opens. It
// answers every request with the frame the real device would send, keeps a flash model for the
// boot loaders, records every frame it received, and plays the faults that a real device shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// What the master reports in its identification response: version characters (hex digits, as
// on the wire), edition code, the two identification bytes.
struct VmIdentity {
    char main[3] = {'3', '0', 'A'};
    char edition[2] = {'S', 'E'};
    char stack[3] = {'1', '3', '0'};
    uint8_t idBytes[2] = {0x12, 0x34};
};

// Status bytes the boot loaders answer when they refuse a request (0 means accepted). Each
// refusal is also recorded as a VmViolation, so that tests see what the host got wrong.
constexpr uint8_t kVmNoInit = 0x81;         // no InitDownload (or stack Init) since power-up
constexpr uint8_t kVmNotErased = 0x82;      // no Erase for this download, or it is finished
constexpr uint8_t kVmOutOfOrder = 0x83;     // address below the end of the previous write
constexpr uint8_t kVmOutOfWindow = 0x84;    // data outside the flash window
constexpr uint8_t kVmAfterRejected = 0x85;  // the download already refused a write
constexpr uint8_t kVmNoBlock = 0x86;        // Finish before any block was committed
constexpr uint8_t kVmBadFormat = 0x87;      // format byte not 2 or 3, or not the download's
constexpr uint8_t kVmMalformed = 0x88;      // frame length does not match the data length
constexpr uint8_t kVmIdNotLast = 0x89;      // stack write after the identification record
constexpr uint8_t kVmUncommitted = 0x8A;    // Finish with writes not yet committed by a block
constexpr uint8_t kVmBlockTooLarge = 0x8B;  // more than 8192 bytes in one block
constexpr uint8_t kVmBadPort = 0x8C;        // stack boot loader addressed on a port other than 0

// One request the device refused or could not take; `type` is 0 for a request frame that the
// receiver dropped (length above 500, header stalled).
struct VmViolation {
    uint8_t type = 0;
    uint8_t status = 0;
    uint32_t address = 0;
    std::string what;
};

enum class VmVerdict : uint8_t { Normal, Failure, None };

// A fault played on requests of one frame type. It applies to the requests numbered `from` to
// `from + count - 1` of that type (numbered from 1 since the fault was set; count 0 = all from
// `from` on). Several fields may be combined. Faults shape the built-in answers only; a type with
// a test handler (SetHandler) is answered by the handler alone.
struct VmFault {
    uint32_t from = 1;
    uint32_t count = 0;
    uint8_t status = 0;         // non-zero: answer with this status and do nothing
    int16_t responseType = -1;  // 0..255: this frame type in response byte 3
    bool silent = false;        // no answer, nothing done
    uint32_t lateMs = 0;        // answer this much later
    uint32_t trickleMs = 0;     // header at once, the rest byte by byte spread over this time
    bool stallHeader = false;   // two bytes, then the rest after VmTiming::stallMs (> 100 ms)
    uint16_t padTo = 0;         // pad the response with zeros to this length (e.g. 400, 501)
    uint8_t garbage = 0;        // this many garbage groups before the response
    int16_t eventPort = -1;     // 0..255: a port event on this port before the response
    uint8_t eventLength = 12;   // length of that event frame (below 12: a short event)
    int16_t logValues = -1;     // 0..255: a log record with this many values before the response
    VmVerdict verdict = VmVerdict::Normal;  // erase/block/finish: failure (0xC0) or no verdict
    uint8_t busyEvents = 0;                 // busy events 0x22 before the verdict
    bool vanish = false;                    // unplug instead of answering (nothing done)
    int32_t comebackMs = -1;                // after a vanish: replug after this long; -1 stays away
    bool noComeback = false;                // finish: restart by unplugging but never come back
};

// Delays of the device's own actions.
struct VmTiming {
    uint32_t verdictDelayMs = 30;   // from the response to the verdict event
    uint32_t busyGapMs = 30;        // between busy events, and from the last one to the verdict
    uint32_t restartDelayMs = 1500;  // from the finish verdict to the restart's unplug; longer
                                    // than the updater's 500 ms verdict poll, so that the
                                    // verdict is read before the link goes
    uint32_t restartDownMs = 300;   // how long the restart keeps the device away
    uint32_t stallMs = 150;         // the pause inside a stalled header
};

// The main controller boot loader's download as the device remembers it. It survives unplug
// and replug (only writes not yet committed by a block are lost): InitDownload enters the boot
// loader and resumes the download in progress, and only Erase starts a new one. After a
// successful Finish the master restarts: it unplugs itself, comes back with the identity set by
// SetIdentityAfterUpdate and runs its firmware again.
struct VmDownload {
    bool bootMode = false;       // port reset goes unanswered
    bool initSeen = false;       // InitDownload since power-up
    uint8_t format = 0;          // format byte of the last InitDownload
    uint8_t downloadFormat = 0;  // format fixed by the Erase that started this download
    bool erased = false;
    bool finished = false;
    bool rejected = false;      // a write was refused; the download takes no more writes
    uint32_t blocks = 0;        // blocks committed
    uint32_t nextOffset = 0;    // lowest window offset the next write may use
    uint32_t pendingBytes = 0;  // written but not committed
};

// The IO-Link stack boot loader's download.
struct VmStackDownload {
    bool active = false;  // Init seen, Finish not yet
    bool finished = false;
    bool rejected = false;
    bool idWritten = false;  // the identification record at 0x3FBF8 arrived
    bool idLast = false;     // ... and nothing was written after it
    uint32_t nextAddress = 0;
    uint32_t bytesWritten = 0;  // data bytes accepted, the record included
};

class VirtualMaster {
  public:
    VirtualMaster();
    ~VirtualMaster();  // stops serving and closes the pseudo-terminal
    VirtualMaster(const VirtualMaster&) = delete;
    VirtualMaster& operator=(const VirtualMaster&) = delete;

    // Opens a pseudo-terminal and starts serving it. False when no pseudo-terminal could be had.
    bool Start();
    void Stop();

    // "/dev/pts/N": the host side of the current pseudo-terminal.
    std::string SlavePath() const;
    // "pts/N": the name under which the updater's link opens it (the platform prefixes "/dev/").
    std::string PortName() const;

    void SetIdentity(const VmIdentity& identity);

    // Every whole frame received from the host, in order of arrival.
    std::vector<Bytes> Received() const;
    void ClearReceived();
    // Waits (bounded) until at least count frames have been received; false on time-out.
    bool WaitReceived(size_t count, uint32_t timeoutMs) const;

    // Writes bytes to the host as they are (garbage, partial frames, hand-made frames).
    void SendRaw(const Bytes& bytes);
    // Writes bytes one at a time with gapMs between them.
    void SendRawSlowly(const Bytes& bytes, uint32_t gapMs);
    // A whole frame: length (low byte first), format 0x02, type, then payload from byte 4 on.
    static Bytes MakeFrame(uint8_t type, const Bytes& payload);
    // A 12-byte port event frame.
    void SendPortEvent(uint8_t port, const uint8_t data[5], uint16_t code);

    // Replaces the built-in handling of one request frame type. The handler runs on the serving
    // thread with the whole request frame; it answers (or not) through SendRaw.
    using Handler = std::function<void(VirtualMaster& vm, const Bytes& request)>;
    void SetHandler(uint8_t type, Handler handler);
    void ClearHandler(uint8_t type);

    // Receives and records requests but answers none of them.
    void SetSilent(bool silent);

    // Closes the pseudo-terminal as an unplug does; Replug opens a new one (a new pts number).
    void Unplug();
    bool Replug();

    // --- Device state and knobs (additions to the core interface) ---

    VmIdentity Identity() const;
    // The identity the master reports after a successful main firmware download and its restart.
    // Not set: it keeps its identity.
    void SetIdentityAfterUpdate(const VmIdentity& identity);
    // Puts the master into (or out of) its boot loader: in boot mode the port reset goes
    // unanswered. A replug recomputes it: boot mode while a download is in progress.
    void SetBootMode(bool bootMode);
    void SetTiming(const VmTiming& timing);

    void SetFault(uint8_t type, const VmFault& fault);
    void ClearFault(uint8_t type);
    void ClearFaults();

    // A log record frame (type 32): byte 5 first, byte 6 the count, then the values.
    void SendLogRecord(uint8_t first, const Bytes& values);

    // Called after every unplug (false, "") and plug-in (true, slave path), on the thread that
    // made the change; not under the simulator's lock, so it may call back into it.
    using PlugListener = std::function<void(bool plugged, const std::string& slavePath)>;
    void SetPlugListener(PlugListener listener);
    bool IsPlugged() const;
    // Number of plug-ins so far (Start counts as the first).
    uint32_t PlugCount() const;
    // Waits (bounded) until PlugCount() reaches count and the master is plugged in.
    bool WaitPlugCount(uint32_t count, uint32_t timeoutMs) const;
    // Waits (bounded) until the master is unplugged.
    bool WaitUnplugged(uint32_t timeoutMs) const;

    std::vector<VmViolation> Violations() const;
    VmDownload Download() const;
    VmStackDownload StackDownload() const;
    // Committed flash: 3.x window 0xFFFE0000.. (128 KB), 2.x flash 0x0000.. (64 KB), stack flash
    // 0x0000..0xFFFE (65,535 bytes), and the stack identification record (8 bytes, or empty).
    Bytes Flash3() const;
    Bytes Flash2() const;
    Bytes StackFlash() const;
    Bytes StackIdRecord() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};
