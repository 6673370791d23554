// The serial port on a POSIX terminal device: exclusive open, raw 921600 8N1 line settings,
// one-byte reads that never block, writes that wait (within a bound) until every byte is out.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "platform/common/seam_state.h"
#include "platform/platform.h"
#include "platform/posix/posix_roots.h"
#include "platform/posix/serial_posix.h"

struct SerialPort {
    int fd;
};

namespace {

// Longest accepted port name, as on the system where a longer name does not fit the device path.
constexpr size_t kMaxPortNameLength = 95;

std::atomic<uint32_t> g_writeStallLimitMs{kPosixSerialWriteStallMs};

// Whether the process is a member of group gid (its effective group or a supplementary one).
bool InGroup(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    gid_t groups[256];
    const int count = getgroups(static_cast<int>(std::size(groups)), groups);
    for (int i = 0; i < count; ++i) {
        if (groups[i] == gid) {
            return true;
        }
    }
    return false;
}

// The name of the group that owns path (the device node, links followed), or "", and whether the
// process is already in that group: then a refused open means the node is not yet open to the
// group (udev has only just made it, or sets its group a moment later), not that the user must
// join it.
void NodeGroup(const std::string& path, SerialOpenFailure& failure) {
    char(&group)[kGroupNameSize] = failure.group;
    group[0] = '\0';
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return;
    }
    failure.userInGroup = InGroup(info.st_gid);
    char buffer[1024];
    struct group entry {};
    struct group* found = nullptr;
    if (getgrgid_r(info.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        std::snprintf(group, sizeof group, "%s", found->gr_name);
    } else {
        std::snprintf(group, sizeof group, "%u", static_cast<unsigned>(info.st_gid));
    }
}

// Records why an open failed in *out (when given): the errors that an operator can act on are
// told apart.
SerialOpenResult OpenFailed(SerialOpenResult result, int error, const std::string& path,
                            SerialOpenFailure* out) {
    if (out == nullptr) {
        return result;
    }
    SerialOpenFailure failure{};
    failure.error = static_cast<uint32_t>(error);
    switch (error) {
        case EACCES:
        case EPERM:
            failure.cause = SerialOpenCause::noAccess;
            NodeGroup(path, failure);
            break;
        case EBUSY:        // another process set TIOCEXCL, and we are not root
        case EWOULDBLOCK:  // another process holds the flock
            failure.cause = SerialOpenCause::inUse;
            break;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            failure.cause = SerialOpenCause::absent;
            break;
        default:
            failure.cause = SerialOpenCause::other;
            break;
    }
    *out = failure;
    return result;
}

// A port name is a path below the device root; a ".." component would leave it.
bool LeavesDeviceRoot(const char* name) {
    const char* part = name;
    for (;;) {
        const char* slash = std::strchr(part, '/');
        const size_t length =
            slash != nullptr ? static_cast<size_t>(slash - part) : std::strlen(part);
        if (length == 2 && part[0] == '.' && part[1] == '.') {
            return true;
        }
        if (slash == nullptr) {
            return false;
        }
        part = slash + 1;
    }
}

bool ConfigureLine(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    // Raw bytes both ways: no line editing, no character translation, no echo, no signals. A
    // terminal starts in line mode, which would alter and echo the master's bytes, so unlike the
    // rest of the line settings these are not left as found. The driver's queue sizes are fixed
    // here; the 1000-byte queue hint has no counterpart and is skipped.
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    // cfmakeraw leaves the receive-side software flow control alone; the master uses none.
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (cfsetispeed(&settings, B921600) != 0 || cfsetospeed(&settings, B921600) != 0) {
        return false;
    }
    // With O_NONBLOCK, VMIN=1 makes "no data" read as EAGAIN, distinct from a vanished device,
    // which reads as 0 or fails with EIO.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return false;
    }
    // tcsetattr succeeds when any change was applied; a driver may have refused the speed.
    termios applied{};
    if (tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != B921600 ||
        (applied.c_cflag & CSIZE) != CS8) {
        return false;
    }
    // DTR and RTS are not driven. Opening a terminal raises them, so they are dropped here.
    // Devices without modem lines (a pseudo-terminal) answer ENOTTY or EINVAL: nothing to drop.
    int lines = TIOCM_DTR | TIOCM_RTS;
    return ioctl(fd, TIOCMBIC, &lines) == 0 || errno == ENOTTY || errno == EINVAL;
}

}  // namespace

void PosixSerial_SetWriteStallLimitMs(uint32_t ms) {
    g_writeStallLimitMs.store(ms != 0 ? ms : kPosixSerialWriteStallMs, std::memory_order_relaxed);
}

// The exclusive flag set by TIOCEXCL belongs to the terminal, not to the descriptor: on a
// pseudo-terminal it outlives the close, and every later open by a user other than root would
// fail with EBUSY. It is therefore cleared before the descriptor is closed.
static int CloseExclusive(int fd) {
    ioctl(fd, TIOCNXCL);
    return close(fd);
}

