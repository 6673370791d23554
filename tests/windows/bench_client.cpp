#include "tests/windows/bench_client.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "platform/platform.h"

namespace {

// Long enough for a restart of the master (a new pseudo-terminal) and a dump of its flash.
constexpr uint32_t kAnswerTimeoutMs = 20000;
constexpr size_t kLongestAnswer = 4096;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string DumpPath(const char* file) {
    return Env("IOLINK_TEST_DUMP") + "\\" + file;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string BenchMasterPort() {
    return Env("IOLINK_TEST_PORT");
}

BenchControl::~BenchControl() {
    if (port_ != nullptr) {
        Platform_SerialClose(port_);
    }
}

bool BenchControl::Open() {
    const std::string name = Env("IOLINK_TEST_CONTROL");
    return !name.empty() && Platform_SerialOpen(name.c_str(), &port_) == SerialOpenResult::ok;
}

bool BenchControl::Command(const std::string& line, std::string* answer) {
    if (port_ == nullptr) {
        return false;
    }
    const std::string text = line + "\n";
    uint32_t written = 0;
    if (!Platform_SerialWrite(port_, reinterpret_cast<const uint8_t*>(text.data()),
                              static_cast<uint32_t>(text.size()), &written) ||
        written != text.size()) {
        return false;
    }
    std::string reply;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kAnswerTimeoutMs && reply.size() < kLongestAnswer) {
        uint8_t byte = 0;
        const SerialReadResult got = Platform_SerialReadByte(port_, &byte);
        if (got != SerialReadResult::byte) {
            Sleep(1);
            continue;
        }
        if (byte != '\n') {
            reply.push_back(static_cast<char>(byte));
            continue;
        }
        if (answer != nullptr) {
            *answer = reply;
        }
        return reply == "ok";
    }
    if (answer != nullptr) {
        *answer = "no answer from the bench";
    }
    return false;
}

bool BenchControl::Dump() {
    return Command("dump");
}

std::vector<Bytes> BenchControl::Received() {
    std::vector<Bytes> frames;
    if (!Dump()) {
        return frames;
    }
    std::ifstream in(DumpPath("received.txt"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream hex(line);
        Bytes frame;
        for (unsigned value = 0; hex >> std::hex >> value;) {
            frame.push_back(static_cast<uint8_t>(value));
        }
        frames.push_back(frame);
    }
    return frames;
}

Bytes BenchControl::Flash3() {
    return Dump() ? ReadFileBytes(DumpPath("flash3.bin")) : Bytes();
}

Bytes BenchControl::Flash2() {
    return Dump() ? ReadFileBytes(DumpPath("flash2.bin")) : Bytes();
}

Bytes BenchControl::StackFlash() {
    return Dump() ? ReadFileBytes(DumpPath("stack.bin")) : Bytes();
}

Bytes BenchControl::StackIdRecord() {
    return Dump() ? ReadFileBytes(DumpPath("stackid.bin")) : Bytes();
}

std::string BenchControl::Violations() {
    const Bytes text = Dump() ? ReadFileBytes(DumpPath("violations.txt")) : Bytes();
    return std::string(text.begin(), text.end());
}

StdoutCapture::StdoutCapture() : path_(DumpPath("stdout.txt")) {
    std::fflush(stdout);
    std::cout.flush();
    file_ = _open(path_.c_str(), _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    saved_ = _dup(1);
    if (file_ >= 0 && saved_ >= 0) {
        _dup2(file_, 1);
    }
}

StdoutCapture::~StdoutCapture() {
    Restore();
    if (file_ >= 0) {
        _close(file_);
    }
}

std::string StdoutCapture::Text() {
    std::fflush(stdout);
    std::cout.flush();
    const Bytes bytes = ReadFileBytes(path_);
    return std::string(bytes.begin(), bytes.end());
}

void StdoutCapture::Restore() {
    if (saved_ >= 0) {
        std::fflush(stdout);
        std::cout.flush();
        _dup2(saved_, 1);
        _close(saved_);
        saved_ = -1;
    }
}
