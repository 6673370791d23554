// One key press from standard input, without echo.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/common/seam_state.h"
#include "platform/platform.h"

namespace {

// Puts a terminal into non-canonical no-echo mode for its lifetime and restores the settings it
// found on every way out. Signals (Ctrl-C) stay enabled, so the operator can still abort the
// program at the prompt.
class RawTerminal {
  public:
    explicit RawTerminal(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) {
            return;
        }
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
    }
    ~RawTerminal() {
        if (active_) {
            tcsetattr(fd_, TCSANOW, &saved_);
        }
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

int ReadOneByte(int fd) {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t got = read(fd, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Standard input was left non-blocking by someone else: wait for the key instead of
            // taking "no key yet" for the end of input.
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, -1) >= 0 || errno == EINTR) {
                continue;
            }
        }
        // End of input or a read error: the prompt counts as answered.
        return -1;
    }
}

}  // namespace

int Platform_ReadKey() {
    int (*hook)() = SeamState_KeyHook();
    if (hook != nullptr) {
        return hook();
    }
    if (isatty(STDIN_FILENO) == 1) {
        RawTerminal raw(STDIN_FILENO);
        return ReadOneByte(STDIN_FILENO);
    }
    return ReadOneByte(STDIN_FILENO);
}
