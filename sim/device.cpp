#include "sim/device.h"

#include <algorithm>
#include <string>

namespace {

uint32_t Get32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

void Put32(Bytes& b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) {
        b[at + i] = uint8_t(v >> (8 * i));
    }
}

uint8_t PortByte(const Bytes& request) {
    return request.size() > 4 ? request[4] : 0;
}

// A response frame of `length` bytes: header with the request's type, byte 4 echoing the
// request's byte 4, everything else 0.
Bytes Response(const Bytes& request, size_t length) {
    Bytes r(length, 0);
    r[0] = uint8_t(length & 0xFF);
    r[1] = uint8_t(length >> 8);
    r[2] = 0x02;
    r[3] = request[3];
    r[4] = PortByte(request);
    return r;
}

// Response lengths: identification 19, InitDownload 28 (values at 20-27), WriteBlock 14 (values
// at 6-13), Query4 9 (bytes 5-8), every other service 6 (status at 5).
size_t ResponseLength(uint8_t type) {
    switch (type) {
        case 0x67:
            return 19;
        case 0xC9:
            return 28;
        case 0xCE:
            return 14;
        case 0xEA:
            return 9;
        default:
            return 6;
    }
}

Bytes StatusOnly(const Bytes& request, uint8_t status) {
    Bytes r = Response(request, ResponseLength(request[3]));
    r[5] = status;
    return r;
}

// Records a refusal and answers it.
void Refuse(VmDevice& d, const Bytes& request, uint8_t status, uint32_t address, std::string what,
            VmOutcome& out) {
    d.violations.push_back(VmViolation{request[3], status, address, std::move(what)});
    out.response = StatusOnly(request, status);
}

// A main-loader request other than InitDownload needs InitDownload since power-up and, except
// for Erase, a download started by Erase and not yet finished.
bool MainReady(VmDevice& d, const Bytes& request, bool needErased, VmOutcome& out) {
    if (!d.main.initSeen) {
        Refuse(d, request, kVmNoInit, 0, "no InitDownload since power-up", out);
        return false;
    }
    if (needErased && (!d.main.erased || d.main.finished)) {
        Refuse(d, request, kVmNotErased, 0, "no download started by Erase", out);
        return false;
    }
    return true;
}

void Identify(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    Bytes r = Response(request, ResponseLength(0x67));
    r[4] = 0;
    for (size_t i = 0; i < 3; ++i) {
        r[5 + i] = uint8_t(d.identity.main[i]);
        r[16 + i] = uint8_t(d.identity.stack[i]);
    }
    r[8] = uint8_t(d.identity.edition[0]);
    r[9] = uint8_t(d.identity.edition[1]);
    r[11] = d.identity.idBytes[0];
    r[12] = d.identity.idBytes[1];
    out.response = r;
}

// Port reset: answered with status 0 by the running firmware; the boot loader does not serve it.
void ResetPort(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    if (!d.main.bootMode) {
        out.response = StatusOnly(request, 0);
    }
}

void QueryDD(VmDevice& /*d*/, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    out.response = StatusOnly(request, 0);
}

// InitDownload enters the boot loader and takes the format byte (2: 2-byte addresses into the
// 64 KB flash from 0; 3: 4-byte addresses into the 128 KB window at 0xFFFE0000). It does not
// start a new download: after a replug it resumes the one in progress, which only Erase
// replaces. Values: bytes 20-23 the window base, 24-27 the window size of the format.
void InitDownload(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    const uint8_t format = request[2];
    if (format != 2 && format != 3) {
        Refuse(d, request, kVmBadFormat, 0, "InitDownload format byte not 2 or 3", out);
        return;
    }
    const bool inProgress = d.main.erased && !d.main.finished;
    if (inProgress && format != d.main.downloadFormat) {
        Refuse(d, request, kVmBadFormat, 0, "InitDownload format differs from the download", out);
        return;
    }
    d.main.format = format;
    d.main.initSeen = true;
    d.main.bootMode = true;
    out.response = StatusOnly(request, 0);
    Put32(out.response, 20, format == 3 ? kVmWindow3Base : 0);
    Put32(out.response, 24, format == 3 ? kVmWindow3Size : kVmWindow2Size);
}

