# Cross-compiles for 64-bit Windows with the MinGW-w64 posix-thread compilers.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZARVO_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# ctest runs every test program under Wine.
find_program(ZARVO_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZARVO_WINE})
