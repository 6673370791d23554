// The Windows name of a path on the build host, as programs under Wine see it.
#pragma once

#include <string>

// Z:\ is the root of the build host's file system in every Wine prefix.
inline std::string WinePath(const std::string& path) {
    std::string out = "Z:" + path;
    for (char& c : out) {
        if (c == '/') {
            c = '\\';
        }
    }
    return out;
}
