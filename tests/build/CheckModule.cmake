# Checks a built camera module the way a host's loader sees it: the PE kind (PE32+ for 64-bit hosts,
# PE32 for 32-bit ones), exactly the five COM server entry points exported under their plain names
# (a 32-bit __stdcall decoration such as "DllGetClassObject@12" is not found by the COM runtime), and
# imports from system DLLs only. The DirectShow camera imports no Media Foundation DLL, so that it
# loads where the media features are absent; the media source (MEDIA=ON) imports the platform's core
# of it and also exports DllInstall, which publishes the camera.
#   cmake -DOBJDUMP=<objdump> -DMODULE=<dll> -DKIND=PE32+|PE32 [-DMEDIA=ON] -P CheckModule.cmake
cmake_minimum_required(VERSION 3.20)
if(NOT EXISTS "${MODULE}")
  message(FATAL_ERROR "${MODULE} was not built")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${MODULE}")
endif()

set(problems "")
string(REGEX MATCH "Magic[ \t]+[0-9a-f]+[ \t]+\\(([A-Z0-9+]+)\\)" magic "${dump}")
if(NOT CMAKE_MATCH_1 STREQUAL KIND)
  list(APPEND problems "kind ${CMAKE_MATCH_1}, expected ${KIND}")
endif()

# The export name table: lines "[   n] Name" after "[Ordinal/Name Pointer] Table".
string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table[^\n]*\n" "" names "${dump}")
string(REGEX REPLACE "\n[ \t]*\n.*" "" names "${names}")
# (Brackets would keep CMake from splitting the list: take the names alone.)
string(REGEX MATCHALL "\\] [A-Za-z0-9_@?$]+" exports "${names}")
string(REGEX REPLACE "\\] " "" exports "${exports}")
list(SORT exports)
set(expected DllCanUnloadNow DllGetClassObject DllMain DllRegisterServer DllUnregisterServer)
if(MEDIA)
  set(expected DllCanUnloadNow DllGetClassObject DllInstall DllMain DllRegisterServer DllUnregisterServer)
endif()
if(NOT exports STREQUAL expected)
  list(APPEND problems "exports [${exports}], expected [${expected}]")
endif()

# Every imported DLL comes with Windows; a compiler runtime DLL would not be found in a host's folder.
set(system advapi32 d3d11 dxgi kernel32 msvcrt ole32 oleaut32 shell32 user32 winmm ntdll wtsapi32)
if(MEDIA)
  list(APPEND system mfplat)
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(imports STREQUAL "")
  list(APPEND problems "no import table")
endif()
foreach(import IN LISTS imports)
  string(TOLOWER "${import}" name)
  string(REGEX REPLACE "dll name: (.+)\\.dll$" "\\1" name "${name}")
  if(NOT name IN_LIST system)
    list(APPEND problems "imports ${import}")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${MODULE}:\n  ${text}")
endif()
list(LENGTH imports count)
message(STATUS "${MODULE}: ${KIND}, the entry points [${exports}], ${count} system DLLs imported")
