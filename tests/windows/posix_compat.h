// Forced into the shared platform tests when they are built for Windows: the one POSIX call they
// use that the Windows C runtime names differently.
#pragma once

#include <ctime>

inline time_t timegm(std::tm* fields) {
    return _mkgmtime(fields);
}
