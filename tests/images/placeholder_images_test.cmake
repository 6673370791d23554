# Placeholder detection (images/placeholder_images.cmake) over folders made from the other images
# of tests/images/firmware_3_1_0 with files of the placeholders (images/firmware) put in: the
# marker, or any one image file with the placeholders' data however its line ends and hex digits
# are written, makes a placeholder folder; other data does not. A file of the placeholders that is
# not recognised means its digest in the module is stale: the message gives the new one.
#   cmake -DSOURCE=<repo> -DWORK=<scratch folder> -P placeholder_images_test.cmake

cmake_minimum_required(VERSION 3.25)
include(${SOURCE}/images/placeholder_images.cmake)
set(placeholders ${SOURCE}/images/firmware)

# Rows: name | edit of the placeholders' files | those files | expected. Edits: "as_is"; "crlf"
# (HEX text in lower case with CR LF line ends and a blank line); "other" (one line or byte more).
foreach(row "marker|marker||TRUE" "none|as_is||FALSE" "main3|crlf|main3.hex|TRUE"
            "stack|crlf|stack.hex|TRUE" "main2|as_is|main2.bin|TRUE"
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
