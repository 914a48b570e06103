cmake_minimum_required(VERSION 3.20)
# Checks Halvane.dll: it imports nothing but Windows system DLLs (the C++ runtime is inside), and it
# exports the public classes. Usage: cmake -DOBJDUMP=<objdump> -DDLL=<Halvane.dll> -P CheckDll.cmake
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# DLLs every Windows installation has; libstdc++-6, libgcc_s_seh-1 or libwinpthread-1 must not
# appear.
set(system_dlls kernel32.dll user32.dll msvcrt.dll advapi32.dll ntdll.dll)
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imports "${dump}")
if(NOT imports)
    message(FATAL_ERROR "no imports found in ${DLL}")
endif()
foreach(line IN LISTS imports)
    string(REPLACE "DLL Name: " "" name "${line}")
    string(TOLOWER "${name}" name)
    if(NOT name IN_LIST system_dlls)
        message(SEND_ERROR "${DLL} imports ${name}, which is not a Windows system DLL")
    endif()
endforeach()

# A sample of the exports of each public class: constructors, virtual table, the processing entries.
set(required_exports
    _ZN15CSurroundEffectC1Ev
    _ZN15CSurroundEffectD1Ev
    _ZTV15CSurroundEffect
    _ZN15CSurroundEffect10InitializeEP13tWAVEFORMATEX
    _ZN15CSurroundEffect7ProcessEP13_SOUNDDATAEX_
    _ZN15CSurroundEffect13ProcessPlanarEPKPKfiPKPfii
    _ZN15CSurrBaseEffectC2Ev
    _ZTV15CSurrBaseEffect
    _ZN15CSurrBaseEffect8SetInputEPS_
    _ZN13_SOUNDDATAEX_8AllocateEii
    _ZN13_SOUNDDATAEX_7ReleaseEv
    _ZN13_SOUNDDATAEX_7SilenceEv
    _Z20HalvaneTravelSamplesfi
    _ZN15CSurroundEffect15GetSpeakerGainsEPfi
    _ZN15CSurroundEffect17PostProcessPlanarEPPfiib)
foreach(symbol IN LISTS required_exports)
    if(NOT dump MATCHES "[ \t]${symbol}[\r\n]")
        message(SEND_ERROR "${DLL} does not export ${symbol}")
    endif()
endforeach()
