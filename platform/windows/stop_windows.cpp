// The operator's stop requests from the console (Ctrl-C, Ctrl-Break, closing the window, logoff,
// shutdown) and keeping the PC awake during an update.
//
// The console control handler runs on a thread that the system starts for each event. It records
// the request and returns, except for close, logoff and shutdown: for those the system ends the
// process as soon as the handler returns, so the handler waits (bounded) until the main thread
// has closed the link and calls Platform_StopCleanupDone.
//
// Logoff and shutdown: a console program gets these events as long as it has not loaded user32
// (this program does not itself; the Setup API may, depending on the Windows version). The
// handler then records "closing" as for a closed window, the program finishes the exchange in
// flight and closes the port, and Windows ends the process when the handler returns, or at the
// latest after its wait-to-kill time (5 seconds by default). Once user32 is loaded, Windows treats
// the process as a windowed program: the handler is not called for logoff and shutdown, and the
// process ends with the session without a stop request, as when the power fails.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/common/stop_state.h"
#include "platform/platform.h"
#include "platform/windows/stop_windows.h"

namespace {

// The exit status that Windows' default handler gives a process it ends on Ctrl-C, Ctrl-Break or
// a closed console (STATUS_CONTROL_C_EXIT): a command prompt and a calling script see the same.
constexpr UINT kControlCExitStatus = 0xC000013A;

constexpr DWORD kCleanupPollMs = 10;

// Set by Platform_StopCleanupDone; read by a waiting handler on its own thread.
std::atomic<bool> g_cleanupDone{false};

// Waits until Platform_StopCleanupDone has been called, or waitMs have passed.
void WaitForCleanup(DWORD waitMs) {
    const ULONGLONG start = GetTickCount64();
    while (!g_cleanupDone.load(std::memory_order_acquire) && GetTickCount64() - start < waitMs) {
        Sleep(kCleanupPollMs);
    }
}

BOOL WINAPI ControlHandler(DWORD event) {
    return StopWindows_HandleControl(event, kStopCleanupWaitMs);
}

}  // namespace

BOOL StopWindows_HandleControl(DWORD event, DWORD waitMs) {
    switch (event) {
        case CTRL_C_EVENT:
            StopState_Record(StopCause::interrupt, false);
            return TRUE;
        case CTRL_BREAK_EVENT:
            StopState_Record(StopCause::terminate, false);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            StopState_Record(StopCause::closing, true);
            WaitForCleanup(waitMs);
            return TRUE;
        default:
            return FALSE;
    }
}

void StopWindowsSeam_ResetCleanup() {
    g_cleanupDone.store(false, std::memory_order_release);
}

// A failed registration (no console at all) leaves the system's default handling, which ends the
// process at once: there is nothing better to fall back to, so the result is not reported.
void Platform_StopHandlersInstall() {
    SetConsoleCtrlHandler(&ControlHandler, TRUE);
}

void Platform_StopCleanupDone() {
    g_cleanupDone.store(true, std::memory_order_release);
}

// Every cause ends the same way: a handler that waits for the cleanup is released, and the
// process ends with the default handler's status. For a closing console, logoff or shutdown the
// system may end the process first, as soon as the released handler returns; the program has
// nothing left to do by then. Output still buffered by the C runtime is written first, as a
// normal exit would.
void Platform_EndAsStopRequested() {
    if (Platform_StopRequests().count == 0) {
        return;
    }
    std::fflush(nullptr);
    Platform_StopCleanupDone();
    ExitProcess(kControlCExitStatus);
}

// The request belongs to the calling thread and ends with it: the program turns it on and off on
// its main thread. ES_SYSTEM_REQUIRED holds off only the idle sleep (the PC going to sleep because
// nobody uses it); the display may still turn off, and the Start menu's Sleep, a closed lid, the
// power button or a battery running low still put the PC to sleep.
void Platform_KeepAwake(bool on) {
    SetThreadExecutionState(on ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
}
