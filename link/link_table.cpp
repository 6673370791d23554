// The link table, the library lock, and opening and closing links (IOL_Create, IOL_Destroy).
#include <array>
#include <cstring>
#include <memory>

#include "link/link.h"

namespace {

// The one recursive library lock. Created by IOL_LibraryAttach before any link exists and deleted
// by IOL_LibraryDetach after every receive thread has been joined, so the threads never see it
// change.
PlatformLock* g_lock = nullptr;

// Slot 0 is never given out; slots 1..19 own their Link records.
std::array<std::unique_ptr<Link>, kLinkSlots> g_links;

constexpr uint32_t kHandshakePollMs = 2;
// The receive thread reports itself running as its first action and stopped within one pass of
// its loop (a 5 ms pause at most, or a port-event dispatch waiting for the library lock). Five
// seconds is far beyond either; past it the caller stops waiting instead of hanging. The bound is
// a time on the tick, not a count of polls: a 2 ms sleep may last a whole timer step (about
// 15.6 ms on Windows), which would stretch 2500 polls to some 39 seconds.
constexpr uint32_t kHandshakeLimitMs = 5000;

bool SlotInRange(int32_t slot) {
    return slot >= 1 && slot < kLinkSlots;
}

// Polls runState every 2 ms until `done` holds for it; false when five seconds on the tick passed
// first. runState is looked at once more after the bound, so a thread that made it in time counts.
template <typename Done>
bool PollRunState(const Link& link, Done done) {
    const uint32_t start = Platform_TickMs();
    while (!done(link.runState.load(std::memory_order_acquire))) {
        if (Platform_TickMs() - start >= kHandshakeLimitMs) {
            return done(link.runState.load(std::memory_order_acquire));
        }
        Platform_SleepMs(kHandshakePollMs);
    }
    return true;
}

void ReceiveThreadEntry(void* arg) {
    Link_ReceiveThread(static_cast<Link*>(arg));
}

}  // namespace

// ---- Library start-up and shut-down, the lock ----

int32_t IOL_LibraryAttach() {
    // A second start-up keeps the lock it has: links may still use it.
    if (g_lock == nullptr) {
        g_lock = Platform_LockCreate();
    }
    return IOL_OK;
}

int32_t IOL_LibraryDetach() {
    bool threadLeft = false;
    for (int32_t slot = 0; slot < kLinkSlots; ++slot) {
        if (LinkTable_CheckSlot(slot) == IOL_OK) {
            IOL_Destroy(slot);
        }
        const Link* link = LinkTable_At(slot);
        threadLeft = threadLeft || (link != nullptr && link->thread != nullptr);
    }
    // A link whose thread did not stop in time still takes the lock; it is kept rather than
    // deleted under that thread.
    if (!threadLeft && g_lock != nullptr) {
        Platform_LockDelete(g_lock);
        g_lock = nullptr;
    }
    return IOL_OK;
}

// Without a library start-up there is no lock to take; the calls then do nothing.
void IOL_Lock() {
    if (g_lock != nullptr) {
        Platform_LockEnter(g_lock);
    }
}

void IOL_Unlock() {
    if (g_lock != nullptr) {
        Platform_LockLeave(g_lock);
    }
}

// ---- Link table ----

int32_t LinkTable_CheckSlot(int32_t slot) {
    if (!SlotInRange(slot)) {
        return IOL_ERR_NO_LINK;
    }
    LibraryLockGuard guard;
    const Link* link = g_links[static_cast<size_t>(slot)].get();
    return link != nullptr && link->portHandle != nullptr ? IOL_OK : IOL_ERR_NO_LINK;
}

int32_t LinkTable_AllocSlot(Link** out) {
    LibraryLockGuard guard;
    for (int32_t slot = 1; slot < kLinkSlots; ++slot) {
        if (LinkTable_CheckSlot(slot) == IOL_ERR_NO_LINK) {
            auto& entry = g_links[static_cast<size_t>(slot)];
            entry = std::make_unique<Link>();
            entry->slot = slot;
            *out = entry.get();
            return slot;
        }
    }
    *out = nullptr;
    return IOL_ERR_NO_SLOT;
}

void LinkTable_FreeSlot(int32_t slot) {
    if (!SlotInRange(slot)) {
        return;
    }
    LibraryLockGuard guard;
    g_links[static_cast<size_t>(slot)].reset();
}

Link* LinkTable_At(int32_t slot) {
    if (slot < 0 || slot >= kLinkSlots) {
        return nullptr;
    }
    return g_links[static_cast<size_t>(slot)].get();
}

int32_t LinkTable_GetLink(int32_t slot, Link** out) {
    if (LinkTable_CheckSlot(slot) != IOL_OK) {
        return IOL_ERR_NO_LINK;
    }
    Link* link = LinkTable_At(slot);
    if (link->online.load(std::memory_order_acquire) == 0) {
        IOL_Destroy(slot);
        return IOL_ERR_LOST;
    }
    *out = link;
    return IOL_OK;
}

// ---- Opening and closing a link ----

