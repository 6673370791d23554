# Whether a firmware folder carries the repo's placeholder images (images/firmware, written by
# images/make_placeholders.py). Included by images/CMakeLists.txt (the configure message, the
# install refusal) and by firmware_to_cpp.cmake (imagesArePlaceholders), so that both decide alike.
#
# A folder is a placeholder folder when it holds the PLACEHOLDER marker, or when any one of its
# image files holds the placeholders' data: a copy of the folder can lose the marker, or keep it
# beside real images, and one placeholder image among real ones must not reach a master either.
# The data is compared by SHA-256 of main2.bin's bytes, and of main3.hex's and stack.hex's text
# with CRs and blank lines removed, one line end after the last line, upper-cased: a checkout
# with CR LF line ends or a tool that writes the hex digits in lower case still compares equal.

# Sets <out> to the SHA-256 of image file <path>, normalised as above (a HEX file by its text).
function(iolink_image_digest path out)
    if(path MATCHES "\\.hex$")
        file(READ "${path}" text)
        string(REPLACE "\r" "" text "${text}")
        string(REGEX REPLACE "\n\n+" "\n" text "${text}")
        string(STRIP "${text}" text)
        string(TOUPPER "${text}\n" text)
        string(SHA256 digest "${text}")
    else()
        file(SHA256 "${path}" digest)
    endif()
    set(${out} ${digest} PARENT_SCOPE)
endfunction()

# Sets <out> to TRUE when <folder> carries placeholder images, else FALSE; <reasonOut> to why
# ("the PLACEHOLDER marker" or "<file> holds the placeholders' data"), or to "" for FALSE.
function(iolink_placeholder_images folder out reasonOut)
    # The digests of the committed placeholders, normalised as above (the committed files are
    # already in that form: these are their sha256sum). The images.placeholder_images tests
    # detect each file of images/firmware by them and print its digest when it is not detected:
    # a change of make_placeholders.py's output changes them here too.
    set(placeholder_main3.hex 9fe494b074ac908e55c04ac3784b24dbbd90d3ea354f6379f99833bfa6d84646)
    set(placeholder_stack.hex c8c24c2f4db009f132070252963b42688f8f99fdfb02912285a7d3190abfb832)
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
