# Cross build for 64-bit Arm Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu, whose headers and libraries live in /usr/aarch64-linux-gnu).
# Programs built with it run here under qemu-user (qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(ORVA_TARGET_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${ORVA_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORVA_TARGET_TRIPLE}-g++)

# Headers and libraries only from the target's tree; build tools (python3, file)
# from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVA_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests start the target's programs through this.
find_program(ORVA_QEMU_AARCH64 NAMES qemu-aarch64-static qemu-aarch64)
if(ORVA_QEMU_AARCH64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVA_QEMU_AARCH64})
endif()
