// The host's side of a virtual master's pseudo-terminal, opened raw, as a test talks to the
// simulator without the link library: requests go in as bytes, responses come out as bytes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/virtual_master.h"

using SteadyClock = std::chrono::steady_clock;

inline int64_t MsSince(SteadyClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t).count();
}

class HostPort {
  public:
    explicit HostPort(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ >= 0) {
            termios t{};
            tcgetattr(fd_, &t);
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~HostPort() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool ok() const { return fd_ >= 0; }

    // Exclusive use as the platform's serial port takes it (further opens fail, except root's).
    void TakeExclusive() { ::ioctl(fd_, TIOCEXCL); }
    bool Exclusive() const {
        int on = 0;
        return ::ioctl(fd_, TIOCGEXCL, &on) == 0 && on != 0;
    }

    bool Send(const Bytes& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    }

    // Reads until `count` bytes are held (or the time is up) and takes them; fewer on time-out.
    Bytes Read(size_t count, uint32_t timeoutMs) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        while (held_.size() < count && Fill(deadline)) {
        }
        const size_t n = std::min(count, held_.size());
        Bytes out(held_.begin(), held_.begin() + long(n));
        held_.erase(held_.begin(), held_.begin() + long(n));
        return out;
    }

    // One frame by its length field (lengths below 5 take 5 bytes); empty on time-out.
    Bytes ReadFrame(uint32_t timeoutMs = 2000) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        while (held_.size() < 2 && Fill(deadline)) {
        }
        if (held_.size() < 2) {
            return {};
        }
        const size_t length = std::max<size_t>(held_[0] | size_t(held_[1]) << 8, 5);
        while (held_.size() < length && Fill(deadline)) {
        }
        if (held_.size() < length) {
            return {};
        }
        Bytes out(held_.begin(), held_.begin() + long(length));
        held_.erase(held_.begin(), held_.begin() + long(length));
        return out;
    }

    // Sends a request and reads one frame back.
    Bytes Exchange(const Bytes& request, uint32_t timeoutMs = 2000) {
        Send(request);
        return ReadFrame(timeoutMs);
    }

    // True when nothing arrives within quietMs.
    bool Quiet(uint32_t quietMs) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(quietMs);
        const size_t before = held_.size();
        while (Fill(deadline)) {
        }
        return held_.size() == before;
    }

    // The device went away: the pseudo-terminal hangs up (read gives end of file or fails).
    bool HungUp(uint32_t timeoutMs) {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        while (SteadyClock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                uint8_t b[64];
                const ssize_t n = ::read(fd_, b, sizeof b);
                if (n > 0) {
                    held_.insert(held_.end(), b, b + n);
                } else if (n == 0 || errno != EAGAIN) {
                    return true;
                }
            }
        }
        return false;
    }

  private:
    // Waits for more bytes until the deadline; false when none came.
    bool Fill(SteadyClock::time_point deadline) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
                    .count();
            if (left <= 0) {
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, int(std::min<int64_t>(left, 50))) > 0) {
                uint8_t b[1024];
                const ssize_t n = ::read(fd_, b, sizeof b);
                if (n > 0) {
                    held_.insert(held_.end(), b, b + n);
                    return true;
                }
                if (n == 0 || errno != EAGAIN) {
                    return false;
                }
            }
        }
    }

    int fd_ = -1;
    Bytes held_;
};

// Request frames as the host builds them.
inline Bytes Request(uint8_t type, uint8_t byte4 = 0, const Bytes& rest = {}, uint8_t format = 2) {
    const size_t length = 5 + rest.size();
    Bytes f = {uint8_t(length & 0xFF), uint8_t(length >> 8), format, type, byte4};
    f.insert(f.end(), rest.begin(), rest.end());
    return f;
}

// Main boot loader write: format 3 carries a 4-byte address, format 2 a 2-byte one.
inline Bytes WriteRequest(uint32_t address, const Bytes& data, uint8_t format) {
    Bytes rest = {uint8_t(data.size()), uint8_t(address), uint8_t(address >> 8)};
    if (format == 3) {
        rest.push_back(uint8_t(address >> 16));
        rest.push_back(uint8_t(address >> 24));
    }
    rest.insert(rest.end(), data.begin(), data.end());
    return Request(0xCB, 0, rest, format);
}

inline Bytes StackWriteRequest(uint32_t address, const Bytes& data, uint8_t port = 0) {
    Bytes rest = {uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16),
                  uint8_t(address >> 24), uint8_t(data.size())};
    rest.insert(rest.end(), data.begin(), data.end());
    return Request(0xE8, port, rest);
}

inline Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = uint8_t(seed + i * 7);
    }
    return b;
}

inline uint32_t Le32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

// A started simulator and a host port on it, for the fixtures of every test file.
struct SimOnPty {
    VirtualMaster vm;
    std::unique_ptr<HostPort> host;

    bool Open() {
        if (!vm.Start()) {
            return false;
        }
        host = std::make_unique<HostPort>(vm.SlavePath());
        return host->ok();
    }
    // A fresh host port after a replug.
    bool Reopen() {
        host.reset();
        host = std::make_unique<HostPort>(vm.SlavePath());
        return host->ok();
    }
};
