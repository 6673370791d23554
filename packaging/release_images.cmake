# Refuses a release of placeholder images: `make release` runs it before it builds anything.
#   cmake -DFOLDER=<firmware folder> -P release_images.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../images/placeholder_images.cmake)
if(NOT IS_DIRECTORY "${FOLDER}")
    message(FATAL_ERROR " make release: FIRMWARE_DIR=${FOLDER} is no folder")
endif()
iolink_placeholder_images("${FOLDER}" isPlaceholder reason)
if(isPlaceholder)
    message(FATAL_ERROR " make release: ${FOLDER} holds PLACEHOLDER firmware images (${reason}); "
                        "a release carries real images: FIRMWARE_DIR=<folder of real images>")
endif()
