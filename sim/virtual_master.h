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

private:
    struct State;
    std::unique_ptr<State> state_;
};
