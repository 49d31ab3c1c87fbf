# SPDX-License-Identifier: MIT
# Turns a text file into a C++ function that returns it, so that the page builder needs nothing but
# the standard library at run time while the page stays an ordinary file to edit.
#   cmake -DINPUT=page.html -DOUTPUT=page.cpp -DHEADER=puzzle/x.h -DFUNCTION=name -P embed.cmake
file(READ "${INPUT}" text)
set(delimiter "tilemaven_page")
string(FIND "${text}" ")${delimiter}\"" clash)
if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${INPUT} holds the raw string's closing delimiter")
endif()
set(code "// Made by embed.cmake from ${FILE_NAME}; edit that file instead.\n#include \"${HEADER}\"\n\n")
string(APPEND code "namespace puzzle {\n\nstd::string_view ${FUNCTION}() {\n")
string(APPEND code "    return R\"${delimiter}(${text})${delimiter}\";\n}\n\n} // namespace puzzle\n")
file(WRITE "${OUTPUT}.part" "${code}")
file(COPY_FILE "${OUTPUT}.part" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.part")
