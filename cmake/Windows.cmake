# Windows build of Halvane (cross-compiled with cmake/toolchain-mingw64.cmake, or native MinGW).
# Included by the top-level CMakeLists.txt after the library targets and before the tests.

# Windows hosts load the library as Halvane.dll; hosts link its import library libHalvane.dll.a
# (-lHalvane).
set_target_properties(Halvane PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# Programs go next to the DLL, where Windows (and Wine) look for it first.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

if(NOT CMAKE_CROSSCOMPILING)
    return()
endif()

# Every program of this build runs under Wine in a prefix of its own inside the build folder,
# headless and quiet; the .NET and HTML runtimes Wine offers to install are switched off.
set(HALVANE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
if(HALVANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${HALVANE_WINEPREFIX} WINEDEBUG=-all
        WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= ${HALVANE_WINE})
endif()

if(NOT HALVANE_BUILD_TESTS)
    return()
endif()

# GoogleTest for the cross compiler: Debian ships its sources, which build here like any other
# part of the tree. Its own warnings are its business, so -Werror is left out for it.
set(HALVANE_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
if(NOT TARGET GTest::gtest)
    get_directory_property(halvane_options COMPILE_OPTIONS)
    set(halvane_gtest_options ${halvane_options})
    list(REMOVE_ITEM halvane_gtest_options -Werror)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${halvane_gtest_options}")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${HALVANE_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${halvane_options}")
    # GoogleTest defines the GTest:: names itself from 1.11 on; older sources get them here.
    if(NOT TARGET GTest::gtest)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
endif()
# find_package(GTest) in tests/ finds the targets above through this package directory.
set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/windows CACHE PATH "GoogleTest package of the cross build" FORCE)

# Checks of the Windows build itself: the DLL's imports and exports, and the example host's output
# against the same program built for Linux (configure with -DHALVANE_LINUX_HOST=<its path>).
enable_testing()
find_program(HALVANE_OBJDUMP NAMES ${CMAKE_CXX_COMPILER_TARGET}-objdump x86_64-w64-mingw32-objdump objdump)
add_test(NAME Windows.DllImportsAndExports
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${HALVANE_OBJDUMP} -DDLL=$<TARGET_FILE:Halvane>
        -P ${PROJECT_SOURCE_DIR}/tests/windows/CheckDll.cmake)
set_tests_properties(Windows.DllImportsAndExports PROPERTIES LABELS windows)

# tWAVEFORMATEX and the Windows headers, included in either order, through the DLL.
add_executable(halvane_windows_tests ${PROJECT_SOURCE_DIR}/tests/windows/WaveFormatSdkFirstTest.cpp
    ${PROJECT_SOURCE_DIR}/tests/windows/WaveFormatHalvaneFirstTest.cpp)
target_link_libraries(halvane_windows_tests PRIVATE Halvane GTest::gtest GTest::gtest_main)
add_test(NAME Windows.WaveFormatHeaders COMMAND halvane_windows_tests)
set_tests_properties(Windows.WaveFormatHeaders PROPERTIES LABELS windows)

set(HALVANE_LINUX_HOST "" CACHE FILEPATH "halvane_windows_host built for Linux, for the output comparison")
if(HALVANE_BUILD_EXAMPLES AND HALVANE_LINUX_HOST)
    string(REPLACE ";" "|" halvane_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    add_test(NAME Windows.HostOutputMatchesLinux
        COMMAND ${CMAKE_COMMAND} "-DEMULATOR=${halvane_emulator}"
            -DWINDOWS_HOST=$<TARGET_FILE:halvane_windows_host> -DLINUX_HOST=${HALVANE_LINUX_HOST}
            -DWORK_DIR=${CMAKE_BINARY_DIR}/host-output
            -P ${PROJECT_SOURCE_DIR}/tests/windows/CompareHostOutput.cmake)
    set_tests_properties(Windows.HostOutputMatchesLinux PROPERTIES LABELS windows)
endif()
