// Internals of the Windows console that its tests check: the console's key read, and whether the
// program waits for a key before its console window closes. Only this folder and the Windows
// tests include this header.
#pragma once

#include <cstdint>

// Platform_ReadKey reads the console's keys with getch() instead of the C runtime's _getch, and
// takes standard input for the console, while one is set: tests press keys at a prompt with it.
// nullptr restores _getch.
void ConsoleWindowsSeam_SetGetch(int (*getch)());

// What the system tells about the console a program runs in, for the decision to wait for a key
// before it ends.
struct ConsoleFacts {
    uint32_t consoleProcesses;  // processes attached to the console (GetConsoleProcessList; 0
                                // when there is none)
    bool inputIsConsole;        // standard input is that console
    bool hasWindow;             // GetConsoleWindow is not null
    bool windowVisible;         // IsWindowVisible of that window
    bool startedHidden;         // the starter asked for a hidden window (STARTUPINFO: SW_HIDE)
    bool servicesSession;       // the process runs in session 0, where services run
};

// Whether the program waits for a key before it ends, so that an operator can read the result
// in a console window that closes with the program. Only for a program started interactively into
// a visible console window of its own: a program started from Explorer gets a console of its own
// and is its only process, reading it; one started from a command prompt shares the prompt's
// console, which stays. "Interactively" means started where a user can see and answer it: not in
// session 0 (services, and the deployment agents that run as services: no user's desktop there
// since Windows Vista), and not with a hidden window asked for (STARTUPINFO's wShowWindow SW_HIDE,
// as agents and scripts start programs they do not show). A console without a window
// (CREATE_NO_WINDOW) or with a hidden one has nobody to read it either. machineOutput: the caller
// asked for an answer that a program reads (--exit-code); it never waits then.
bool ConsoleWindows_PausesAtExit(const ConsoleFacts& facts, bool machineOutput);
