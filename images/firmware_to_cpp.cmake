# Turns a folder of firmware images into the C++ source that defines the images built into the
# program. Runs on the build host as a CMake script:
#
#   cmake -DFIRMWARE_DIR=<folder> -DOUTPUT=<file.cpp> -P firmware_to_cpp.cmake
#
# The folder holds:
#   main3.hex  the main image for masters on main firmware 3.x (Intel HEX)  -> main3Records
#   stack.hex  the IO-Link stack image (Intel HEX)                          -> stackRecords
#   main2.bin  the main image for masters on main firmware 2.x (raw bytes)  -> the 2.x image bytes
#   main2.txt  the descriptor of main2.bin (key = value lines)              -> firmwareDescriptors
#   main3.txt  the version of main3.hex (a key = value line)               -> main3ImageVersion
#   PLACEHOLDER  present only in a folder of placeholder images             -> imagesArePlaceholders
#                (which the placeholders' data in an image file also sets: placeholder_images.cmake)
#
# Every data record of a HEX file becomes one FirmwareRecord, in file order. Accepted HEX record
# types: 00 data (1 to 16 bytes), 01 end of file, 04 extended linear address; 03 and 05 (start
# address) are ignored, and so are blank lines. Anything wrong in a file stops with a message
# "<file>:<line>: <what>" and no output is written. Data that an update never sends (main3.hex:
# 0xFFFF8000..0xFFFFBFFF; stack.hex: 0x2000..0x3FFF) is accepted with a warning that names the
# file, the range and the bytes left unwritten.

cmake_minimum_required(VERSION 3.25)

if(NOT DEFINED FIRMWARE_DIR OR NOT DEFINED OUTPUT)
    message(FATAL_ERROR " usage: cmake -DFIRMWARE_DIR=<folder> -DOUTPUT=<file.cpp> -P firmware_to_cpp.cmake")
endif()

# The leading space keeps CMake from re-wrapping the message, so "<file>:<line>:" stays whole.
function(fw_fail where text)
    if(DEFINED fw_tmp)
        file(REMOVE "${fw_tmp}")
    endif()
    message(FATAL_ERROR " ${where}: ${text}")
endfunction()

# Sets <out> to the 1-based line on which character position <pos> of <text> stands.
function(fw_line_of text pos out)
    string(SUBSTRING "${text}" 0 ${pos} before)
    string(REGEX REPLACE "[^\n]" "" newlines "${before}")
    string(LENGTH "${newlines}" count)
    math(EXPR line "${count} + 1")
    set(${out} ${line} PARENT_SCOPE)
endfunction()

