// A pseudo-terminal for tests: the test holds the controlling side, and the port under test is
// opened by its name below /dev ("pts/N").
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class TestPty {
  public:
    TestPty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            return;
        }
        char path[128] = {};
        if (ptsname_r(master_, path, sizeof path) != 0) {
            return;
        }
        slavePath_ = path;  // "/dev/pts/N"
    }
    ~TestPty() { CloseMaster(); }
    TestPty(const TestPty&) = delete;
    TestPty& operator=(const TestPty&) = delete;

    bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    // The port name relative to /dev.
    std::string portName() const { return slavePath_.substr(5); }

    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // Reads up to count bytes from the controlling side, waiting at most timeoutMs for each
    // further byte.
    std::vector<uint8_t> Read(size_t count, int timeoutMs = 2000) const {
        std::vector<uint8_t> got;
        while (got.size() < count) {
            pollfd wait{master_, POLLIN, 0};
            if (poll(&wait, 1, timeoutMs) <= 0) {
                break;
            }
            uint8_t chunk[4096];
            const size_t want =
                count - got.size() < sizeof chunk ? count - got.size() : sizeof chunk;
            const ssize_t n = read(master_, chunk, want);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    bool Write(const uint8_t* data, size_t length) const {
        size_t done = 0;
        while (done < length) {
            const ssize_t n = write(master_, data + done, length - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

  private:
    int master_ = -1;
    std::string slavePath_;
};
