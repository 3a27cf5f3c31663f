# The Debian package of both programs: `make package`, or `cpack -G DEB` in a
# build tree. It holds what `cmake --install` puts under the prefix /usr, with the
# programs stripped, the manual pages compressed and every directory 0755; its
# dependencies are computed by dpkg-shlibdeps from the programs themselves.
find_program(ORVA_DPKG dpkg)
if(NOT ORVA_DPKG)
    message(STATUS "dpkg not found: no Debian package target")
    return()
endif()
execute_process(COMMAND "${ORVA_DPKG}" --print-architecture
    OUTPUT_VARIABLE ORVA_DEB_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE dpkg_result)
if(NOT dpkg_result EQUAL 0 OR ORVA_DEB_ARCHITECTURE STREQUAL "")
    message(FATAL_ERROR "dpkg --print-architecture failed")
endif()

set(ORVA_DEB_MAINTAINER "orva maintainers <orva-maintainers@example.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orva)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${ORVA_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chat-session directory scanner and Landlock sandbox launcher")
set(CPACK_PACKAGE_DESCRIPTION
    "orva-session-scan catalogs a directory of chat-session transcripts (JSON Lines
files with optional title sidecars) and prints one JSON document that a host
application parses. orva-landlock-run runs one command under a Linux Landlock
file-system sandbox, or supervises it while relaying its standard input.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/OrvaStagePackage.cmake")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${ORVA_DEB_ARCHITECTURE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_GENERATOR TXZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build/" "/stage/" "__pycache__")

include(CPack)
