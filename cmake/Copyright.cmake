# Writes the Debian copyright file, in the machine-readable format, from the MIT licence text:
# cmake -DLICENSE=<LICENSE> -DOUTPUT=<copyright> -P Copyright.cmake. The licence's
# "Copyright (c) YEARS HOLDERS" line becomes the Copyright field and the text after it the
# licence's body, each line indented by one space and each empty line written as " .".
cmake_minimum_required(VERSION 3.25)
if(NOT EXISTS "${LICENSE}")
    message(FATAL_ERROR "No licence to read: ${LICENSE} does not exist")
endif()
file(READ "${LICENSE}" text)
# file(STRINGS) drops empty lines, so the lines are split by hand. A semicolon in the text would
# split a list item; the licence has none, and one would be refused below rather than mangled.
if(text MATCHES ";")
    message(FATAL_ERROR "${LICENSE} holds a semicolon, which this script cannot carry")
endif()
string(REGEX REPLACE "\r?\n" ";" lines "${text}")

set(holders "")
set(body "")
foreach(line IN LISTS lines)
    if(holders STREQUAL "")
        if(line MATCHES "^Copyright \\(c\\) (.+)$")
            set(holders "${CMAKE_MATCH_1}")
        endif()
    elseif(line STREQUAL "")
        string(APPEND body " .\n")
    else()
        string(APPEND body " ${line}\n")
    endif()
endforeach()
if(holders STREQUAL "")
    message(FATAL_ERROR "${LICENSE} has no line \"Copyright (c) YEARS HOLDERS\"")
endif()
# The empty lines between the copyright line and the text, and after the text, are no part of it.
string(REGEX REPLACE "^( \\.\n)+" "" body "${body}")
string(REGEX REPLACE "( \\.\n)+$" "" body "${body}")

file(WRITE "${OUTPUT}"
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: Tonalyx\n"
    "Source: the Tonalyx source tree of The Tonalyx developers\n"
    "\n"
    "Files: *\n"
    "Copyright: ${holders}\n"
    "License: MIT\n"
    "${body}")
