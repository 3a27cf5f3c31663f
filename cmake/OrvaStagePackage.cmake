# CPack pre-build script, run on the staged tree before it is packed. Directories
# get mode 0755 whatever the umask of the install that created them, and manual
# pages are compressed the way Debian ships them (gzip -9n: no name, no time
# stamp, so the package is reproducible).
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS staged)
    if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
        file(CHMOD "${path}" DIRECTORY_PERMISSIONS
             OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    elseif(path MATCHES "/man/man[1-9]/[^/]+\\.[1-9]$")
        execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "gzip failed on ${path}")
        endif()
    endif()
endforeach()
