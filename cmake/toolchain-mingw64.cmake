# Cross-compiles Halvane for 64-bit Windows with Debian's mingw-w64 compilers (the posix thread
# model, package g++-mingw-w64-x86-64-posix). Programs built here run under Wine (package wine64),
# which CMake uses as the emulator for test discovery and for running tests.
#   cmake -G Ninja -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HALVANE_MINGW_TRIPLE x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${HALVANE_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${HALVANE_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${HALVANE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HALVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry the C++ runtime inside, so they start under Wine (or on a Windows machine) with
# nothing but the system DLLs next to them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian installs the 64-bit loader as wine64 (on PATH or in /usr/lib/wine); `wine` is the
# wrapper of the wine package. Either runs a 64-bit program.
find_program(HALVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(HALVANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${HALVANE_WINE})
endif()
