# man --warnings renders the page; any warning (groff's or man's) fails the test.
execute_process(COMMAND man --warnings -E UTF-8 -l -Tutf8 ${MAN_PAGE}
                OUTPUT_VARIABLE page ERROR_VARIABLE warnings RESULT_VARIABLE status
                ENCODING UTF-8)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "man --warnings on ${MAN_PAGE}: status ${status}\n${warnings}")
endif()
# Bold and underline come as overstrikes ("N<backspace>N"): keep the characters.
string(ASCII 8 backspace)
string(REGEX REPLACE ".${backspace}" "" page "${page}")
foreach(section NAME SYNOPSIS OPTIONS "EXIT STATUS" "DEVICE ACCESS" FILES TROUBLESHOOTING)
    string(FIND "${page}" "${section}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the page has no section ${section}")
    endif()
endforeach()
# The footer names the program's version, the project's, which the build sets on the .TH line.
string(REPLACE "." "\\." versionPattern "${VERSION}")
if(NOT page MATCHES "\niolink-update ${versionPattern} +[^\n]*IOLINK-UPDATE\\(1\\)\n*$")
    message(FATAL_ERROR "the page's footer does not name iolink-update ${VERSION}:\n${page}")
endif()
