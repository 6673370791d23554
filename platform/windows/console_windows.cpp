// One key press without echo: _getch on the console; from redirected input, one byte.
#include <conio.h>
#include <io.h>

#include <cstdio>

#include "platform/common/seam_state.h"
#include "platform/platform.h"

namespace {

// _getch reports a function or arrow key as two codes, a lead code (0 or 0xE0) and the key's
// own. Both are taken, so that the second code does not answer the next prompt by itself.
constexpr int kExtendedLead0 = 0x00;
constexpr int kExtendedLeadE0 = 0xE0;

int ReadConsoleKey() {
    const int key = _getch();
    if (key == EOF) {
        return -1;
    }
    if (key == kExtendedLead0 || key == kExtendedLeadE0) {
        _getch();
    }
    return key;
}

// Standard input is a file or a pipe: the next byte is the answer, and the end of the input
// answers the prompt as well (-1), so that an unattended run never waits for ever.
int ReadInputByte() {
    unsigned char byte = 0;
    return _read(_fileno(stdin), &byte, 1) == 1 ? byte : -1;
}

}  // namespace

int Platform_ReadKey() {
    int (*hook)() = SeamState_KeyHook();
    if (hook != nullptr) {
        return hook();
    }
    return _isatty(_fileno(stdin)) != 0 ? ReadConsoleKey() : ReadInputByte();
}
