// Bounded copies of zero-terminated texts into the fixed fields of the inventory.
#pragma once

#include <cstddef>
#include <cstring>

// Copies at most N - 1 characters of text (and no more than sourceSize, for a source field that
// need not be terminated) into field, which is always terminated.
template <size_t N>
void CopyText(char (&field)[N], const char* text, size_t sourceSize = N - 1) {
    const size_t n = strnlen(text, sourceSize < N - 1 ? sourceSize : N - 1);
    std::memcpy(field, text, n);
    field[n] = '\0';
}