# Reads a text file into a list of its lines. With stripComments, "#" to the end of a line is
# dropped first (a comment may hold any character). Only the characters matched by <allowed> (a
# regex character class body) may remain; list separators and brackets are never allowed, so that
# each list element is exactly one line.
function(fw_read_lines path allowed stripComments out)
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
        fw_fail("${path}" "file not found")
    endif()
    file(READ "${path}" content)
    if(stripComments)
        string(REGEX REPLACE "#[^\n]*" "" content "${content}")
    endif()
    string(REGEX MATCH "^[${allowed}]*" good "${content}")
    string(LENGTH "${good}" goodLength)
    string(LENGTH "${content}" length)
    if(NOT goodLength EQUAL length)
        fw_line_of("${content}" ${goodLength} line)
        fw_fail("${path}:${line}" "character not allowed in this file")
    endif()
    string(REPLACE "\r" "" content "${content}")
    string(REGEX REPLACE "\n$" "" content "${content}")  # no empty line after the last line end
    string(REPLACE "\n" ";" lines "${content}")
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# Parses an Intel HEX file into FirmwareRecord initialisers appended to <cppFile>.
#   kind "main3": every record inside 0xFFFE0000..0xFFFFFFFF.
#   kind "stack": every record inside 0x0000..0xFFFE, except the one identification record of
#                 8 bytes at 0x3FBF8, which must be present.
# Sets <countOut> to the number of data records.
function(fw_hex_to_cpp path kind cppFile countOut)
    # The range that the kind's update skips: the boot loader's own area.
    if(kind STREQUAL "main3")
        set(skipFrom 4294934528)  # 0xFFFF8000
        set(skipTo 4294950912)    # 0xFFFFC000
        set(skipText "0xFFFF8000..0xFFFFBFFF")
    else()
        set(skipFrom 8192)   # 0x2000
        set(skipTo 16384)    # 0x4000
        set(skipText "0x2000..0x3FFF")
    endif()
    set(skipBytes 0)
    set(skipLine 0)
    fw_read_lines("${path}" ":0-9A-Fa-f\r\n" FALSE lines)
    set(hexByte "[0-9A-Fa-f][0-9A-Fa-f]")
    set(lineNumber 0)
    set(lastLine 1)  # the last line that is not empty
    set(upper 0)
    set(records 0)
    set(endLine 0)
    set(idLine 0)
    set(chunk "")
    foreach(line IN LISTS lines)
        math(EXPR lineNumber "${lineNumber} + 1")
        if(line STREQUAL "")
            continue()
        endif()
        set(lastLine ${lineNumber})
        set(where "${path}:${lineNumber}")
        if(endLine)
            fw_fail("${where}" "record after the end-of-file record")
        endif()
        if(NOT line MATCHES "^:((${hexByte})+)$")
            fw_fail("${where}" "malformed line (not ':' followed by pairs of hex digits)")
        endif()
        set(body "${CMAKE_MATCH_1}")
        if(NOT body MATCHES "^(..)(....)(..)(.*)..$")
            fw_fail("${where}" "malformed line (shorter than a record)")
        endif()
        set(countHex "${CMAKE_MATCH_1}")
        set(offsetHex "${CMAKE_MATCH_2}")
        set(type "${CMAKE_MATCH_3}")
        set(data "${CMAKE_MATCH_4}")

        string(REGEX REPLACE "(..)" "+0x\\1" terms "${body}")
        math(EXPR sum "(0${terms}) % 256")
        if(NOT sum EQUAL 0)
            fw_fail("${where}" "checksum error")
        endif()
        math(EXPR count "0x${countHex}")
        string(LENGTH "${data}" dataDigits)
        math(EXPR dataDigitsExpected "${count} * 2")
        if(NOT dataDigits EQUAL dataDigitsExpected)
            fw_fail("${where}" "malformed line (byte count ${count} does not match the data)")
        endif()

        if(type STREQUAL "00")
            if(count EQUAL 0)
                fw_fail("${where}" "data record without data")
            endif()
            if(count GREATER 16)
                fw_fail("${where}" "record longer than 16 bytes (${count})")
            endif()
            math(EXPR offset "0x${offsetHex}")
            math(EXPR offsetEnd "${offset} + ${count}")
            if(offsetEnd GREATER 65536)
                fw_fail("${where}" "record crosses a 64 KB address boundary")
            endif()
            math(EXPR address "(${upper} << 16) + ${offset}")
            math(EXPR addressEnd "${address} + ${count}")
            math(EXPR addressHex "${address}" OUTPUT_FORMAT HEXADECIMAL)
            if(kind STREQUAL "main3")
                # 0xFFFE0000 .. 0xFFFFFFFF; the math is 64-bit, so the end may be 2^32.
                if(address LESS 4294836224 OR addressEnd GREATER 4294967296)
                    fw_fail("${where}" "record at ${addressHex} outside the flash window 0xFFFE0000..0xFFFFFFFF")
                endif()
            elseif(address EQUAL 261112)  # 0x3FBF8, the identification record
                if(idLine)
                    fw_fail("${where}" "second identification record at 0x3FBF8 (the first is on line ${idLine})")
                endif()
                if(NOT count EQUAL 8)
                    fw_fail("${where}" "identification record at 0x3FBF8 must hold 8 bytes, not ${count}")
                endif()
                set(idLine ${lineNumber})
                set(fw_stackIdData "${data}" PARENT_SCOPE)
            elseif(addressEnd GREATER 65535)  # 0x0000 .. 0xFFFE
                fw_fail("${where}" "record at ${addressHex} outside the flash window 0x0000..0xFFFE")
            endif()
            # Bytes of this record inside the skipped range (records may overlap; each counts).
            if(address LESS skipTo AND addressEnd GREATER skipFrom)
                set(from ${address})
                if(from LESS skipFrom)
                    set(from ${skipFrom})
                endif()
                set(to ${addressEnd})
                if(to GREATER skipTo)
                    set(to ${skipTo})
                endif()
                math(EXPR skipBytes "${skipBytes} + ${to} - ${from}")
                if(NOT skipLine)
                    set(skipLine ${lineNumber})
                endif()
            endif()
            string(REGEX REPLACE "(..)" "0x\\1," bytes "${data}")
            string(APPEND chunk "    {${count}u, ${addressHex}u, {${bytes}}},\n")
            math(EXPR records "${records} + 1")
            math(EXPR flush "${records} % 256")
            if(flush EQUAL 0)
                file(APPEND "${cppFile}" "${chunk}")
                set(chunk "")
            endif()
        elseif(type STREQUAL "01")
            if(NOT count EQUAL 0)
                fw_fail("${where}" "malformed end-of-file record")
            endif()
            set(endLine ${lineNumber})
        elseif(type STREQUAL "04")
            if(NOT count EQUAL 2)
                fw_fail("${where}" "malformed extended linear address record")
            endif()
            math(EXPR upper "0x${data}")
        elseif(type STREQUAL "03" OR type STREQUAL "05")
            # Start address: meaningless for a flash image.
        else()
            fw_fail("${where}" "unsupported record type ${type}")
        endif()
    endforeach()
    file(APPEND "${cppFile}" "${chunk}")

    if(NOT endLine)
        fw_fail("${path}:${lastLine}" "no end-of-file record")
    endif()
    if(records EQUAL 0)
        fw_fail("${path}:${endLine}" "no data records")
    endif()
    if(kind STREQUAL "stack" AND NOT idLine)
        fw_fail("${path}:${endLine}" "no identification record at 0x3FBF8")
    endif()
    if(skipBytes GREATER 0)
        # A warning, not an error: a firmware build's file may well hold the boot loader's own
        # area, which the update skips to protect it.
        message(WARNING " ${path}:${skipLine}: ${skipBytes} bytes of data in ${skipText}, a range "
                        "the update skips: they will not be written to the master")
    endif()
    set(${countOut} ${records} PARENT_SCOPE)
