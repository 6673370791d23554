# Whether a firmware folder carries the repo's placeholder images (images/firmware, written by
# images/make_placeholders.py). Included by images/CMakeLists.txt (the configure message, the
# install refusal) and by firmware_to_cpp.cmake (imagesArePlaceholders), so that both decide alike.
#
# A folder is a placeholder folder when it holds the PLACEHOLDER marker, or when any one of its
# image files holds the placeholders' data: a copy of the folder can lose the marker, or keep it
# beside real images, and one placeholder image among real ones must not reach a master either.
# The data is compared by what the program would write, not by how a file spells it: main2.bin by
# the SHA-256 of its bytes; main3.hex and stack.hex by the SHA-256 of their data records' bytes in
# address order, each run of consecutive addresses one line "<address>:<bytes>" (eight and two
# upper-case hex digits). So the records' lengths and order, line ends, the case of the hex digits,
# start-address records and blank lines make no difference: a HEX file written anew from the same
# data, with other record lengths, is recognised.

# Sets <out> to the digest of the data records of Intel HEX file <path>, as above. Lines that are
# no records are passed over here; firmware_to_cpp.cmake refuses them.
function(iolink_hex_data_digest path out)
    # NO_HEX_CONVERSION: file(STRINGS) would otherwise turn a HEX file into its binary.
    file(STRINGS "${path}" lines NO_HEX_CONVERSION)
    set(upper 0000)
    set(records "")
    foreach(line IN LISTS lines)
        string(TOUPPER "${line}" line)
        if(NOT line MATCHES "^:(..)(....)(..)([0-9A-F]*)..\r?$")
            continue()
        endif()
        if(CMAKE_MATCH_3 STREQUAL "04")
            set(upper "${CMAKE_MATCH_4}")
        elseif(CMAKE_MATCH_3 STREQUAL "00")
            list(APPEND records "${upper}${CMAKE_MATCH_2}:${CMAKE_MATCH_4}")
        endif()
    endforeach()
    # Fixed-width upper-case hex addresses: the text order is the address order.
    list(SORT records)
    set(text "")
    set(next -1)
    foreach(record IN LISTS records)
        string(SUBSTRING "${record}" 0 8 address)
        string(SUBSTRING "${record}" 9 -1 data)
        math(EXPR at "0x${address}")
        string(LENGTH "${data}" digits)
        if(at EQUAL next)
            string(APPEND text "${data}")
        else()
            string(APPEND text "\n${address}:${data}")
        endif()
        math(EXPR next "${at} + ${digits} / 2")
    endforeach()
    string(SHA256 digest "${text}")
    set(${out} ${digest} PARENT_SCOPE)
endfunction()

# Sets <out> to the digest of image file <path>, as above.
function(iolink_image_digest path out)
    if(path MATCHES "\\.hex$")
        iolink_hex_data_digest("${path}" digest)
    else()
        file(SHA256 "${path}" digest)
    endif()
    set(${out} ${digest} PARENT_SCOPE)
endfunction()

# Sets <out> to TRUE when <folder> carries placeholder images, else FALSE; <reasonOut> to why
# ("the PLACEHOLDER marker" or "<file> holds the placeholders' data"), or to "" for FALSE.
function(iolink_placeholder_images folder out reasonOut)
    # The digests of the committed placeholders, as above. The images.placeholder_images tests
    # detect each file of images/firmware by them and print its digest when it is not detected:
    # a change of make_placeholders.py's output changes them here too.
    set(placeholder_main3.hex 2cd09bfdd2bbd3b23aa13ea5913570d13c101a6c1a58c2be062d6f7e24e7611f)
    set(placeholder_stack.hex c32d1a177509abd4743e9cc1c6fe38216ea4e0e0273e1d5f20fdcbe890abdf18)
    set(placeholder_main2.bin 031a5269c796d54ca694ddf203afb3fe2ceb9dcb508202135bef5db730953ff0)
    set(reason "")
    if(EXISTS "${folder}/PLACEHOLDER")
        set(reason "the PLACEHOLDER marker")
    else()
        foreach(name main3.hex stack.hex main2.bin)
            if(EXISTS "${folder}/${name}" AND NOT IS_DIRECTORY "${folder}/${name}")
                iolink_image_digest("${folder}/${name}" digest)
                if("${digest}" STREQUAL "${placeholder_${name}}")
                    set(reason "${name} holds the placeholders' data")
                    break()
                endif()
            endif()
        endforeach()
    endif()
    if(reason STREQUAL "")
        set(${out} FALSE PARENT_SCOPE)
    else()
        set(${out} TRUE PARENT_SCOPE)
    endif()
    set(${reasonOut} "${reason}" PARENT_SCOPE)
endfunction()
