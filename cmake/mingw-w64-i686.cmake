# Cross-compiles for 32-bit Windows (the camera for 32-bit hosts) with the MinGW-w64 posix-thread
# compilers. This machine cannot run 32-bit programs, so there is no emulator: the tree builds the
# module and compiles the test programs, and ctest runs nothing from it.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZARVO_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# SSE2 is the 32-bit baseline (the SSE2 kernels use it unconditionally, and every processor that runs
# a current Windows has it); AVX2 stays a run-time choice of the kernel dispatcher.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
