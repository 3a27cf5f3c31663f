# Warning set shared by every target of the project.
function(orva_set_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic
        -Wshadow -Wcast-qual -Wformat=2 -Wundef -Wold-style-cast
        -Wimplicit-fallthrough -Wmissing-declarations -Wnon-virtual-dtor
        -Woverloaded-virtual -Wvla)
    if(ORVA_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
