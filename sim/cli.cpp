#include "sim/cli.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

const char kHelp[] =
    "iolink-virtual-master: a simulated USB IO-Link master on a pseudo-terminal.\n"
    "\n"
    "Start it, read the first line of its standard output (the pseudo-terminal to open, e.g.\n"
    "/dev/pts/5), and point the program under test at it. It serves until SIGINT or SIGTERM,\n"
    "or until its standard input ends (unless --no-stdin). Later lines report plug changes:\n"
    "\"unplugged\" and \"plugged /dev/pts/N\".\n"
    "\n"
    "Identity (version digits as X.Y.Z, hexadecimal digit characters):\n"
    "  --main 3.0.A             main firmware version (default 3.0.A)\n"
    "  --stack 1.3.0            IO-Link stack version (default 1.3.0)\n"
    "  --edition SE             edition code (default SE)\n"
    "  --id 12,34               the two identification bytes, hexadecimal\n"
    "  --after-update-main V    version reported after a main firmware update and restart\n"
    "  --after-update-stack V   stack version reported after the restart\n"
    "  --after-update-edition E edition reported after the restart\n"
    "  --boot-mode              start in the boot loader (port reset unanswered)\n"
    "Timing (milliseconds):\n"
    "  --verdict-ms N           response to verdict event (default 30)\n"
    "  --busy-gap-ms N          between busy events (default 30)\n"
    "  --restart-ms N           finish verdict to restart unplug (default 300)\n"
    "  --restart-down-ms N      time away during the restart (default 300)\n"
    "  --stall-ms N             pause inside a stalled header (default 150)\n"
    "Faults, repeatable: --fault TYPE:key[=value],...  TYPE is the request frame type\n"
    "(e.g. 0xCB). The fault applies to requests number from..from+count-1 of that type.\n"
    "  from=N count=N           which requests (default from=1, count=0 meaning all)\n"
    "  status=N                 answer with status N and do nothing\n"
    "  type=N                   answer with frame type N in byte 3\n"
    "  silent                   no answer, nothing done\n"
    "  late=MS                  answer MS later\n"
    "  trickle=MS               header at once, the rest byte by byte over MS\n"
    "  stall                    the header stalls after two bytes (past 100 ms)\n"
    "  pad=N                    pad the response to N bytes (e.g. 400, or 501)\n"
    "  garbage=N                N groups of garbage bytes before the response\n"
    "  event-port=N             a port event on port N before the response\n"
    "  event-len=N              that event frame N bytes long (below 12: short)\n"
    "  log=N                    a log record with N values before the response\n"
    "  verdict=fail|none        erase/block/finish: failure verdict 0xC0, or none\n"
    "  busy=N                   N busy events 0x22 before the verdict\n"
    "  vanish                   unplug instead of answering\n"
    "  comeback=MS              after vanish: come back MS later (default: never)\n"
    "  no-comeback              finish: restart but never come back\n"
    "  e.g. --fault 0xCB:from=100,count=1,vanish,comeback=500   --fault 0xCE:busy=3\n"
    "Other:\n"
    "  --dump DIR               on exit write received.txt, flash3.bin, flash2.bin,\n"
    "                           stack.bin, stackid.bin, violations.txt into DIR\n"
    "  --link PATH              keep a symbolic link PATH pointing at the current pts\n"
    "  --no-stdin               do not stop at the end of standard input\n"
    "  --help                   this text\n";

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > max || text[0] == '-') {
        return false;
    }
    value = v;
    return true;
}

// "3.0.A" or "30A" into three characters.
bool ParseVersion(const std::string& text, char out[3]) {
    std::string digits;
    for (char c : text) {
        if (c != '.') {
            digits += c;
        }
    }
    if (digits.size() != 3) {
        return false;
    }
    for (size_t i = 0; i < 3; ++i) {
        out[i] = digits[i];
    }
    return true;
}

bool ParseEdition(const std::string& text, char out[2]) {
    if (text.size() != 2) {
        return false;
    }
    out[0] = text[0];
    out[1] = text[1];
    return true;
}

