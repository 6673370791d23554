// What a record of a run needs from the system: an append-only log file that reaches the disk,
// the host and user names, a serial port's device path, and SHA-256 digests from OpenSSL's
// libcrypto.
#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_roots.h"

struct PlatformLogFile {
    int fd;
};

PlatformLogFile* Platform_LogOpen(const char* path, uint32_t* error) {
    *error = 0;
    // O_APPEND: every write lands at the file's end as one piece, whoever else appends to it.
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    struct stat info {};
    const bool known = fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        // A record kept on a terminal or a pipe is no record: only a regular file is taken.
        *error = known ? static_cast<uint32_t>(EINVAL) : static_cast<uint32_t>(errno);
        close(fd);
        return nullptr;
    }
    auto* file = new (std::nothrow) PlatformLogFile{fd};
    if (file == nullptr) {
        *error = ENOMEM;
        close(fd);
    }
    return file;
}

bool Platform_LogAppend(PlatformLogFile* file, const char* data, size_t length, uint32_t* error) {
    *error = 0;
    ssize_t written = -1;
    do {
        written = write(file->fd, data, length);
    } while (written < 0 && errno == EINTR);
    if (written < 0 || static_cast<size_t>(written) != length) {
        // A short write to a regular file means a full disk; the line is not whole.
        *error = written < 0 ? static_cast<uint32_t>(errno) : ENOSPC;
        return false;
    }
    if (fsync(file->fd) != 0) {
        *error = static_cast<uint32_t>(errno);
        return false;
    }
    return true;
}

void Platform_LogClose(PlatformLogFile* file) {
    if (file != nullptr) {
        close(file->fd);
        delete file;
    }
}

void Platform_ErrorText(uint32_t error, char* text, size_t size) {
    if (size == 0) {
        return;
    }
    // The XSI strerror_r fills the buffer; the GNU one returns a text of its own.
    char buffer[256] = {};
    const char* message = strerror_r(static_cast<int>(error), buffer, sizeof(buffer));
    std::snprintf(text, size, "%s", message != nullptr ? message : "unknown error");
}

bool Platform_HostName(char* text, size_t size) {
    if (size == 0 || gethostname(text, size) != 0) {
        return false;
    }
    text[size - 1] = '\0';
    return true;
}

bool Platform_UserName(char* text, size_t size) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (size == 0 || getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        // A user without a passwd entry (a container's arbitrary ID) is named by its number.
        return size != 0 && std::snprintf(text, size, "%u", static_cast<unsigned>(geteuid())) > 0;
    }
    std::snprintf(text, size, "%s", entry.pw_name);
    return true;
}

void Platform_SerialDevicePath(const char* portName, char* text, size_t size) {
    if (size != 0) {
        std::snprintf(text, size, "%s/%s", PosixRoots_Dev().c_str(), portName);
    }
}

bool Platform_Sha256(const uint8_t* data, size_t length, uint8_t (&digest)[kSha256Size]) {
    unsigned int size = 0;
    return EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) == 1 &&
           size == kSha256Size;
}