endfunction()

# Parses a descriptor of key = value lines: kind main2 for main2.txt (keys edition,
# version_text, version, unread), kind main3 for main3.txt (key version, the major number at
# least 3). Sets fw_edition,
# fw_versionText, fw_version (C initialiser "{a, b, c}"), fw_versionNumber (major * 65536 +
# minor * 256 + patch) and fw_unread (C initialiser "{0x.., 0x..}") in the caller's scope, for the
# keys the file has. Every key of its kind is required, each once.
function(fw_read_descriptor path kind)
    if(kind STREQUAL "main3")
        set(keys version)
    else()
        set(keys edition version_text version unread)
    endif()
    # Outside comments: printable ASCII and tabs, without ; [ and ].
    fw_read_lines("${path}" "\t\r\n -:<-Z\\^-~" TRUE lines)
    set(lineNumber 0)
    string(REPLACE ";" "|" keyPattern "${keys}")
    foreach(key IN LISTS keys)
        set(seen_${key} 0)
    endforeach()
    foreach(line IN LISTS lines)
        math(EXPR lineNumber "${lineNumber} + 1")
        set(where "${path}:${lineNumber}")
        string(STRIP "${line}" line)
        if(line STREQUAL "")
            continue()
        endif()
        if(NOT line MATCHES "^([A-Za-z_]+)[ \t]*=[ \t]*(.*)$")
            fw_fail("${where}" "malformed line (expected key = value)")
        endif()
        set(key "${CMAKE_MATCH_1}")
        set(value "${CMAKE_MATCH_2}")
        if(NOT key MATCHES "^(${keyPattern})$")
            fw_fail("${where}" "unknown key '${key}'")
        endif()
        if(seen_${key})
            fw_fail("${where}" "'${key}' given twice (first on line ${seen_${key}})")
        endif()
        set(seen_${key} ${lineNumber})

        if(key STREQUAL "edition")
            if(NOT value MATCHES "^[A-Za-z0-9][A-Za-z0-9]?$")
                fw_fail("${where}" "bad edition '${value}' (1 or 2 letters or digits)")
            endif()
            set(fw_edition "${value}" PARENT_SCOPE)
        elseif(key STREQUAL "version_text")
            string(LENGTH "${value}" length)
            if(NOT value MATCHES "^[A-Za-z0-9 ._+/():-]+$" OR length GREATER 16)
                fw_fail("${where}" "bad version_text '${value}' (1 to 16 letters, digits, space or . - _ + / ( ) :)")
            endif()
            set(fw_versionText "${value}" PARENT_SCOPE)
        elseif(key STREQUAL "version")
            set(number "[0-9][0-9]?[0-9]?")
            if(NOT value MATCHES "^(${number})\\.(${number})\\.(${number})$"
               OR CMAKE_MATCH_1 GREATER 127 OR CMAKE_MATCH_2 GREATER 127 OR CMAKE_MATCH_3 GREATER 127)
                fw_fail("${where}" "bad version '${value}' (major.minor.patch, each 0 to 127)")
            endif()
            # Through math() to drop leading zeros, which C++ would read as octal.
            math(EXPR major "${CMAKE_MATCH_1}")
            math(EXPR minor "${CMAKE_MATCH_2}")
            math(EXPR patch "${CMAKE_MATCH_3}")
            # The 3.x image is compared with masters on 3.0.0 and above only.
            if(kind STREQUAL "main3" AND major LESS 3)
                fw_fail("${where}" "bad version '${value}' (the 3.x image's version is 3.0.0 or above)")
            endif()
            set(fw_version "{${major}, ${minor}, ${patch}}" PARENT_SCOPE)
            math(EXPR number "${major} * 65536 + ${minor} * 256 + ${patch}" OUTPUT_FORMAT HEXADECIMAL)
            set(fw_versionNumber "${number}" PARENT_SCOPE)
        else()
            if(NOT value MATCHES "^([0-9A-Fa-f][0-9A-Fa-f])[ \t]+([0-9A-Fa-f][0-9A-Fa-f])$")
                fw_fail("${where}" "bad unread '${value}' (two bytes in hexadecimal, e.g. 12 FF)")
            endif()
            set(fw_unread "{0x${CMAKE_MATCH_1}, 0x${CMAKE_MATCH_2}}" PARENT_SCOPE)
        endif()
    endforeach()
    if(lineNumber EQUAL 0)
        set(lineNumber 1)  # an empty file, or one of comments only: its first line
    endif()
    foreach(key IN LISTS keys)
        if(NOT seen_${key})
            fw_fail("${path}:${lineNumber}" "no '${key}' line in the file")
        endif()
    endforeach()
