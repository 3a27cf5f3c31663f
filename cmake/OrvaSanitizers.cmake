# ORVA_SANITIZE is a comma-separated list handed to -fsanitize= for every target,
# for example "address,undefined" or "thread".
set(ORVA_SANITIZE "" CACHE STRING "Sanitizers to build with (-fsanitize= list)")
if(ORVA_SANITIZE)
    add_compile_options(-fsanitize=${ORVA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${ORVA_SANITIZE})
endif()