// Erase starts a new download in the format of the last InitDownload: the flash of that format
// becomes 0xFF and every count starts again. A failed erase leaves no download started.
void Erase(VmDevice& d, const Bytes& request, bool failVerdict, VmOutcome& out) {
    if (!MainReady(d, request, false, out)) {
        return;
    }
    VmDownload& m = d.main;
    m.downloadFormat = m.format;
    Bytes& flash = m.format == 3 ? d.flash3 : d.flash2;
    std::fill(flash.begin(), flash.end(), uint8_t(0xFF));
    m.erased = !failVerdict;
    m.finished = false;
    m.rejected = false;
    m.blocks = 0;
    m.nextOffset = 0;
    m.pendingBytes = 0;
    d.committedEnd = 0;
    d.pending.clear();
    out.response = StatusOnly(request, 0);
    out.verdict = true;
    out.verdictOk = !failVerdict;
    out.verdictOf = request[3];
}

// Write: format 3 has length at 5, address at 6-9, data from 10; any other format length at 5,
// address at 6-7, data from 8. Writes must rise without overlap inside the window, fit the
// block buffer, and use the download's format; the first refused write ends the download's
// writes until the next Erase.
void Write(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    const uint8_t format = request[2];
    const size_t header = format == 3 ? 10 : 8;
    const uint32_t length = request.size() > 5 ? request[5] : 0;
    if (request.size() != header + length) {
        Refuse(d, request, kVmMalformed, 0, "write frame length does not match its data length",
               out);
        return;
    }
    const uint32_t address =
        format == 3 ? Get32(request, 6) : uint32_t(request[6]) | uint32_t(request[7]) << 8;
    // Refused for want of InitDownload or Erase: the boot loader was not taking data, so the
    // download in progress (if any) stays intact.
    if (!MainReady(d, request, true, out)) {
        return;
    }
    VmDownload& m = d.main;
    auto reject = [&](uint8_t status, const char* what) {
        m.rejected = true;
        Refuse(d, request, status, address, what, out);
    };
    if (m.rejected) {
        Refuse(d, request, kVmAfterRejected, address, "write after a refused write", out);
        return;
    }
    if (format != m.downloadFormat) {
        reject(kVmBadFormat, "write format differs from the download's");
        return;
    }
    uint64_t offset = address;
    const uint64_t window = format == 3 ? kVmWindow3Size : kVmWindow2Size;
    if (format == 3) {
        if (address < kVmWindow3Base) {
            reject(kVmOutOfWindow, "write below the flash window");
            return;
        }
        offset = address - kVmWindow3Base;
    }
    if (offset + length > window) {
        reject(kVmOutOfWindow, "write beyond the flash window");
        return;
    }
    if (offset < m.nextOffset) {
        reject(kVmOutOfOrder, "write address not above the previous write");
        return;
    }
    if (m.pendingBytes + length > kVmBlockLimit) {
        reject(kVmBlockTooLarge, "block larger than 8192 bytes");
        return;
    }
    d.pending.push_back(VmPendingWrite{
        uint32_t(offset),
        Bytes(request.begin() + static_cast<std::ptrdiff_t>(header), request.end())});
    m.nextOffset = uint32_t(offset + length);
    m.pendingBytes += length;
    out.response = StatusOnly(request, 0);
}

