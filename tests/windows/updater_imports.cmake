# iolink-update.exe must run on a PC without MinGW: it may import only DLLs that every Windows
# has. Checks the import table and the image kind (PE32+ console program); with STRIPPED=ON
# (the shipped .exe) also that it carries no debug sections.
#   cmake -DOBJDUMP=<x86_64-w64-mingw32-objdump> -DUPDATER=<iolink-update.exe> [-DSTRIPPED=ON]
#         -P updater_imports.cmake

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${UPDATER} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "objdump failed on ${UPDATER}")
endif()
if(NOT headers MATCHES "Magic[ \t]+020b" OR NOT headers MATCHES "Subsystem[ \t]+00000003")
    message(FATAL_ERROR "${UPDATER} is not a PE32+ console program")
endif()

if(STRIPPED)
    execute_process(COMMAND ${OBJDUMP} -h ${UPDATER} OUTPUT_VARIABLE sections RESULT_VARIABLE status)
    string(REGEX MATCHALL "[ \t]\\.debug_[a-z_]+" debugSections "${sections}")
    if(NOT status STREQUAL "0" OR debugSections)
        message(FATAL_ERROR "${UPDATER} carries debug sections:${debugSections}")
    endif()
endif()

set(system_dlls KERNEL32.DLL MSVCRT.DLL SETUPAPI.DLL BCRYPT.DLL ADVAPI32.DLL)
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${headers}")
if(NOT imports)
    message(FATAL_ERROR "no imports found in ${UPDATER}")
endif()
foreach(line IN LISTS imports)
    string(REGEX REPLACE "DLL Name: " "" dll "${line}")
    string(TOUPPER "${dll}" dll)
    if(NOT dll IN_LIST system_dlls)
        message(FATAL_ERROR "${UPDATER} imports ${dll}, which is not a system DLL")
    endif()
    message(STATUS "imports ${dll}")
endforeach()
