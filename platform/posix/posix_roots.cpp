#include "platform/posix/posix_roots.h"

#include <mutex>

#include "platform/seams.h"

namespace {

std::mutex g_rootsMutex;

// The roots, guarded by g_rootsMutex. Made on first use rather than at load time, so that a
// failed allocation surfaces in a call and not before main.
std::string& SysRoot() {
    static std::string root = "/sys";
    return root;
}
std::string& DevRoot() {
    static std::string root = "/dev";
    return root;
}

}  // namespace

void PlatformSeam_SetPosixRoots(const char* sysRoot, const char* devRoot) {
    std::lock_guard<std::mutex> guard(g_rootsMutex);
    SysRoot() = sysRoot != nullptr ? sysRoot : "/sys";
    DevRoot() = devRoot != nullptr ? devRoot : "/dev";
}

std::string PosixRoots_Sys() {
    std::lock_guard<std::mutex> guard(g_rootsMutex);
    return SysRoot();
}

std::string PosixRoots_Dev() {
    std::lock_guard<std::mutex> guard(g_rootsMutex);
    return DevRoot();
}
