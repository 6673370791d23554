// Internals of the Windows console that its tests check: the console's key read, and whether the
// console window closes with the program. Only this folder and the Windows tests
// include this header.
#pragma once

#include <cstdint>

// Platform_ReadKey reads the console's keys with getch() instead of the C runtime's _getch, and
// takes standard input for the console, while one is set: tests press keys at a prompt with it.
// nullptr restores _getch.
void ConsoleWindowsSeam_SetGetch(int (*getch)());

// Whether the console window closes the moment the program ends, from what the system says:
// consoleProcesses is the number of processes attached to the console (GetConsoleProcessList; 0
// when there is none), inputIsConsole whether standard input is a console. A program started from
// Explorer gets a console of its own and is its only process; one started from a command prompt
// shares the prompt's console, which stays.
bool ConsoleWindows_ClosesAtExit(uint32_t consoleProcesses, bool inputIsConsole);
