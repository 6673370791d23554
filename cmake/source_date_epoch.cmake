# Sets IOLINK_SOURCE_DATE_EPOCH, the time (seconds since 1970, UTC) that every time stamp of the
# shipped files takes: the environment's SOURCE_DATE_EPOCH when it is set, otherwise the committer
# time of the source tree's last commit. Without either (a tree without its git history) it is
# empty, and the build says that it is not reproducible.
#
# IOLINK_SOURCE_DATE_EPOCH_FILE names a file that holds the value and is rewritten only when the
# value changes: what carries a time stamp depends on it, so that a new commit or a value set by
# hand makes it again in a reused build folder. The configure exports the value to its own
# environment (configure-time tools); the Windows link gets it through a launcher (the linker
# writes it into the PE header); cpack's script reads it from the file.

if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(IOLINK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
    set(sourceDateFrom "SOURCE_DATE_EPOCH")
else()
    find_package(Git QUIET)
    set(IOLINK_SOURCE_DATE_EPOCH "")
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                        OUTPUT_VARIABLE IOLINK_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                        ERROR_QUIET RESULT_VARIABLE gitStatus)
        if(NOT gitStatus EQUAL 0)
            set(IOLINK_SOURCE_DATE_EPOCH "")
        endif()
    endif()
    set(sourceDateFrom "the last commit")
endif()
if(NOT IOLINK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    if(NOT IOLINK_SOURCE_DATE_EPOCH STREQUAL "")
        message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970 (digits), not "
                            "'${IOLINK_SOURCE_DATE_EPOCH}'")
    endif()
    message(WARNING "iolink-update: no SOURCE_DATE_EPOCH and no git history: the shipped files "
                    "carry the build's own time stamps, and the build is not reproducible")
else()
    set(ENV{SOURCE_DATE_EPOCH} ${IOLINK_SOURCE_DATE_EPOCH})
    string(TIMESTAMP sourceDate "%Y-%m-%d %H:%M:%S UTC" UTC)
    message(STATUS "Time stamps of the shipped files: ${sourceDate} (SOURCE_DATE_EPOCH "
                   "${IOLINK_SOURCE_DATE_EPOCH}, from ${sourceDateFrom})")
endif()
set(IOLINK_SOURCE_DATE_EPOCH_FILE ${CMAKE_BINARY_DIR}/source_date_epoch.txt)
file(CONFIGURE OUTPUT ${IOLINK_SOURCE_DATE_EPOCH_FILE} CONTENT "${IOLINK_SOURCE_DATE_EPOCH}\n")

# The MinGW linker writes SOURCE_DATE_EPOCH, when it is in its environment, as the PE header's
# time stamp; without it, the time of the link.
if(WIN32 AND NOT IOLINK_SOURCE_DATE_EPOCH STREQUAL "")
    set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env
        SOURCE_DATE_EPOCH=${IOLINK_SOURCE_DATE_EPOCH})
endif()
