# Placeholder detection (images/placeholder_images.cmake) over folders made from the other images
# of tests/images/firmware_3_1_0 with files of the placeholders (images/firmware) put in: the
# marker, or any one image file with the placeholders' data however its line ends, hex digits and
# record lengths are written, makes a placeholder folder; other data does not. A file of the placeholders that is
# not recognised means its digest in the module is stale: the message gives the new one.
#   cmake -DSOURCE=<repo> -DWORK=<scratch folder> -P placeholder_images_test.cmake

cmake_minimum_required(VERSION 3.25)
include(${SOURCE}/images/placeholder_images.cmake)
set(placeholders ${SOURCE}/images/firmware)

# Writes HEX file <path> again with every data record split into records of at most 8 bytes (the
# placeholders' have 16), each with its own address and checksum.
function(resplit path)
    file(STRINGS ${path} lines NO_HEX_CONVERSION)
    set(text "")
    foreach(line IN LISTS lines)
        if(NOT line MATCHES "^:..(....)00(.*)..$")
            string(APPEND text "${line}\n")
            continue()
        endif()
        math(EXPR offset "0x${CMAKE_MATCH_1}")
        string(REGEX MATCHALL "..(..)?(..)?(..)?(..)?(..)?(..)?(..)?" pieces "${CMAKE_MATCH_2}")
        foreach(piece IN LISTS pieces)
            string(LENGTH "${piece}" digits)
            math(EXPR count "${digits} / 2")
            math(EXPR record "(${count} << 24) | (${offset} << 8)" OUTPUT_FORMAT HEXADECIMAL)
            string(REGEX REPLACE "^0x" "0000000" record "${record}")
            string(REGEX REPLACE "^.*(........)$" "\\1${piece}" record "${record}")
            string(REGEX REPLACE "(..)" "+0x\\1" terms "${record}")
            math(EXPR checksum "(256 - (0${terms}) % 256) % 256 + 256" OUTPUT_FORMAT HEXADECIMAL)
            string(SUBSTRING "${checksum}" 3 2 checksum)
            string(TOUPPER ":${record}${checksum}" record)
            string(APPEND text "${record}\n")
            math(EXPR offset "${offset} + ${count}")
        endforeach()
    endforeach()
    file(WRITE ${path} "${text}")
endfunction()

# Rows: name | edit of the placeholders' files | those files | expected. Edits: "as_is"; "crlf"
# (HEX text in lower case with CR LF line ends and a blank line); "resplit" (records of at most 8
# bytes); "other" (a HEX file with one data byte more, main2.bin with a line more).
foreach(row "marker|marker||TRUE" "none|as_is||FALSE" "main3|crlf|main3.hex|TRUE"
            "stack|crlf|stack.hex|TRUE" "main3_resplit|resplit|main3.hex|TRUE"
            "stack_resplit|resplit|stack.hex|TRUE" "main2|as_is|main2.bin|TRUE"
            "other_data|other|main3.hex,stack.hex,main2.bin|FALSE")
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 name)
    list(GET row 1 edit)
    list(GET row 2 files)
    list(GET row 3 expected)
    set(dir ${WORK}/${name})
    file(REMOVE_RECURSE ${dir})
    file(COPY ${SOURCE}/tests/images/firmware_3_1_0/ DESTINATION ${dir})
    if(edit STREQUAL "marker")
        file(WRITE ${dir}/PLACEHOLDER "placeholder images\n")
    endif()
    string(REPLACE "," ";" files "${files}")
    foreach(file IN LISTS files)
        file(COPY_FILE ${placeholders}/${file} ${dir}/${file})
        if(file MATCHES "\\.hex$" AND edit STREQUAL "crlf")
            file(READ ${dir}/${file} text)
            string(TOLOWER "${text}" text)
            string(REPLACE "\n" "\r\n" text "${text}")
            file(WRITE ${dir}/${file} "\r\n${text}")
        elseif(file MATCHES "\\.hex$" AND edit STREQUAL "resplit")
            resplit(${dir}/${file})
        elseif(file MATCHES "\\.hex$" AND edit STREQUAL "other")
            file(READ ${dir}/${file} text)
            string(REGEX REPLACE "^([^\n]*\n)" "\\1:0100000055AA\n" text "${text}")
            file(WRITE ${dir}/${file} "${text}")
        elseif(edit STREQUAL "other")
            file(APPEND ${dir}/${file} ":00000001FF\n")
        endif()
    endforeach()
    iolink_placeholder_images(${dir} is reason)
    if(NOT is STREQUAL expected)
        set(hint "")
        list(LENGTH files count)
        if(count EQUAL 1)
            iolink_image_digest(${placeholders}/${files} digest)
            set(hint "; the placeholders' ${files} has the digest ${digest}")
        endif()
        message(FATAL_ERROR "${name}: placeholder ${is} (${reason}), expected ${expected}${hint}")
    endif()
endforeach()
