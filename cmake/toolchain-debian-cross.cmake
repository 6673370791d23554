# Cross build for another Debian architecture with Debian's cross toolchain
# (crossbuild-essential-<arch>): `make package ARCH=arm64` passes -DIOLINK_DEB_ARCH=arm64. The GNU
# system type, and so the compiler's name and the libraries' folder, come from dpkg-architecture;
# nothing here names one architecture.

if(NOT IOLINK_DEB_ARCH)
    message(FATAL_ERROR "toolchain-debian-cross.cmake: set IOLINK_DEB_ARCH to a Debian architecture "
                        "(for example -DIOLINK_DEB_ARCH=arm64)")
endif()
# The toolchain file is read again for each compiler check, which gets the value this way.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES IOLINK_DEB_ARCH)

foreach(variable GNU_TYPE GNU_CPU)
    execute_process(COMMAND dpkg-architecture -a${IOLINK_DEB_ARCH} -qDEB_HOST_${variable}
                    OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_VARIABLE error
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR value STREQUAL "")
        message(FATAL_ERROR "dpkg-architecture does not know the architecture '${IOLINK_DEB_ARCH}': ${error}")
    endif()
    set(IOLINK_CROSS_${variable} ${value})
endforeach()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${IOLINK_CROSS_GNU_CPU})
set(CMAKE_C_COMPILER ${IOLINK_CROSS_GNU_TYPE}-gcc)
set(CMAKE_CXX_COMPILER ${IOLINK_CROSS_GNU_TYPE}-g++)

# Libraries and headers of the target from the cross toolchain's folder; programs (cmake, the
# image generator, gzip) are the build host's.
set(CMAKE_FIND_ROOT_PATH /usr/${IOLINK_CROSS_GNU_TYPE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
