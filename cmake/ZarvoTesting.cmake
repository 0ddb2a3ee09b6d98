# zarvo_add_test(<name> SOURCES <files...> LIBRARIES <libs...> [SYSTEM_NAMES] [TIMEOUT <s>])
#
# One GoogleTest program per area, run by ctest under the cross-compiling emulator.
# SYSTEM_NAMES marks programs that use the fixed system-wide event and pipe names;
# ctest never runs two of those at once. Where the programs cannot run (the 32-bit tree) they are
# only built: the target zarvo_test_programs builds them all.
function(zarvo_add_test name)
  cmake_parse_arguments(ARG "SYSTEM_NAMES" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} GTest::gtest GTest::gmock zarvo_test_main)
  set_property(GLOBAL APPEND PROPERTY ZARVO_TEST_PROGRAMS ${name})
  if(NOT ZARVO_RUN_TESTS)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_SYSTEM_NAMES)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK zarvo_system_names)
  endif()
endfunction()
