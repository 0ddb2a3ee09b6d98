# Cross-compiles for 64-bit Windows with the MinGW-w64 posix-thread compilers;
# the win32 thread model of GCC 12 lacks std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZARVO_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZARVO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARVO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARVO_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${ZARVO_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ZARVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs every test program under Wine.
find_program(ZARVO_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZARVO_WINE})