// WriteBlock commits the writes since the last commit into flash. Values: bytes 6-9 the number
// of blocks committed so far, 10-13 the bytes of this block. A failed commit drops the writes.
void WriteBlock(VmDevice& d, const Bytes& request, bool failVerdict, VmOutcome& out) {
    if (!MainReady(d, request, true, out)) {
        return;
    }
    VmDownload& m = d.main;
    if (m.rejected) {
        Refuse(d, request, kVmAfterRejected, 0, "block after a refused write", out);
        return;
    }
    const uint32_t bytes = m.pendingBytes;
    if (failVerdict) {
        m.nextOffset = d.committedEnd;
    } else {
        Bytes& flash = m.downloadFormat == 3 ? d.flash3 : d.flash2;
        for (const VmPendingWrite& w : d.pending) {
            std::copy(w.data.begin(), w.data.end(), flash.begin() + w.offset);
        }
        ++m.blocks;
        d.committedEnd = m.nextOffset;
    }
    d.pending.clear();
    m.pendingBytes = 0;
    out.response = StatusOnly(request, 0);
    Put32(out.response, 6, m.blocks);
    Put32(out.response, 10, bytes);
    out.verdict = true;
    out.verdictOk = !failVerdict;
    out.verdictOf = request[3];
}

// Finish swaps old and new firmware and, when that succeeded, restarts the master.
void Finish(VmDevice& d, const Bytes& request, bool failVerdict, VmOutcome& out) {
    if (!MainReady(d, request, true, out)) {
        return;
    }
    VmDownload& m = d.main;
    if (m.rejected) {
        Refuse(d, request, kVmAfterRejected, 0, "finish after a refused write", out);
        return;
    }
    if (m.blocks == 0) {
        Refuse(d, request, kVmNoBlock, 0, "finish before any block", out);
        return;
    }
    if (m.pendingBytes != 0) {
        Refuse(d, request, kVmUncommitted, m.nextOffset, "finish with uncommitted writes", out);
        return;
    }
    m.finished = !failVerdict;
    out.response = StatusOnly(request, 0);
    out.verdict = true;
    out.verdictOk = !failVerdict;
    out.verdictOf = request[3];
    out.restart = !failVerdict;
}

// The stack boot loader serves port 0 only.
bool StackPort(VmDevice& d, const Bytes& request, VmOutcome& out) {
    if (PortByte(request) != 0) {
        Refuse(d, request, kVmBadPort, 0, "stack boot loader addressed on a port other than 0",
               out);
        return false;
    }
    return true;
}

// Stack Init starts a new stack download: the stack flash becomes 0xFF.
void StackInit(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    if (!StackPort(d, request, out)) {
        return;
    }
    d.stack = VmStackDownload{};
    d.stack.active = true;
    std::fill(d.stackFlash.begin(), d.stackFlash.end(), uint8_t(0xFF));
    d.stackId.clear();
    out.response = StatusOnly(request, 0);
}

// Stack Write: address at 5-8, length at 9, data from 10. Data rises without overlap inside
// 0x0000..0xFFFE; the 8-byte identification record at 0x3FBF8 comes last.
void StackWrite(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    const uint32_t length = request.size() > 9 ? request[9] : 0;
    if (request.size() < 10 || request.size() != 10 + length) {
        Refuse(d, request, kVmMalformed, 0, "stack write frame length does not match its data",
               out);
        return;
    }
    if (!StackPort(d, request, out)) {
        return;
    }
    VmStackDownload& s = d.stack;
    const uint32_t address = Get32(request, 5);
    auto reject = [&](uint8_t status, const char* what) {
        s.rejected = true;
        Refuse(d, request, status, address, what, out);
    };
    if (!s.active) {
        reject(kVmNoInit, "stack write without Init");
        return;
    }
    if (s.rejected) {
        Refuse(d, request, kVmAfterRejected, address, "stack write after a refused write", out);
        return;
    }
    if (s.idWritten) {
        s.idLast = false;
        reject(kVmIdNotLast, "stack write after the identification record");
        return;
    }
    if (address == kVmStackIdAddress) {
        if (length != 8) {
            reject(kVmOutOfWindow, "identification record not 8 bytes");
            return;
        }
        d.stackId.assign(request.begin() + 10, request.end());
        s.idWritten = true;
        s.idLast = true;
    } else {
        if (uint64_t(address) + length > kVmStackSize) {
            reject(kVmOutOfWindow, "stack write outside 0x0000..0xFFFE");
            return;
        }
        if (address < s.nextAddress) {
            reject(kVmOutOfOrder, "stack write address not above the previous write");
            return;
        }
        std::copy(request.begin() + 10, request.end(), d.stackFlash.begin() + address);
        s.nextAddress = address + length;
    }
    s.bytesWritten += length;
    out.response = StatusOnly(request, 0);
}