SerialOpenResult Platform_SerialOpen(const char* portName, SerialPort** out,
                                     SerialOpenFailure* failure) {
    if (failure != nullptr) {
        *failure = SerialOpenFailure{};
    }
    if (out == nullptr) {
        return OpenFailed(SerialOpenResult::openFailed, EINVAL, "", failure);
    }
    *out = nullptr;
    if (portName == nullptr || portName[0] == '\0' ||
        strnlen(portName, kMaxPortNameLength + 1) > kMaxPortNameLength ||
        LeavesDeviceRoot(portName)) {
        return OpenFailed(SerialOpenResult::openFailed, EINVAL, "", failure);
    }
    const std::string path = PosixRoots_Dev() + "/" + portName;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return OpenFailed(SerialOpenResult::openFailed, errno, path, failure);
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) {
        close(fd);
        return OpenFailed(SerialOpenResult::openFailed, ENOTTY, path, failure);
    }
    // Exclusive use: TIOCEXCL makes further opens fail with EBUSY, except for root; the flock
    // also stops root, as a second descriptor on the same device cannot take it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        return OpenFailed(SerialOpenResult::openFailed, error, path, failure);
    }
    // A character device that is no terminal refuses TIOCEXCL with ENOTTY; it then fails the line
    // settings below and is reported as a port that cannot be configured.
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        const int error = errno;
        close(fd);
        return OpenFailed(SerialOpenResult::openFailed, error, path, failure);
    }
    if (!ConfigureLine(fd)) {
        const int error = errno;
        CloseExclusive(fd);
        // Whatever the settings call reported, the port could be opened: it is not "gone" or
        // "in use" but unfit for the master's line.
        if (failure != nullptr) {
            failure->cause = SerialOpenCause::other;
            failure->error = static_cast<uint32_t>(error);
        }
        return SerialOpenResult::configureFailed;
    }
    auto* port = new (std::nothrow) SerialPort{fd};
    if (port == nullptr) {
        CloseExclusive(fd);
        return OpenFailed(SerialOpenResult::openFailed, ENOMEM, path, failure);
    }
    *out = port;
    return SerialOpenResult::ok;
}

SerialReadResult Platform_SerialReadByte(SerialPort* port, uint8_t* out) {
    if (port == nullptr || port->fd < 0 || out == nullptr) {
        return SerialReadResult::error;
    }
    uint8_t byte = 0;
    ssize_t got = 0;
    if (SerialReadCall(*hook)() = SeamState_SerialReadHook(); hook != nullptr) {
        const SerialReadCall call = hook();
        got = call.got;
        byte = call.byte;
        errno = static_cast<int>(call.error);
    } else {
        got = read(port->fd, &byte, 1);
    }
    if (got == 1) {
        *out = byte;
        return SerialReadResult::byte;
    }
    if (got == 0) {
        // With VMIN=1 a read returns 0 only when the other side has gone.
        return SerialReadResult::lost;
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return SerialReadResult::none;
    }
    // EIO: the other side of a pseudo-terminal closed, or the USB device went away mid-read.
    if (error == EIO || error == ENXIO || error == ENODEV) {
        return SerialReadResult::lost;
    }
    return SerialReadResult::error;
}

bool Platform_SerialWrite(SerialPort* port, const uint8_t* data, uint32_t length,
                          uint32_t* written) {
    uint32_t sent = 0;
    if (written != nullptr) {
        *written = 0;
    }
    if (port == nullptr || port->fd < 0 || (data == nullptr && length > 0)) {
        return false;
    }
    // A write waits while the device drains its buffer, but not for ever: a device that accepts
    // nothing for this long (at 921600 bit/s a whole frame takes a few milliseconds) has stalled,
    // and the write counts as failed.
    const auto stallLimit =
        std::chrono::milliseconds(g_writeStallLimitMs.load(std::memory_order_relaxed));
    auto lastProgress = std::chrono::steady_clock::now();
    bool ok = true;
    while (sent < length) {
        const ssize_t put = write(port->fd, data + sent, length - sent);
        if (put > 0) {
            sent += static_cast<uint32_t>(put);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ok = false;
            break;
        }
        const auto waited = std::chrono::steady_clock::now() - lastProgress;
        if (waited >= stallLimit) {
            ok = false;
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(stallLimit - waited);
        pollfd wait{port->fd, POLLOUT, 0};
        if (poll(&wait, 1, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) {
            ok = false;
            break;
        }
        // POLLERR/POLLHUP: the next write reports the failure.
    }
    if (written != nullptr) {
        *written = sent;
    }
    return ok;
}

bool Platform_SerialClose(SerialPort* port) {
    if (port == nullptr) {
        return false;
    }
    if (port->fd < 0) {
        // An earlier close reported a failure; the descriptor was already released then.
        delete port;
        return true;
    }
    // The flock goes with the descriptor; the exclusive flag must be cleared by hand.
    if (CloseExclusive(port->fd) != 0) {
        // The descriptor is released even when close reports an error, so it must never be
        // closed again (its number may already belong to another file). The record stays for
        // the caller, who sees the port as still open; a second close then frees it.
        port->fd = -1;
        return false;
    }
    delete port;
    return true;
}

const char* Platform_PortNameMarker() {
    return "(tty";
}

bool Platform_SameName(const char* typed, const char* name) {
    return typed != nullptr && name != nullptr && std::strcmp(typed, name) == 0;
}

// stat follows every symbolic link, so a udev link (/dev/serial/by-id/...) and the node it leads
// to compare equal; two nodes of one terminal device (same device number) are one port as well.
bool Platform_PathLeadsToPort(const char* path, const char* portName) {
    if (path == nullptr || portName == nullptr || path[0] != '/' || portName[0] == '\0' ||
        std::strchr(portName, '/') != nullptr) {
        return false;
    }
    struct stat given {};
    struct stat port {};
    if (stat(path, &given) != 0 || stat((PosixRoots_Dev() + "/" + portName).c_str(), &port) != 0) {
        return false;
    }
    if (S_ISCHR(given.st_mode) && S_ISCHR(port.st_mode)) {
        return given.st_rdev == port.st_rdev;
    }
    return given.st_dev == port.st_dev && given.st_ino == port.st_ino;
}