bool ParseIdBytes(const std::string& text, uint8_t out[2]) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos) {
        return false;
    }
    uint64_t a = 0;
    uint64_t b = 0;
    if (!ParseNumber("0x" + text.substr(0, comma), 0xFF, a) ||
        !ParseNumber("0x" + text.substr(comma + 1), 0xFF, b)) {
        return false;
    }
    out[0] = uint8_t(a);
    out[1] = uint8_t(b);
    return true;
}

bool ParseFaultKey(const std::string& key, const std::string& value, bool hasValue, VmFault& f) {
    uint64_t n = 0;
    auto number = [&](uint64_t max) { return hasValue && ParseNumber(value, max, n); };
    if (key == "from" && number(0xFFFFFFFF)) {
        f.from = uint32_t(n);
    } else if (key == "count" && number(0xFFFFFFFF)) {
        f.count = uint32_t(n);
    } else if (key == "status" && number(0xFF) && n != 0) {
        f.status = uint8_t(n);
    } else if (key == "type" && number(0xFF)) {
        f.responseType = int16_t(n);
    } else if (key == "silent" && !hasValue) {
        f.silent = true;
    } else if (key == "late" && number(600000)) {
        f.lateMs = uint32_t(n);
    } else if (key == "trickle" && number(600000)) {
        f.trickleMs = uint32_t(n);
    } else if (key == "stall" && !hasValue) {
        f.stallHeader = true;
    } else if (key == "pad" && number(0xFFFF)) {
        f.padTo = uint16_t(n);
    } else if (key == "garbage" && number(0xFF)) {
        f.garbage = uint8_t(n);
    } else if (key == "event-port" && number(0xFF)) {
        f.eventPort = int16_t(n);
    } else if (key == "event-len" && number(12)) {
        f.eventLength = uint8_t(n);
    } else if (key == "log" && number(0xFF)) {
        f.logValues = int16_t(n);
    } else if (key == "verdict" && hasValue && (value == "fail" || value == "none")) {
        f.verdict = value == "fail" ? VmVerdict::Failure : VmVerdict::None;
    } else if (key == "busy" && number(0xFF)) {
        f.busyEvents = uint8_t(n);
    } else if (key == "vanish" && !hasValue) {
        f.vanish = true;
    } else if (key == "comeback" && number(600000)) {
        f.comebackMs = int32_t(n);
    } else if (key == "no-comeback" && !hasValue) {
        f.noComeback = true;
    } else {
        return false;
    }
    return true;
}

}  // namespace

const char* VmOptions_Help() {
    return kHelp;
}

bool VmFault_Parse(const std::string& text, uint8_t& type, VmFault& fault, std::string& error) {
    const size_t colon = text.find(':');
    uint64_t t = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), 0xFF, t)) {
        error = "fault needs TYPE:key[=value],... : " + text;
        return false;
    }
    VmFault f;
    std::string rest = text.substr(colon + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t comma = rest.find(',', start);
        if (comma == std::string::npos) {
            comma = rest.size();
        }
        const std::string item = rest.substr(start, comma - start);
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (!ParseFaultKey(key, value, eq != std::string::npos, f)) {
            error = "bad fault item '";
            error += item;
            error += "' in ";
            error += text;
            return false;
        }
        start = comma + 1;
    }
    type = uint8_t(t);
    fault = f;
    return true;
}

