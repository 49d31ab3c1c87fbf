# SPDX-License-Identifier: MIT
# Installs the build as a package would, under a scratch DESTDIR, and checks that every file a
# desktop needs landed where the desktop looks for it.
#   cmake -DBUILD_DIR=... -DSTAGE=... -DAPP_ID=... -P installtree.cmake
file(REMOVE_RECURSE "${STAGE}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "DESTDIR=${STAGE}"
            ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix /usr
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${status}")
endif()

set(expected
    usr/bin/tilemaven
    usr/share/applications/${APP_ID}.desktop
    usr/share/icons/hicolor/scalable/apps/${APP_ID}.svg
    usr/share/metainfo/${APP_ID}.metainfo.xml
    usr/share/man/man1/tilemaven.1
    usr/share/bash-completion/completions/tilemaven)
foreach(path IN LISTS expected)
    if(NOT EXISTS "${STAGE}/${path}")
        message(FATAL_ERROR "not installed: ${path}")
    endif()
endforeach()
execute_process(COMMAND test -x "${STAGE}/usr/bin/tilemaven" RESULT_VARIABLE not_executable)
if(not_executable)
    message(FATAL_ERROR "usr/bin/tilemaven is not executable")
endif()

# The launcher, and each of its actions, must start the installed program and name the installed
# icon; the launcher itself starts it plainly.
file(STRINGS "${STAGE}/usr/share/applications/${APP_ID}.desktop" exec_lines REGEX "^Exec=")
file(STRINGS "${STAGE}/usr/share/applications/${APP_ID}.desktop" icon_line REGEX "^Icon=")
list(GET exec_lines 0 exec_line)
list(FILTER exec_lines EXCLUDE REGEX "^Exec=tilemaven( |$)")
if(NOT exec_line STREQUAL "Exec=tilemaven" OR exec_lines OR NOT icon_line STREQUAL "Icon=${APP_ID}")
    message(FATAL_ERROR "launcher does not match the install: ${exec_line} ${exec_lines} ${icon_line}")
endif()
