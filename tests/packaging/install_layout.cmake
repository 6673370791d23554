# `cmake --install` with DESTDIR and prefix /usr, as the package and `make install` do.
file(REMOVE_RECURSE "${WORK}")
set(ENV{DESTDIR} "${WORK}")
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE err)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "install failed: ${err}")
endif()
file(GLOB_RECURSE files RELATIVE "${WORK}" "${WORK}/*")
list(SORT files)
set(expected
    "${RULES_DIR}/70-iolink-update.rules"
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
execute_process(COMMAND "${WORK}/usr/bin/iolink-update" -? OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT help MATCHES "^Norvik IO-Link USB Master - SE Firmware Updater\n")
    message(FATAL_ERROR "the installed program does not run: ${status}\n${help}")
endif()
file(REMOVE_RECURSE "${WORK}")
