#include "platform/posix/posix_roots.h"

#include <mutex>

#include "platform/seams.h"

namespace {

std::mutex g_rootsMutex;
std::string g_sysRoot = "/sys";  // guarded by g_rootsMutex
std::string g_devRoot = "/dev";  // guarded by g_rootsMutex

}  // namespace

void PlatformSeam_SetPosixRoots(const char* sysRoot, const char* devRoot) {
    std::lock_guard<std::mutex> guard(g_rootsMutex);
    g_sysRoot = sysRoot != nullptr ? sysRoot : "/sys";
    g_devRoot = devRoot != nullptr ? devRoot : "/dev";
}

std::string PosixRoots_Sys() {
    std::lock_guard<std::mutex> guard(g_rootsMutex);
    return g_sysRoot;
}

std::string PosixRoots_Dev() {
    std::lock_guard<std::mutex> guard(g_rootsMutex);
    return g_devRoot;
}
