# The Linux install of a build folder, with DESTDIR and a prefix as `make install` does.
#   EXPECT=layout (default; .ci/run checks build/package, the shipped build, so): the program, the
#     man page, the udev rule and the package's documents land where Debian wants them below the
#     prefix, and nowhere else: with prefix /usr as the package has them, and with a prefix whose
#     rules folder udev does not read, which the install says on standard error; the installed
#     program runs from its place.
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

# Rows: prefix | expected message on standard error ("" for none). /usr is the package's; a
# prefix whose lib/udev/rules.d udev does not read gets a line that says where to copy the rule.
foreach(row "/usr|" "/opt/iolink|iolink-update: the udev rule is in /opt/iolink/lib/udev/rules.d, which udev does not read: copy /opt/iolink/lib/udev/rules.d/70-iolink-update.rules to /etc/udev/rules.d/")
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 prefix)
    list(GET row 1 expectedNote)
    file(REMOVE_RECURSE "${WORK}")
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "install with prefix ${prefix} failed: ${err}")
    endif()
    string(REGEX REPLACE "[ \t\r\n]+" " " words "${err}")
    if(expectedNote STREQUAL "" AND NOT err STREQUAL "")
        message(FATAL_ERROR "install with prefix ${prefix} said: ${err}")
    elseif(NOT expectedNote STREQUAL "")
        string(FIND "${words}" "${expectedNote}" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "install with prefix ${prefix} did not say \"${expectedNote}\": ${err}")
        endif()
    endif()
    # Every file lands under DESTDIR and the prefix, in Debian's layout below it.
    file(GLOB_RECURSE files RELATIVE "${WORK}/root" "${WORK}/root/*")
    list(SORT files)
    set(expected
        lib/udev/rules.d/70-iolink-update.rules
        bin/iolink-update
        share/doc/iolink-update/changelog.Debian.gz
        share/doc/iolink-update/copyright
        share/lintian/overrides/iolink-update
        share/man/man1/iolink-update.1.gz)
    string(REGEX REPLACE "^/" "" relativePrefix "${prefix}")
    list(TRANSFORM expected PREPEND "${relativePrefix}/")
    list(SORT expected)
    if(NOT files STREQUAL expected)
        message(FATAL_ERROR "installed with prefix ${prefix}:\n${files}\ninstead of:\n${expected}")
    endif()
endforeach()
# The installed program runs from its place.
execute_process(COMMAND "${WORK}/root/opt/iolink/bin/iolink-update" -? OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT help MATCHES "^Norvik IO-Link USB Master - SE Firmware Updater\n")
    message(FATAL_ERROR "the installed program does not run: ${status}\n${help}")
endif()
file(REMOVE_RECURSE "${WORK}")
