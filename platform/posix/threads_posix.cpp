// The recursive library lock and thread start/join, built on the standard library.
#include <csignal>

#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/common/seam_state.h"
#include "platform/platform.h"
#include "platform/posix/stop_posix.h"

struct PlatformLock {
    std::recursive_mutex mutex;
};

struct PlatformThread {
    std::thread thread;
};

PlatformLock* Platform_LockCreate() {
    return new (std::nothrow) PlatformLock;
}

void Platform_LockDelete(PlatformLock* lock) {
    delete lock;
}

void Platform_LockEnter(PlatformLock* lock) {
    lock->mutex.lock();
}

void Platform_LockLeave(PlatformLock* lock) {
    lock->mutex.unlock();
}

PlatformThread* Platform_ThreadStart(void (*body)(void*), void* arg) {
    if (body == nullptr || SeamState_TakeThreadStartFailure()) {
        return nullptr;
    }
    auto* handle = new (std::nothrow) PlatformThread;
    if (handle == nullptr) {
        return nullptr;
    }
    try {
        // The operator's stop signals (and SIGPIPE) go to the main thread, which decides at its
        // safe points: a new thread starts with them blocked (it inherits the mask in force when
        // it is made).
        const StopSignalsBlocked blocked(SIGPIPE);
        handle->thread = std::thread(body, arg);
    } catch (const std::system_error&) {
        delete handle;
        return nullptr;
    }
    return handle;
}

void Platform_ThreadJoin(PlatformThread* thread) {
    if (thread == nullptr) {
        return;
    }
    if (thread->thread.joinable()) {
        thread->thread.join();
    }
    delete thread;
}
