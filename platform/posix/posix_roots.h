// The folders that stand for /sys and /dev (changed by PlatformSeam_SetPosixRoots in tests).
#pragma once

#include <string>

std::string PosixRoots_Sys();
std::string PosixRoots_Dev();
