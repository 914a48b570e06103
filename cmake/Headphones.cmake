# libHalvaneHeadphones: the binaural stage (include/HalvaneHeadphones.h), a companion library of
# libHalvane. It needs libmysofa and FFTW's single-precision library, so it is built on Linux only
# and is no part of Halvane.dll. The CMake package provides it as Halvane::Headphones, pkg-config as
# halvane-headphones.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MYSOFA REQUIRED IMPORTED_TARGET libmysofa)
pkg_check_modules(FFTW3F REQUIRED IMPORTED_TARGET fftw3f)

set(HALVANE_HEADPHONES_SOURCES
    src/headphones/HalvaneHeadphones.cpp src/headphones/PartitionedConvolver.cpp src/headphones/SofaHrirs.cpp)
add_library(HalvaneHeadphones SHARED ${HALVANE_HEADPHONES_SOURCES})
add_library(Halvane::Headphones ALIAS HalvaneHeadphones)
set_target_properties(HalvaneHeadphones PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME Headphones PUBLIC_HEADER include/HalvaneHeadphones.h
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(HalvaneHeadphones
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(HalvaneHeadphones PUBLIC Halvane PRIVATE PkgConfig::MYSOFA PkgConfig::FFTW3F)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT HALVANE_SANITIZE)
    target_link_options(HalvaneHeadphones PRIVATE -Wl,--no-undefined)
endif()

# Static twin over the internal library, for the LV2 module, which carries its own copy of both.
add_library(halvane_headphones_internal STATIC ${HALVANE_HEADPHONES_SOURCES})
set_target_properties(halvane_headphones_internal PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(halvane_headphones_internal PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(halvane_headphones_internal PUBLIC halvane_internal PkgConfig::MYSOFA PkgConfig::FFTW3F)

install(TARGETS HalvaneHeadphones EXPORT HalvaneTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
configure_file(cmake/halvane-headphones.pc.in ${CMAKE_CURRENT_BINARY_DIR}/halvane-headphones.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/halvane-headphones.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
