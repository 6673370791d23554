// The recursive library lock on a CRITICAL_SECTION, and threads started with _beginthread.
//
// A thread started with _beginthread closes its own handle when it ends, so the handle that
// _beginthread returns can be closed (and its value reused) before anyone waits on it: it cannot
// be joined. The join is therefore built on the thread's record instead. The thread's last access
// to its record is an atomic store of "finished"; Platform_ThreadJoin polls that flag (1 ms
// sleeps) and frees the record once it reads "finished". After that store the thread only runs
// the C runtime's thread exit, which touches none of the caller's memory, so whatever the body
// used may be released as soon as the join returns.
//
// The join waits as long as the body runs, as a join does; the callers bound it by asking the
// body to stop and waiting (bounded) for it to report itself stopped before they join.
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "platform/common/seam_state.h"
#include "platform/platform.h"

struct PlatformLock {
    CRITICAL_SECTION section;
};

struct PlatformThread {
    void (*body)(void*);
    void* arg;
    std::atomic<bool> finished{false};
};

namespace {

constexpr DWORD kJoinPollMs = 1;

// _beginthread reports a failed start with this value.
const uintptr_t kBeginThreadFailed = static_cast<uintptr_t>(-1);

void __cdecl ThreadEntry(void* raw) {
    auto* thread = static_cast<PlatformThread*>(raw);
    thread->body(thread->arg);
    // The last access to the record: from here on the joiner may free it.
    thread->finished.store(true, std::memory_order_release);
}

}  // namespace

PlatformLock* Platform_LockCreate() {
    auto* lock = new (std::nothrow) PlatformLock;
    if (lock != nullptr) {
        InitializeCriticalSection(&lock->section);
    }
    return lock;
}

void Platform_LockDelete(PlatformLock* lock) {
    if (lock == nullptr) {
        return;
    }
    DeleteCriticalSection(&lock->section);
    delete lock;
}

// A critical section may be entered again by the thread that holds it: the lock is recursive.
void Platform_LockEnter(PlatformLock* lock) {
    EnterCriticalSection(&lock->section);
}

void Platform_LockLeave(PlatformLock* lock) {
    LeaveCriticalSection(&lock->section);
}

PlatformThread* Platform_ThreadStart(void (*body)(void*), void* arg) {
    if (body == nullptr || SeamState_TakeThreadStartFailure()) {
        return nullptr;
    }
    auto* thread = new (std::nothrow) PlatformThread{body, arg};
    if (thread == nullptr) {
        return nullptr;
    }
    if (_beginthread(&ThreadEntry, 0, thread) == kBeginThreadFailed) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void Platform_ThreadJoin(PlatformThread* thread) {
    if (thread == nullptr) {
        return;
    }
    while (!thread->finished.load(std::memory_order_acquire)) {
        Sleep(kJoinPollMs);
    }
    delete thread;
}
