// One key press from standard input, without echo.
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>

#include "platform/common/seam_state.h"
#include "platform/platform.h"
#include "platform/posix/stop_posix.h"

namespace {

// Puts a terminal into non-canonical no-echo mode for its lifetime and restores the settings it
// found on every way out. Signals stay enabled: Ctrl-C (SIGINT) or Ctrl-\ (SIGQUIT) at the prompt
// raises a stop signal, whose handler records a stop request and interrupts the read, so the
// settings are restored before the program stops.
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

// Waits for one byte. A stop request (recorded by the signal handlers) ends the wait at once: the
// prompt is only reached while none is pending, so any request counts.
int ReadOneByte(int fd) {
    // The stop signals are blocked except during the wait, so that a request cannot slip in
    // between the test for one and the wait for the key: pselect unblocks them only while it waits.
    const StopSignalsBlocked blocked;
    for (;;) {
        if (Platform_StopRequests().count != 0) {
            return kKeyStopRequested;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        if (pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &blocked.previous()) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kKeyReadError;
        }
        unsigned char byte = 0;
        const ssize_t got = read(fd, &byte, 1);
        if (got == 1) {
            return byte;
        }
        if (got == 0) {
            return kKeyEndOfInput;
        }
        // Standard input left non-blocking by someone else reports "no key yet" as EAGAIN: wait
        // again instead of taking it for the end of input.
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return kKeyReadError;
        }
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

// A POSIX terminal stays open when the program ends.
bool Platform_PausesAtExit(bool /*machineOutput*/) {
    return false;
}

bool Platform_OutputsShareTerminal() {
    return isatty(STDOUT_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
}
