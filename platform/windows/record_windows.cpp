// What a record of a run needs from Windows: an append-only log file that reaches the disk, the
// computer and user names, a COM port's device path, and SHA-256 digests from CNG (bcrypt.dll).
#include <windows.h>
// bcrypt.h needs the declarations of windows.h first.
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "platform/platform.h"

struct PlatformLogFile {
    HANDLE handle;
};

namespace {

// Closes a CNG algorithm provider and hash object on every way out.
struct Sha256Objects {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~Sha256Objects() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
        if (algorithm != nullptr) {
            BCryptCloseAlgorithmProvider(algorithm, 0);
        }
    }
};

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

}  // namespace

PlatformLogFile* Platform_LogOpen(const char* path, uint32_t* error) {
    *error = 0;
    // FILE_APPEND_DATA alone: every write lands at the file's end as one piece, whoever else
    // appends to it; the sharing lets processes side by side keep one record.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    // A record kept on a console or a pipe is no record: only a disk file is taken.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    auto* file = new (std::nothrow) PlatformLogFile{handle};
    if (file == nullptr) {
        CloseHandle(handle);
        *error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return file;
}

bool Platform_LogAppend(PlatformLogFile* file, const char* data, size_t length, uint32_t* error) {
    *error = 0;
    DWORD written = 0;
    if (length > MAXDWORD ||
        WriteFile(file->handle, data, static_cast<DWORD>(length), &written, nullptr) == FALSE) {
        *error = length > MAXDWORD ? ERROR_INVALID_PARAMETER : GetLastError();
        return false;
    }
    if (written != length) {
        *error = ERROR_DISK_FULL;
        return false;
    }
    if (FlushFileBuffers(file->handle) == FALSE) {
        *error = GetLastError();
        return false;
    }
    return true;
}

void Platform_LogClose(PlatformLogFile* file) {
    if (file != nullptr) {
        CloseHandle(file->handle);
        delete file;
    }
}

void Platform_ErrorText(uint32_t error, char* text, size_t size) {
    if (size == 0) {
        return;
    }
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        std::snprintf(text, size, "system error %lu", static_cast<unsigned long>(error));
        return;
    }
    // The system's texts end with a line end and often a full stop; the caller adds its own.
    size_t end = std::strlen(text);
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' ' ||
                       text[end - 1] == '.')) {
        text[--end] = '\0';
    }
}

bool Platform_HostName(char* text, size_t size) {
    auto length = static_cast<DWORD>(size);
    return size != 0 && GetComputerNameExA(ComputerNameDnsHostname, text, &length) != FALSE;
}

bool Platform_UserName(char* text, size_t size) {
    auto length = static_cast<DWORD>(size);
    return size != 0 && GetUserNameA(text, &length) != FALSE;
}

void Platform_SerialDevicePath(const char* portName, char* text, size_t size) {
    if (size != 0) {
        std::snprintf(text, size, R"(\\.\%s)", portName);
    }
}

// The step-by-step hash calls exist since Windows Vista (BCryptHash, in one call, only since 10).
bool Platform_Sha256(const uint8_t* data, size_t length, uint8_t (&digest)[kSha256Size]) {
    Sha256Objects objects;
    if (length > std::numeric_limits<ULONG>::max() ||
        !Succeeded(BCryptOpenAlgorithmProvider(&objects.algorithm, BCRYPT_SHA256_ALGORITHM,
                                               nullptr, 0)) ||
        !Succeeded(BCryptCreateHash(objects.algorithm, &objects.hash, nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    // The hash call takes no const input, but does not write it.
    auto* input = const_cast<PUCHAR>(data);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    return Succeeded(BCryptHashData(objects.hash, input, static_cast<ULONG>(length), 0)) &&
           Succeeded(BCryptFinishHash(objects.hash, digest, kSha256Size, 0));
}
