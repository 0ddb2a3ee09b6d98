# The parts of the two cross toolchains that differ only by ZARVO_MINGW_PREFIX, which the including
# file sets first. Posix-thread compilers: the win32 thread model of GCC 12 lacks std::thread and
# std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZARVO_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARVO_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARVO_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${ZARVO_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${ZARVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
