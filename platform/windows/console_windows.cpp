// One key press without echo: _getch on the console; from redirected input, one byte. And whether
// the program waits for a key before its console window closes.
#include "platform/windows/console_windows.h"

#include <conio.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>

#include "platform/common/seam_state.h"
#include "platform/common/stop_state.h"
#include "platform/platform.h"

namespace {

// _getch reports a function or arrow key as two codes, a lead code (0 or 0xE0) and the key's
// own. Both are taken, so that the second code does not answer the next prompt by itself.
constexpr int kExtendedLead0 = 0x00;
constexpr int kExtendedLeadE0 = 0xE0;

// Ctrl-C pressed while _getch reads: _getch switches the console's processed input off for its
// read, so the system raises no Ctrl-C event and the key arrives as this code.
constexpr int kCtrlCKey = 0x03;

std::atomic<int (*)()> g_getch{nullptr};

// GetConsoleMode succeeds on a console handle only: a file, a pipe or the NUL device is
// redirected input (_isatty would take NUL for a console, and _getch would then wait at the
// console although the input was redirected).
bool StandardInputIsConsole() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    return input != nullptr && input != INVALID_HANDLE_VALUE &&
           GetConsoleMode(input, &mode) != FALSE;
}

// Waits for a key press as long as the operator takes. _getch is not given up for a poll of _kbhit
// that could also notice a Ctrl-Break or a closed window while no key is pressed: Wine's console
// on a terminal fills its input only while a read waits, so _kbhit there never sees a key. A
// Ctrl-Break at a prompt is recorded and acted on after the key; a closed window ends the process
// after the handler's wait (at a prompt no port is open).
int ReadConsoleKey(int (*getch)()) {
    const int key = getch();
    if (key == EOF) {
        return kKeyReadError;
    }
    if (key == kCtrlCKey) {
        StopState_Record(StopCause::interrupt, false);
        return kKeyStopRequested;
    }
    if (key == kExtendedLead0 || key == kExtendedLeadE0) {
        getch();
    }
    return key;
}

// Standard input is a file or a pipe: the next byte is the answer, whatever its value (0x03
// included), and the end of the input is reported as such, so that an unattended run never
// waits for ever.
int ReadInputByte() {
    unsigned char byte = 0;
    const int got = _read(_fileno(stdin), &byte, 1);
    if (got == 1) {
        return byte;
    }
    return got == 0 ? kKeyEndOfInput : kKeyReadError;
}

// How often a prompt that reads a pipe looks for a byte or a stop request.
constexpr DWORD kPipePollMs = 20;

// Standard input is a pipe: a blocking read of it could be ended only by CancelSynchronousIo from
// the console handler's thread, with a window between the handler's test for a read in progress
// and the read's start in which the cancel is lost. Instead the prompt waits for the pipe's next
// byte in steps of 20 ms and looks for a stop request (Ctrl-C or Ctrl-Break, recorded by the
// handler) before each: the wait ends within a step of the request, and nothing is left to cancel,
// join or release. The end of the pipe (its writer closed it, and every byte was read) ends the
// wait too.
int ReadPipeByte(HANDLE pipe) {
    for (;;) {
        if (Platform_StopRequests().count != 0) {
            return kKeyStopRequested;
        }
        DWORD available = 0;
        if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) == FALSE) {
            // The writer has closed the pipe: the C runtime's read tells the end of the input, or
            // returns a byte it still holds (text mode reads one ahead after a carriage return).
            // A pipe that cannot be looked into (Wine reports ERROR_NOT_SUPPORTED for a host
            // pipe) is read as any redirected input, blocking: the read's own result says the
            // rest.
            return ReadInputByte();
        }
        if (available != 0) {
            return ReadInputByte();
        }
        Sleep(kPipePollMs);
    }
}

// Whether the window of the process's console is visible. IsWindowVisible lives in user32, which
// the program does not link: a console program that has loaded user32 no longer gets the logoff
// and shutdown events (see stop_windows.cpp). It is loaded here, once the run is over and no
// port is open. When it cannot be asked, the window counts as visible, as it was before the
// program could tell.
bool WindowVisible(HWND window) {
    HMODULE user32 = LoadLibraryW(L"user32.dll");
    if (user32 == nullptr) {
        return true;
    }
    using IsWindowVisibleCall = BOOL(WINAPI*)(HWND);
    // GetProcAddress returns a generic function pointer; through void (*)() the cast to the
    // function's own type draws no cast-function-type warning.
    const auto call = reinterpret_cast<IsWindowVisibleCall>(
        reinterpret_cast<void (*)()>(GetProcAddress(user32, "IsWindowVisible")));
    const bool visible = call == nullptr || call(window) != FALSE;
    FreeLibrary(user32);
    return visible;
}

}  // namespace

void ConsoleWindowsSeam_SetGetch(int (*getch)()) {
    g_getch.store(getch, std::memory_order_release);
}

bool ConsoleWindows_PausesAtExit(const ConsoleFacts& facts, bool machineOutput) {
    return !machineOutput && facts.consoleProcesses == 1 && facts.inputIsConsole &&
           facts.hasWindow && facts.windowVisible && !facts.startedHidden && !facts.servicesSession;
}

int Platform_ReadKey() {
    int (*hook)() = SeamState_KeyHook();
    if (hook != nullptr) {
        return hook();
    }
    // A request recorded before the prompt (Ctrl-Break at an earlier prompt, a closing window)
    // ends it before any key is waited for.
    if (Platform_StopRequests().count != 0) {
        return kKeyStopRequested;
    }
    if (int (*getch)() = g_getch.load(std::memory_order_acquire); getch != nullptr) {
        return ReadConsoleKey(getch);
    }
    if (StandardInputIsConsole()) {
        return ReadConsoleKey(&_getch);
    }
    // The C runtime keeps the standard handle equal to its descriptor 0 (its _dup2 sets it).
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return GetFileType(input) == FILE_TYPE_PIPE ? ReadPipeByte(input) : ReadInputByte();
}

bool Platform_PausesAtExit(bool machineOutput) {
    if (machineOutput) {
        return false;
    }
    ConsoleFacts facts{};
    // The call returns the number of attached processes even when the list is too short for
    // them (and 0 when it fails): two entries tell "this process alone" from "shared".
    std::array<DWORD, 2> processes{};
    facts.consoleProcesses = static_cast<uint32_t>(
        GetConsoleProcessList(processes.data(), static_cast<DWORD>(processes.size())));
    facts.inputIsConsole = StandardInputIsConsole();
    HWND window = GetConsoleWindow();
    facts.hasWindow = window != nullptr;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    facts.startedHidden =
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
    DWORD session = 0;
    facts.servicesSession =
        ProcessIdToSessionId(GetCurrentProcessId(), &session) != FALSE && session == 0;
    // Asked last, and only when everything else lets the program wait: it loads user32.
    facts.windowVisible = true;
    if (ConsoleWindows_PausesAtExit(facts, false)) {
        facts.windowVisible = WindowVisible(window);
    }
    return ConsoleWindows_PausesAtExit(facts, false);
}

// A console handle answers GetConsoleMode; a file, a pipe or the NUL device does not.
bool Platform_OutputsShareTerminal() {
    DWORD mode = 0;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    return out != nullptr && out != INVALID_HANDLE_VALUE && err != nullptr &&
           err != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode) != FALSE &&
           GetConsoleMode(err, &mode) != FALSE;
}