endfunction()

# ---- main ----

get_filename_component(FIRMWARE_DIR "${FIRMWARE_DIR}" ABSOLUTE)
set(fw_tmp "${OUTPUT}.tmp")
file(WRITE "${fw_tmp}" "\
// Generated by images/firmware_to_cpp.cmake from the images in
// ${FIRMWARE_DIR}
// Do not edit: change the images and rebuild.
#include \"images/images.h\"

namespace {

constexpr FirmwareRecord kMain3Records[] = {
")
fw_hex_to_cpp("${FIRMWARE_DIR}/main3.hex" main3 "${fw_tmp}" main3Count)
file(APPEND "${fw_tmp}" "};\n\nconstexpr FirmwareRecord kStackRecords[] = {\n")
fw_hex_to_cpp("${FIRMWARE_DIR}/stack.hex" stack "${fw_tmp}" stackCount)

set(main2 "${FIRMWARE_DIR}/main2.bin")
if(NOT EXISTS "${main2}" OR IS_DIRECTORY "${main2}")
    fw_fail("${main2}" "file not found")
endif()
file(SIZE "${main2}" main2Length)
if(main2Length GREATER 65520)
    fw_fail("${main2}" "${main2Length} bytes, more than the 65520 that a 2.x image may hold")
endif()
# The image must hold its programming stamp field (offsets 0x7A..0x84).
if(main2Length LESS 133)
    fw_fail("${main2}" "${main2Length} bytes, too short to hold the programming stamp at 0x7A..0x84")
endif()
file(READ "${main2}" main2Hex HEX)
string(REGEX REPLACE "(................................)" "\\1\n" main2Hex "${main2Hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," main2Hex "${main2Hex}")
file(APPEND "${fw_tmp}" "};\n\nconstexpr uint8_t kMain2Image[] = {\n${main2Hex}\n};\n")

# main3.txt first: main2.txt's version is the one the descriptor row below takes.
fw_read_descriptor("${FIRMWARE_DIR}/main3.txt" main3)
string(REGEX REPLACE "[{} ]" "" fw_main3Text "${fw_version}")
string(REPLACE "," "." fw_main3Text "${fw_main3Text}")
set(fw_main3Version "${fw_versionNumber}")
fw_read_descriptor("${FIRMWARE_DIR}/main2.txt" main2)
# Placeholder images (the PLACEHOLDER marker, or an image file with the placeholders' data): the
# program then writes nothing unless the build allows it (IOLINK_PLACEHOLDER_WRITES).
include(${CMAKE_CURRENT_LIST_DIR}/placeholder_images.cmake)
iolink_placeholder_images("${FIRMWARE_DIR}" fw_isPlaceholder fw_placeholderReason)
if(fw_isPlaceholder)
    set(fw_placeholders true)
else()
    set(fw_placeholders false)
endif()
file(APPEND "${fw_tmp}" "
static_assert(sizeof(kMain2Image) == ${main2Length});

constexpr FirmwareDescriptor kFirmwareDescriptors[] = {
    {${main2Length}u, \"${fw_edition}\", \"${fw_versionText}\", ${fw_unread}, ${fw_version}, kMain2Image},
};

}  // namespace

// ${main3Count} records
constinit const std::span<const FirmwareRecord> main3Records{kMain3Records};
// ${stackCount} records
constinit const std::span<const FirmwareRecord> stackRecords{kStackRecords};
constinit const std::span<const FirmwareDescriptor> firmwareDescriptors{kFirmwareDescriptors};
// main3.txt: version ${fw_main3Text}
constinit const int32_t main3ImageVersion = ${fw_main3Version};
constinit const bool imagesArePlaceholders = ${fw_placeholders};
")
# Replaced as a whole, and always, so that the output is newer than the images it came from.
file(RENAME "${fw_tmp}" "${OUTPUT}")

# The carried versions for resource compilers and other non-C++ consumers (the Windows version
# resource): the 3.x image's, the 2.x image's with its edition, and the stack image's from its
# identification record (major: low four bits of byte 1; minor, patch: the two digits of byte 0).
if(DEFINED VERSIONS_HEADER)
    string(SUBSTRING "${fw_stackIdData}" 0 2 idByte0)
    string(SUBSTRING "${fw_stackIdData}" 2 2 idByte1)
    math(EXPR stackMajor "0x${idByte1} & 15")
    math(EXPR stackMinor "0x${idByte0} >> 4")
    math(EXPR stackPatch "0x${idByte0} & 15")
    string(REGEX REPLACE "[{} ]" "" fw_main2Text "${fw_version}")
    string(REPLACE "," "." fw_main2Text "${fw_main2Text}")
    if(fw_placeholders)
        set(placeholderFlag 1)
    else()
        set(placeholderFlag 0)
    endif()
    file(WRITE "${VERSIONS_HEADER}.tmp" "\
// Generated by images/firmware_to_cpp.cmake from the images in
// ${FIRMWARE_DIR}
#define IOLINK_MAIN3_IMAGE_VERSION_TEXT \"${fw_main3Text}\"
#define IOLINK_MAIN2_IMAGE_VERSION_TEXT \"${fw_main2Text}\"
#define IOLINK_MAIN2_IMAGE_EDITION \"${fw_edition}\"
#define IOLINK_STACK_IMAGE_VERSION_TEXT \"${stackMajor}.${stackMinor}.${stackPatch}\"
#define IOLINK_IMAGES_ARE_PLACEHOLDERS ${placeholderFlag}
")
    file(RENAME "${VERSIONS_HEADER}.tmp" "${VERSIONS_HEADER}")
endif()
