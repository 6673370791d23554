# The Linux install of a build folder, with DESTDIR and prefix /usr as the package and
# `make install` do.
#   EXPECT=layout (default; .ci/run checks build/package, the shipped build, so): the program, the
#     man page, the udev rule and the package's documents land where Debian wants them, and the
#     installed program runs from its place.
#   EXPECT=refused (the ctest of a test build, which writes the placeholder images into masters):
#     `cmake --install` fails with the refusal and leaves no file behind. (cpack runs the same
#     install rules, but builds the whole project first: no test runs it.)
#   cmake -DBUILD=<build folder> -DWORK=<scratch folder> [-DEXPECT=refused] -P install_layout.cmake

cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK}")
set(ENV{DESTDIR} "${WORK}/root")

if(EXPECT STREQUAL "refused")
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
                    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
    file(GLOB_RECURSE left "${WORK}/*")
    # CMake wraps the message's words at a width, so where the lines break depends on the paths in it.
    string(REGEX REPLACE "[ \t\r\n]+" " " words "${err}")
    string(FIND "${words}" "it is not installed or packaged" refusal)
    if(status EQUAL 0 OR refusal EQUAL -1 OR left)
        message(FATAL_ERROR "install: status ${status}, files left: ${left}\n${out}${err}")
    endif()
    return()
endif()

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "install failed: ${err}")
endif()
load_cache(${BUILD} READ_WITH_PREFIX build_ IOLINK_UDEV_RULES_DIR)
file(GLOB_RECURSE files RELATIVE "${WORK}/root" "${WORK}/root/*")
list(SORT files)
set(expected
    "${build_IOLINK_UDEV_RULES_DIR}/70-iolink-update.rules"
    usr/bin/iolink-update
    usr/share/doc/iolink-update/changelog.gz
    usr/share/doc/iolink-update/copyright
    usr/share/lintian/overrides/iolink-update
    usr/share/man/man1/iolink-update.1.gz)
list(TRANSFORM expected REPLACE "^/" "")
list(SORT expected)
if(NOT files STREQUAL expected)
    message(FATAL_ERROR "installed:\n${files}\ninstead of:\n${expected}")
endif()
# The installed program runs from its place.
execute_process(COMMAND "${WORK}/root/usr/bin/iolink-update" -? OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT help MATCHES "^Norvik IO-Link USB Master - SE Firmware Updater\n")
    message(FATAL_ERROR "the installed program does not run: ${status}\n${help}")
endif()
file(REMOVE_RECURSE "${WORK}")