bool VmOptions_Parse(const std::vector<std::string>& args, VmOptions& o, std::string& error) {
    std::string afterMain;
    std::string afterStack;
    std::string afterEdition;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        auto ms = [&](uint32_t& field) {
            std::string v;
            uint64_t n = 0;
            if (!value(v)) {
                return false;
            }
            if (!ParseNumber(v, 600000, n)) {
                error = "bad number for ";
                error += a;
                error += ": ";
                error += v;
                return false;
            }
            field = uint32_t(n);
            return true;
        };
        std::string v;
        bool ok = true;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--main") {
            ok = value(v) && ParseVersion(v, o.identity.main);
        } else if (a == "--stack") {
            ok = value(v) && ParseVersion(v, o.identity.stack);
        } else if (a == "--edition") {
            ok = value(v) && ParseEdition(v, o.identity.edition);
        } else if (a == "--id") {
            ok = value(v) && ParseIdBytes(v, o.identity.idBytes);
        } else if (a == "--after-update-main") {
            ok = value(afterMain);
        } else if (a == "--after-update-stack") {
            ok = value(afterStack);
        } else if (a == "--after-update-edition") {
            ok = value(afterEdition);
        } else if (a == "--boot-mode") {
            o.bootMode = true;
        } else if (a == "--verdict-ms") {
            ok = ms(o.timing.verdictDelayMs);
        } else if (a == "--busy-gap-ms") {
            ok = ms(o.timing.busyGapMs);
        } else if (a == "--restart-ms") {
            ok = ms(o.timing.restartDelayMs);
        } else if (a == "--restart-down-ms") {
            ok = ms(o.timing.restartDownMs);
        } else if (a == "--stall-ms") {
            ok = ms(o.timing.stallMs);
        } else if (a == "--fault") {
            uint8_t type = 0;
            VmFault f;
            ok = value(v) && VmFault_Parse(v, type, f, error);
            if (ok) {
                o.faults.emplace_back(type, f);
            }
        } else if (a == "--dump") {
            ok = value(o.dumpDir);
        } else if (a == "--link") {
            ok = value(o.linkPath);
        } else if (a == "--no-stdin") {
            o.useStdin = false;
        } else {
            error = "unknown option " + a;
            return false;
        }
        if (!ok) {
            if (error.empty()) {
                error = "bad value for ";
                error += a;
                error += ": ";
                error += v;
            }
            return false;
        }
    }
    if (!afterMain.empty() || !afterStack.empty() || !afterEdition.empty()) {
        o.hasAfterUpdate = true;
        o.afterUpdate = o.identity;
        if ((!afterMain.empty() && !ParseVersion(afterMain, o.afterUpdate.main)) ||
            (!afterStack.empty() && !ParseVersion(afterStack, o.afterUpdate.stack)) ||
            (!afterEdition.empty() && !ParseEdition(afterEdition, o.afterUpdate.edition))) {
            error = "bad --after-update value";
            return false;
        }
    }
    return true;
}

void VmOptions_Apply(const VmOptions& o, VirtualMaster& vm) {
    vm.SetIdentity(o.identity);
    if (o.hasAfterUpdate) {
        vm.SetIdentityAfterUpdate(o.afterUpdate);
    }
    vm.SetBootMode(o.bootMode);
    vm.SetTiming(o.timing);
    for (const auto& [type, fault] : o.faults) {
        vm.SetFault(type, fault);
    }
}

std::string Vm_HexLine(const Bytes& frame) {
    std::string line;
    char hex[4];
    for (size_t i = 0; i < frame.size(); ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", frame[i]);
        line += hex;
    }
    return line;
}

namespace {

bool WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(f);
}

}  // namespace

bool Vm_WriteDump(const VirtualMaster& vm, const std::string& dir) {
    bool ok = true;
    {
        std::ofstream f(dir + "/received.txt", std::ios::trunc);
        for (const Bytes& frame : vm.Received()) {
            f << Vm_HexLine(frame) << '\n';
        }
        ok = ok && bool(f);
    }
    {
        std::ofstream f(dir + "/violations.txt", std::ios::trunc);
        char head[64];
        for (const VmViolation& v : vm.Violations()) {
            std::snprintf(head, sizeof head, "type=%02X status=%02X address=%08X ", v.type,
                          v.status, unsigned(v.address));
            f << head << v.what << '\n';
        }
        ok = ok && bool(f);
    }
    ok = WriteFile(dir + "/flash3.bin", vm.Flash3()) && ok;
    ok = WriteFile(dir + "/flash2.bin", vm.Flash2()) && ok;
    ok = WriteFile(dir + "/stack.bin", vm.StackFlash()) && ok;
    ok = WriteFile(dir + "/stackid.bin", vm.StackIdRecord()) && ok;
    return ok;
}
