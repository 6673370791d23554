// One key press without echo: _getch on the console; from redirected input, one byte. And whether
// the console window closes with the program.
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

}  // namespace

void ConsoleWindowsSeam_SetGetch(int (*getch)()) {
    g_getch.store(getch, std::memory_order_release);
}

bool ConsoleWindows_ClosesAtExit(uint32_t consoleProcesses, bool inputIsConsole) {
    return consoleProcesses == 1 && inputIsConsole;
}

int Platform_ReadKey() {
    int (*hook)() = SeamState_KeyHook();
    if (hook != nullptr) {
        return hook();
    }
    if (int (*getch)() = g_getch.load(std::memory_order_acquire); getch != nullptr) {
        return ReadConsoleKey(getch);
    }
    return StandardInputIsConsole() ? ReadConsoleKey(&_getch) : ReadInputByte();
}

bool Platform_ConsoleClosesAtExit() {
    // The call returns the number of attached processes even when the list is too short for
    // them (and 0 when it fails): two entries tell "this process alone" from "shared".
    std::array<DWORD, 2> processes{};
    const DWORD count =
        GetConsoleProcessList(processes.data(), static_cast<DWORD>(processes.size()));
    return ConsoleWindows_ClosesAtExit(static_cast<uint32_t>(count), StandardInputIsConsole());
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
