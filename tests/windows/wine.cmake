# Windows suites run under Wine, through wine_session, which keeps each kind
# of prefix in this build tree and tells CTest to skip a kind that this
# machine cannot run (exit status 77), with the reason.
# What wine_session needs, missing at configure time rather than at its first run.
find_program(WINESERVER wineserver REQUIRED)
find_program(UNSHARE unshare REQUIRED)

set(wine_session ${CMAKE_CURRENT_LIST_DIR}/wine_session)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(wine_kind win64)
else()
  set(wine_kind win32)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_session} ${wine_kind} ${CMAKE_BINARY_DIR} run)

# One Wine server per prefix for the whole run: started once (a server left
# from an earlier run is stopped first) and stopped when the suites end, on
# success and on failure. A start may make its prefix up to three times, each
# up to four minutes under emulation.
function(add_wine_fixture name kind)
  add_test(NAME ${name}_start COMMAND ${wine_session} ${kind} ${CMAKE_BINARY_DIR} start)
  add_test(NAME ${name}_stop COMMAND ${wine_session} ${kind} ${CMAKE_BINARY_DIR} stop)
  set_tests_properties(${name}_start PROPERTIES FIXTURES_SETUP ${name} TIMEOUT 1200 SKIP_RETURN_CODE 77)
  set_tests_properties(${name}_stop PROPERTIES FIXTURES_CLEANUP ${name} SKIP_RETURN_CODE 77)
endfunction()

add_wine_fixture(wine ${wine_kind})
if(wine_kind STREQUAL win32)
  # The 32-bit program on 64-bit Windows too. Its start comes after the first
  # one, which decides how 32-bit code runs here.
  add_wine_fixture(wow64 wow64)
  set_tests_properties(wow64_start PROPERTIES FIXTURES_REQUIRED wine)
endif()

# One test per suite: each Wine start costs a fraction of a second (a few
# seconds under emulation).
function(add_wine_test target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;KIND;FIXTURES" "")
  if(NOT arg_NAME)
    set(arg_NAME ${target})
  endif()
  if(NOT arg_KIND)
    set(arg_KIND ${wine_kind})
  endif()
  if(NOT arg_FIXTURES)
    set(arg_FIXTURES wine)
  endif()
  add_test(NAME ${arg_NAME}
    COMMAND ${wine_session} ${arg_KIND} ${CMAKE_BINARY_DIR} run $<TARGET_FILE:${target}> --gtest_brief=1)
  set_tests_properties(${arg_NAME} PROPERTIES
    FIXTURES_REQUIRED "${arg_FIXTURES}" TIMEOUT 900 SKIP_RETURN_CODE 77)
endfunction()
