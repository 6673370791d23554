# Copies the man page <IN> to <OUT> with the version of its .TH line's "iolink-update <version>"
# set to <VERSION>, the project's: the program's version is defined once, in the top
# CMakeLists.txt, and the page's source may name any. The .TH line's date becomes the UTC day of
# the SOURCE_DATE_EPOCH in <EPOCH_FILE> (kept as written when the file holds none), so that the
# page of a build is the same whenever it is built. Nothing else of the page changes. A page
# whose .TH line lacks that field is refused, so that a rewrite of the page cannot drop it unseen.
#   cmake -DIN=<page> -DOUT=<page> -DVERSION=<major.minor.patch> [-DEPOCH_FILE=<file>]
#         -P man_page_version.cmake

cmake_minimum_required(VERSION 3.25)

file(READ "${IN}" page)
string(REGEX MATCH "(^|\n)\\.TH [^\n]*\"iolink-update [^\"\n]*\"" heading "${page}")
if(heading STREQUAL "")
    message(FATAL_ERROR " ${IN}: no .TH line with the field \"iolink-update <version>\"")
endif()
string(REGEX REPLACE "\"iolink-update [^\"\n]*\"$" "\"iolink-update ${VERSION}\"" versioned "${heading}")
if(DEFINED EPOCH_FILE)
    file(STRINGS "${EPOCH_FILE}" epoch LIMIT_COUNT 1)
    if(epoch MATCHES "^[0-9]+$")
        set(ENV{SOURCE_DATE_EPOCH} ${epoch})
        string(TIMESTAMP date "%Y-%m-%d" UTC)
        string(REGEX REPLACE "^(\n?\\.TH [^ \n]+ [^ \n]+ )[^ \n]+" "\\1${date}" versioned "${versioned}")
    endif()
endif()
string(REPLACE "${heading}" "${versioned}" page "${page}")
file(WRITE "${OUT}.tmp" "${page}")
file(RENAME "${OUT}.tmp" "${OUT}")
