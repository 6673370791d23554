# Copies the man page <IN> to <OUT> with the version of its .TH line's "iolink-update <version>"
# set to <VERSION>, the project's: the program's version is defined once, in the top
# CMakeLists.txt, and the page's source may name any. Nothing else of the page changes. A page
# whose .TH line lacks that field is refused, so that a rewrite of the page cannot drop it unseen.
#   cmake -DIN=<page> -DOUT=<page> -DVERSION=<major.minor.patch> -P man_page_version.cmake

cmake_minimum_required(VERSION 3.25)

file(READ "${IN}" page)
string(REGEX MATCH "(^|\n)\\.TH [^\n]*\"iolink-update [^\"\n]*\"" heading "${page}")
if(heading STREQUAL "")
    message(FATAL_ERROR " ${IN}: no .TH line with the field \"iolink-update <version>\"")
endif()
string(REGEX REPLACE "\"iolink-update [^\"\n]*\"$" "\"iolink-update ${VERSION}\"" versioned "${heading}")
string(REPLACE "${heading}" "${versioned}" page "${page}")
file(WRITE "${OUT}.tmp" "${page}")
file(RENAME "${OUT}.tmp" "${OUT}")
