# The 32-bit camera and the installer for both, built beside the 64-bit cross build (the one Wine
# runs here):
#   x86/                    the 32-bit tree: the camera for 32-bit hosts, the test programs compiled
#   installer/ZarvoWebcam.wxs  the installer source, its registry table taken from the 64-bit camera's
#                           own registration under Wine (tools/installer/make-wxs.sh)
#   installer/ZarvoWebcam.msi  the installer (wixl)
if(ZARVO_X86 OR NOT MINGW OR NOT CMAKE_CROSSCOMPILING_EMULATOR)
  return()
endif()

find_program(ZARVO_I686_CXX i686-w64-mingw32-g++-posix)
find_program(ZARVO_I686_OBJDUMP i686-w64-mingw32-objdump)
find_program(ZARVO_WIXL wixl)
find_program(ZARVO_MSIBUILD msibuild)
find_package(Python3 COMPONENTS Interpreter)
if(ZARVO_I686_CXX AND ZARVO_WIXL AND ZARVO_MSIBUILD AND Python3_FOUND)
  set(zarvo_can_package ON)
endif()
option(ZARVO_PACKAGE "Build the 32-bit camera and the installer" ${zarvo_can_package})
if(NOT ZARVO_PACKAGE)
  message(STATUS "No 32-bit camera and no installer: needs i686-w64-mingw32-g++-posix, wixl, msibuild, python3")
  return()
endif()

include(ExternalProject)
set(ZARVO_X86_DIR ${CMAKE_BINARY_DIR}/x86)
set(ZARVO_CAMERA32 ${ZARVO_X86_DIR}/bin/ZarvoWebcam.dll)
set(zarvo_x86_args -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64-i686.cmake
                   -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE})
foreach(launcher CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER)
  if(${launcher})
    list(APPEND zarvo_x86_args -D${launcher}=${${launcher}})
  endif()
endforeach()
# Only the camera and the test programs: the 32-bit server, benches and tests would never run.
ExternalProject_Add(zarvo_x86
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${ZARVO_X86_DIR}
  CMAKE_ARGS ${zarvo_x86_args}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target ZarvoWebcam zarvo_test_programs
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${ZARVO_CAMERA32}
  INSTALL_COMMAND "")

set(ZARVO_INSTALLER_DIR ${CMAKE_BINARY_DIR}/installer)
set(ZARVO_WXS ${ZARVO_INSTALLER_DIR}/ZarvoWebcam.wxs)
set(ZARVO_MSI ${ZARVO_INSTALLER_DIR}/ZarvoWebcam.msi)
set(zarvo_installer_src ${CMAKE_SOURCE_DIR}/tools/installer)
add_custom_command(OUTPUT ${ZARVO_WXS}
  COMMAND bash ${zarvo_installer_src}/make-wxs.sh ${ZARVO_INSTALLER_DIR}/prefix $<TARGET_FILE:ZarvoWebcam>
          ${zarvo_installer_src}/ZarvoWebcam.wxs.in ${ZARVO_WXS}
  DEPENDS ZarvoWebcam ${zarvo_installer_src}/make-wxs.sh ${zarvo_installer_src}/wxs.py
          ${zarvo_installer_src}/ZarvoWebcam.wxs.in
  COMMENT "Registering the camera under Wine for the installer's registry table")
# A target of its own, so the registration runs while the 32-bit tree builds.
add_custom_target(zarvo_wxs DEPENDS ${ZARVO_WXS})
add_custom_command(OUTPUT ${ZARVO_MSI}
  COMMAND bash ${zarvo_installer_src}/build-msi.sh ${ZARVO_WXS} ${PROJECT_VERSION} $<TARGET_FILE:ZarvoWebcam>
          ${ZARVO_CAMERA32} $<TARGET_FILE:zarvo_server> $<TARGET_FILE:ZarvoMediaSource> ${ZARVO_MSI}
  DEPENDS ${ZARVO_WXS} ZarvoWebcam ZarvoMediaSource zarvo_server zarvo_x86 ${ZARVO_CAMERA32} ${zarvo_installer_src}/build-msi.sh
  COMMENT "Building the installer")
add_custom_target(zarvo_msi ALL DEPENDS ${ZARVO_MSI})
add_dependencies(zarvo_msi zarvo_wxs)
