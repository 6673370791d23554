# What File Properties show of each iolink-update.exe, and how Windows starts it: the version
# resource (the project's version, the carried firmware versions, the placeholder note) and the
# manifest (id 1, asInvoker, the version), read back by windres with the UTF-16 strings decoded.
#   cmake -DWINDRES=<windres> -DUPDATERS=<exe>,... -DWRITES=<0|1>,... -DVERSION=<a.b.c>
#         -DVERSIONS_HEADER=<iolink_images_versions.h> -P updater_resources.cmake

cmake_minimum_required(VERSION 3.25)

file(READ ${VERSIONS_HEADER} header)
foreach(macro MAIN3_IMAGE_VERSION_TEXT MAIN2_IMAGE_VERSION_TEXT MAIN2_IMAGE_EDITION
              STACK_IMAGE_VERSION_TEXT IMAGES_ARE_PLACEHOLDERS)
    if(NOT header MATCHES "#define IOLINK_${macro} \"?([^\"\n]*)\"?\n")
        message(FATAL_ERROR "IOLINK_${macro} not found in ${VERSIONS_HEADER}")
    endif()
    set(${macro} "${CMAKE_MATCH_1}")
endforeach()
# The project's version has three parts; the resources have four, the last 0.
string(REPLACE "." ", " fixedVersion "${VERSION}.0")
set(values "\"FileVersion\", \"${VERSION}\"" "\"ProductVersion\", \"${VERSION}\""
    "\"FileDescription\", \"IO-Link USB master firmware updater\""
    "\"FirmwareVersions\", \"main 3.x ${MAIN3_IMAGE_VERSION_TEXT}, main 2.x \
${MAIN2_IMAGE_VERSION_TEXT} (${MAIN2_IMAGE_EDITION}), IO-Link stack ${STACK_IMAGE_VERSION_TEXT}\"")

string(REPLACE "," ";" updaters "${UPDATERS}")
string(REPLACE "," ";" writesList "${WRITES}")
foreach(updater writes IN ZIP_LISTS updaters writesList)
    execute_process(COMMAND ${WINDRES} -i ${updater} -O rc OUTPUT_VARIABLE rc RESULT_VARIABLE status)
    # The manifest's text follows its header, quotes doubled, up to the block's END.
    string(FIND "${rc}" "\n1 24 /* RT_MANIFEST */\nBEGIN\n" at)
    if(NOT status STREQUAL "0" OR at LESS 0)
        message(FATAL_ERROR "windres found no manifest of id 1 in ${updater}:\n${rc}")
    endif()
    string(SUBSTRING "${rc}" ${at} -1 manifest)
    string(REGEX REPLACE "\nEND\n.*" "" manifest "${manifest}")
    set(expected " FILEVERSION ${fixedVersion}\n" " PRODUCTVERSION ${fixedVersion}\n")
    foreach(value IN LISTS values)
        list(APPEND expected "VALUE ${value}\n")
    endforeach()
    if(IMAGES_ARE_PLACEHOLDERS AND writes)
        list(APPEND expected "\"PLACEHOLDER firmware images, and this build WRITES them into masters")
    elseif(IMAGES_ARE_PLACEHOLDERS)
        list(APPEND expected "\"PLACEHOLDER firmware images: this build writes nothing into masters\"")
    elseif(rc MATCHES "PLACEHOLDER")
        message(FATAL_ERROR "${updater} carries real images but its resources say PLACEHOLDER")
    endif()
    foreach(line IN LISTS expected)
        string(FIND "${rc}" "${line}" found)
        if(found LESS 0)
            message(FATAL_ERROR "${updater}: the resources lack\n  ${line}\nThey are:\n${rc}")
        endif()
    endforeach()
    foreach(line "<requestedExecutionLevel level=\"\"asInvoker\"\""
                 "name=\"\"iolink-update\"\" version=\"\"${VERSION}.0\"\"")
        string(FIND "${manifest}" "${line}" found)
        if(found LESS 0)
            message(FATAL_ERROR "${updater}: the manifest lacks ${line}:\n${manifest}")
        endif()
    endforeach()
    message(STATUS "${updater}: resources of version ${VERSION}, writes ${writes}")
endforeach()
