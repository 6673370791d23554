# Read by cpack when it runs (CPACK_PROJECT_CONFIG_FILE), after the build: the package's version
# and description name the firmware the program carries, as the image build found it (the
# versions header it generates next to the image tables, which the Windows version resource
# reads too).
#
# The version is <program>+fw<main 3.x>-<main 2.x>-<IO-Link stack>, for example
# 1.0.0+fw3.0.10-2.1.7-1.3.0: a new firmware set built with the same program gives a higher
# version, which apt installs over the old one. dpkg reads the text after the last hyphen (the
# stack's version) as the Debian revision and the rest as the upstream version; both compare field
# by field, so the order is the program's, then the images' in turn, as intended. A package of
# placeholder images adds ~placeholder, which sorts below the same versions without it, so that a
# package of real images replaces it, and which its file name carries too.

if(NOT EXISTS "${CPACK_IOLINK_VERSIONS_HEADER}")
    message(FATAL_ERROR "${CPACK_IOLINK_VERSIONS_HEADER} is missing: build the project before cpack")
endif()
file(STRINGS "${CPACK_IOLINK_VERSIONS_HEADER}" defines REGEX "^#define IOLINK_")
foreach(define IN LISTS defines)
    if(define MATCHES "^#define (IOLINK_[A-Z0-9_]+) \"?([^\"]*)\"?$")
        set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    endif()
endforeach()
foreach(name MAIN3_IMAGE_VERSION_TEXT MAIN2_IMAGE_VERSION_TEXT MAIN2_IMAGE_EDITION
        STACK_IMAGE_VERSION_TEXT IMAGES_ARE_PLACEHOLDERS)
    if(NOT DEFINED IOLINK_${name})
        message(FATAL_ERROR "${CPACK_IOLINK_VERSIONS_HEADER} does not define IOLINK_${name}")
    endif()
endforeach()

set(CPACK_DEBIAN_PACKAGE_VERSION "${CPACK_IOLINK_PROGRAM_VERSION}+fw${IOLINK_MAIN3_IMAGE_VERSION_TEXT}-${IOLINK_MAIN2_IMAGE_VERSION_TEXT}-${IOLINK_STACK_IMAGE_VERSION_TEXT}")
string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "

It carries main firmware ${IOLINK_MAIN3_IMAGE_VERSION_TEXT} for masters on 3.x,
main firmware ${IOLINK_MAIN2_IMAGE_VERSION_TEXT} (edition ${IOLINK_MAIN2_IMAGE_EDITION}) for masters on 2.x
and IO-Link stack ${IOLINK_STACK_IMAGE_VERSION_TEXT}.")
if(IOLINK_IMAGES_ARE_PLACEHOLDERS)
    string(APPEND CPACK_DEBIAN_PACKAGE_VERSION "~placeholder")
    string(APPEND CPACK_PACKAGE_DESCRIPTION_SUMMARY " (placeholder images)")
    string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "

This package carries PLACEHOLDER images: synthetic data of the right shape,
not firmware. Its program finds and lists masters but writes nothing into
them. Packages built from real images have no \"placeholder\" in their
version or file name.")
endif()

# dpkg-shlibdeps of a cross build: the target's architecture, and the cross toolchain's library
# folder to search.
if(CPACK_IOLINK_CROSS_LIBRARY_DIR)
    set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CPACK_IOLINK_CROSS_LIBRARY_DIR})
endif()
