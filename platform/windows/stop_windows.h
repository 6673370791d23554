// Internals of the Windows stop requests that its tests check: the console control handler, called
// directly with the event it stands for. Only this folder and the Windows tests include this
// header.
#pragma once

#include <windows.h>

// How long the handler of a close, logoff or shutdown event waits for Platform_StopCleanupDone.
// Windows ends a process that a closing console, a logoff or a shutdown is waiting for 5 seconds
// after the event (the system's defaults); returning half a second before that lets the process
// end as a closed program, not as one that hangs (which would hold a logoff or shutdown at the
// "programs still need to close" screen), with the cleanup it got through by then.
constexpr DWORD kStopCleanupWaitMs = 4500;

// What the console control handler does with an event: it records the stop request that the
// event stands for (Ctrl-C: interrupt; Ctrl-Break: terminate; close, logoff, shutdown: closing,
// urgent) and returns TRUE. For close, logoff and shutdown it first waits, at most waitMs, until
// Platform_StopCleanupDone is called: the system ends the process as soon as it returns. An event
// it does not know is left to the next handler (FALSE).
BOOL StopWindows_HandleControl(DWORD event, DWORD waitMs);

// Forgets an earlier Platform_StopCleanupDone, so that the next test's handler waits again.
void StopWindowsSeam_ResetCleanup();