int32_t IOL_Create(const char* portName) {
    return IOL_CreateWithCause(portName, nullptr);
}

int32_t IOL_CreateWithCause(const char* portName, SerialOpenFailure* why) {
    SerialOpenFailure failure{};
    failure.cause = SerialOpenCause::none;
    if (why != nullptr) {
        *why = failure;
    }
    if (portName == nullptr) {
        return IOL_ERR_NO_NAME;
    }
    // A name that does not fit portName is refused as a port that cannot be opened, never cut
    // down to a shorter name that may belong to another port.
    if (strnlen(portName, kLinkPortNameSize) >= kLinkPortNameSize) {
        if (why != nullptr) {
            why->cause = SerialOpenCause::other;
        }
        return IOL_ERR_OPEN;
    }

    SerialPort* port = nullptr;
    const SerialOpenResult opened = Platform_SerialOpen(portName, &port, &failure);
    if (opened != SerialOpenResult::ok) {
        if (why != nullptr) {
            *why = failure;
        }
        return opened == SerialOpenResult::configureFailed ? IOL_ERR_CONFIGURE : IOL_ERR_OPEN;
    }

    Link* link = nullptr;
    int32_t slot;
    {
        // The handle goes in under the same lock as the slot, so that the slot never counts as
        // free while it is being filled.
        LibraryLockGuard guard;
        slot = LinkTable_AllocSlot(&link);
        if (slot < 0) {
            Platform_SerialClose(port);
            return IOL_ERR_NO_SLOT;
        }
        link->portHandle = port;
    }
    std::memcpy(link->portName, portName, std::strlen(portName) + 1);
    link->eventCount = 0;
    link->eventTail = 0;
    link->eventHead = 0;
    link->responseLength = 0;
    link->requestLength = 0;
    link->logStream = nullptr;
    link->logEnabled = 0;
    link->portState.fill(0);
    link->responseReady.store(0, std::memory_order_release);
    link->sendStatus = kSendOk;
    link->online.store(1, std::memory_order_release);
    link->baudRate = kLinkBaudRate;
    link->runState.store(kRunStarting, std::memory_order_release);

    link->thread = Platform_ThreadStart(&ReceiveThreadEntry, link);
    if (link->thread == nullptr) {
        // No receiver, no link: the port is closed and the slot freed at once. Reported as a
        // port that cannot be set up for the master.
        Platform_SerialClose(port);
        LinkTable_FreeSlot(slot);
        if (why != nullptr) {
            why->cause = SerialOpenCause::other;
        }
        return IOL_ERR_CONFIGURE;
    }
    if (!PollRunState(*link, [](uint8_t state) { return state != kRunStarting; })) {
        // The thread has not reported itself within the bound. Taking runState from 0 to 2
        // tells it, when it does run, to stop at once (it starts only from 0); if it got there
        // first, the link is simply running.
        uint8_t expected = kRunStarting;
        if (link->runState.compare_exchange_strong(expected, kRunStopRequested,
                                                   std::memory_order_acq_rel)) {
            Platform_ThreadJoin(link->thread);
            link->thread = nullptr;
            Platform_SerialClose(port);
            LinkTable_FreeSlot(slot);
            if (why != nullptr) {
                why->cause = SerialOpenCause::other;
            }
            return IOL_ERR_CONFIGURE;
        }
    }
    return slot;
}

int32_t IOL_Destroy(int32_t slot) {
    if (LinkTable_CheckSlot(slot) != IOL_OK) {
        return IOL_ERR_NO_LINK;
    }
    Link* link = LinkTable_At(slot);
    // The thread is gone already when an earlier close of the port failed.
    if (link->thread != nullptr) {
        // From running to stop requested; a thread that an earlier call asked already (2) or
        // that has stopped since (3) keeps its state.
        uint8_t running = kRunRunning;
        link->runState.compare_exchange_strong(running, kRunStopRequested,
                                               std::memory_order_acq_rel);
        if (!PollRunState(*link, [](uint8_t state) { return state == kRunStopped; })) {
            // The thread still uses the link (it may wait for a lock that this caller holds):
            // nothing is closed or freed under it. A later IOL_Destroy tries again.
            return IOL_ERR_SEND;
        }
        Platform_ThreadJoin(link->thread);
        link->thread = nullptr;
    }
    if (!Platform_SerialClose(link->portHandle)) {
        return IOL_ERR_SEND;
    }
    link->portHandle = nullptr;
    LinkTable_FreeSlot(slot);
    return IOL_OK;
}

int32_t IOL_SetLogStream(int32_t slot, std::ostream* stream, uint16_t dateStyle) {
    if (LinkTable_CheckSlot(slot) != IOL_OK) {
        return IOL_ERR_NO_LINK;
    }
    // The receive thread writes log lines under the library lock, so once this returns no line
    // is being written to the stream that was set before.
    LibraryLockGuard guard;
    Link* link = LinkTable_At(slot);
    link->logStream = stream;
    link->logDateStyle = dateStyle;
    return IOL_OK;
}
