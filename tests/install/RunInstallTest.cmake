# Installs the build tree into a scratch prefix and builds the consumer against it twice: through
# find_package(Halvane) and through pkg-config. Also checks that the shared library exports the
# facade class.
# Inputs: BUILD_DIR, SOURCE_DIR (this folder), WORK_DIR (scratch), GENERATOR, CXX.
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "RunInstallTest: ${var} not set")
    endif()
endforeach()

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE library ${prefix}/libHalvane.so)
file(GLOB_RECURSE pc_file ${prefix}/halvane.pc)
if(NOT library OR NOT pc_file OR NOT EXISTS ${prefix}/include/Halvane.h)
    message(FATAL_ERROR "install is missing libHalvane.so, halvane.pc or Halvane.h under ${prefix}")
endif()
get_filename_component(libdir ${library} DIRECTORY)
get_filename_component(pc_dir ${pc_file} DIRECTORY)

# The facade class must be exported (defined, in the text section) by the shared library.
run(nm -DC ${library})
if(NOT RUN_OUTPUT MATCHES " T CSurroundEffect::CSurroundEffect\\(\\)")
    message(FATAL_ERROR "libHalvane.so does not export CSurroundEffect")
endif()

# 1. CMake package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/cmake-build/consumer)

# 2. pkg-config, with the installed .pc file relocated to the scratch prefix.
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} pkg-config --cflags --libs halvane)
string(STRIP "${RUN_OUTPUT}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} -std=c++17 ${SOURCE_DIR}/consumer.cpp ${flags} -o ${WORK_DIR}/consumer-pkgconfig)
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/consumer-pkgconfig)

# 3. The binaural companion library, where the build has it: through both routes as well.
file(GLOB_RECURSE headphones_pc ${prefix}/halvane-headphones.pc)
if(headphones_pc)
    if(NOT EXISTS ${prefix}/include/HalvaneHeadphones.h OR NOT EXISTS ${WORK_DIR}/cmake-build/headphones_consumer)
        message(FATAL_ERROR "install has halvane-headphones.pc but not Halvane::Headphones or its header")
    endif()
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/cmake-build/headphones_consumer)
    run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pc_dir} pkg-config --cflags --libs halvane-headphones)
    string(STRIP "${RUN_OUTPUT}" flags)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    run(${CXX} -std=c++17 ${SOURCE_DIR}/headphones_consumer.cpp ${flags} -o ${WORK_DIR}/headphones-pkgconfig)
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/headphones-pkgconfig)
endif()
message(STATUS "install test passed")
