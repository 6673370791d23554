// The record of the operator's stop requests, shared by every platform implementation. The
// handlers of each platform record into it; Platform_StopRequests reads it.
#pragma once

#include "platform/platform.h"

// Records one request. Safe in a POSIX signal handler and on a Windows handler thread: it only
// touches lock-free atomics.
void StopState_Record(StopCause cause, bool urgent);
