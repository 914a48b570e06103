cmake_minimum_required(VERSION 3.20)
# Runs the example host built for Windows (under EMULATOR, '|'-separated) and the same program built
# for Linux, in both modes, and requires byte-identical output files.
# Usage: cmake -DEMULATOR=... -DWINDOWS_HOST=... -DLINUX_HOST=... -DWORK_DIR=... -P CompareHostOutput.cmake
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

foreach(mode process planar)
    set(windows_file ${WORK_DIR}/windows-${mode}.raw)
    set(linux_file ${WORK_DIR}/linux-${mode}.raw)
    execute_process(COMMAND ${emulator} ${WINDOWS_HOST} ${windows_file} ${mode}
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Windows host (${mode}) failed: ${result}")
    endif()
    execute_process(COMMAND ${LINUX_HOST} ${linux_file} ${mode} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "Linux host (${mode}) failed: ${result}")
    endif()
    file(SIZE ${windows_file} size)
    # 2 s at 44100 Hz, 6 channels of 4-byte samples.
    if(NOT size EQUAL 2116800)
        message(FATAL_ERROR "Windows host (${mode}) wrote ${size} bytes, expected 2116800")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${windows_file} ${linux_file}
        RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${mode}: the Windows and Linux outputs differ")
    endif()
    message(STATUS "${mode}: Windows and Linux outputs are identical (${size} bytes)")
endforeach()
