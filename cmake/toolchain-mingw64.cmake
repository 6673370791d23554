# Cross build for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix). The -posix
# compilers are the ones whose C++ runtime has std::thread and std::mutex. Everything is linked
# statically, so iolink-update.exe needs no MinGW DLL on the target PC, only the system's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(IOLINK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${IOLINK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${IOLINK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${IOLINK_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW sysroot only; programs (cmake, the image generator)
# are the build host's.
set(CMAKE_FIND_ROOT_PATH /usr/${IOLINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# g++ 12 reports a false -Wrestrict inside libstdc++'s own string concatenation when it inlines
# operator+(const char*, std::string&&) at -O2 (GCC bug 105329, fixed in later releases). The
# cross compiler is that release; the warning is switched off for it rather than failing -Werror.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")
