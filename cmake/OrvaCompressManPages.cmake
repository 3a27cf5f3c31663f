# CPack pre-build script: compresses the staged manual pages the way Debian
# ships them (gzip -9n: no name, no time stamp, so the package is reproducible).
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.[1-9]")
list(FILTER staged INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page IN LISTS staged)
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "gzip failed on ${page}")
    endif()
endforeach()