char HexDigit(uint8_t v) {
    return "0123456789ABCDEF"[v & 0x0F];
}

// Stack Finish ends the download. With the identification record in place the stack reports
// the record's version from now on (also in the identity after a main update); a download
// without it is finished all the same but recorded as a violation.
void StackFinish(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    if (!StackPort(d, request, out)) {
        return;
    }
    VmStackDownload& s = d.stack;
    if (!s.active) {
        Refuse(d, request, kVmNoInit, 0, "stack finish without Init", out);
        return;
    }
    s.active = false;
    s.finished = true;
    if (s.idWritten && d.stackId.size() == 8) {
        const char version[3] = {HexDigit(d.stackId[1]), HexDigit(uint8_t(d.stackId[0] >> 4)),
                                 HexDigit(d.stackId[0])};
        std::copy(version, version + 3, d.identity.stack);
        if (d.identityAfterUpdate) {
            std::copy(version, version + 3, d.identityAfterUpdate->stack);
        }
    } else {
        d.violations.push_back(
            VmViolation{request[3], 0, 0, "stack finish without the identification record"});
    }
    out.response = StatusOnly(request, 0);
}

// Query1: byte 5 the stack loader's state (0 idle, 1 download active, 2 finished).
void StackQuery1(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    out.response = StatusOnly(request, d.stack.active ? 1 : d.stack.finished ? 2 : 0);
}

// Query4: bytes 5-8 the data bytes accepted in the current stack download.
void StackQuery4(VmDevice& d, const Bytes& request, bool /*failVerdict*/, VmOutcome& out) {
    out.response = Response(request, ResponseLength(0xEA));
    Put32(out.response, 5, d.stack.bytesWritten);
}

// One handler per frame type; the device grows by adding entries.
constexpr std::array<VmBuiltin, 256> MakeTable() {
    std::array<VmBuiltin, 256> t{};
    t[0x0F] = ResetPort;
    t[0x67] = Identify;
    t[0xC9] = InitDownload;
    t[0xCA] = Erase;
    t[0xCB] = Write;
    t[0xCD] = Finish;
    t[0xCE] = WriteBlock;
    t[0xDD] = QueryDD;
    t[0xE7] = StackInit;
    t[0xE8] = StackWrite;
    t[0xE9] = StackQuery1;
    t[0xEA] = StackQuery4;
    t[0xEB] = StackFinish;
    return t;
}

constexpr std::array<VmBuiltin, 256> kBuiltins = MakeTable();

}  // namespace

VmBuiltin Device_Builtin(uint8_t type) {
    return kBuiltins[type];
}

Bytes Device_StatusResponse(uint8_t type, const Bytes& request, uint8_t status) {
    Bytes r = Response(request, ResponseLength(type));
    r[3] = type;
    r[5] = status;
    return r;
}

Bytes Device_PortEvent(uint8_t port, const uint8_t data[5], uint16_t code, uint8_t length) {
    Bytes f(12, 0);
    f[0] = 12;
    f[2] = 0x02;
    f[3] = 4;
    f[4] = port;
    std::copy(data, data + 5, f.begin() + 5);
    f[10] = uint8_t(code & 0xFF);
    f[11] = uint8_t(code >> 8);
    if (length < 12) {
        const uint8_t kept = std::max<uint8_t>(length, 5);
        f.resize(kept);
        f[0] = length;
    }
    return f;
}

void Device_PowerDown(VmDevice& d) {
    d.pending.clear();
    d.main.pendingBytes = 0;
    d.main.nextOffset = d.committedEnd;
    d.main.initSeen = false;
}

void Device_PowerUp(VmDevice& d, bool afterRestart) {
    if (afterRestart && d.identityAfterUpdate) {
        d.identity = *d.identityAfterUpdate;
    }
    d.main.bootMode = d.main.erased && !d.main.finished;
}
