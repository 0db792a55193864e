# Windows suites run under Wine, in a 32-bit prefix of its own in the build
# tree, with Wine's own chatter off and no offer to install Mono or Gecko.
find_program(WINE wine REQUIRED)
find_program(WINESERVER wineserver REQUIRED)
find_program(WINEBOOT wineboot REQUIRED)

set(wine_environment
  WINEPREFIX=${CMAKE_BINARY_DIR}/wine
  WINEARCH=win32
  WINEDEBUG=-all
  WINEDLLOVERRIDES=mscoree,mshtml=)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${wine_environment} ${WINE})

# Wine's first start in a new prefix takes about ten seconds: it is made once
# per run, by a server that stays up (a server left from an earlier run is
# stopped first), and which is shut down when the suites end. Its output goes
# nowhere, so that no process it leaves behind holds CTest's pipes.
add_test(NAME wine_start
  COMMAND ${CMAKE_COMMAND} -E env ${wine_environment} sh -c
          "mkdir -p \"$WINEPREFIX\"; '${WINESERVER}' --kill 2>/dev/null; '${WINESERVER}' --wait
           '${WINESERVER}' --persistent >/dev/null 2>&1 && '${WINEBOOT}' --init >/dev/null 2>&1")
add_test(NAME wine_stop
  COMMAND ${CMAKE_COMMAND} -E env ${wine_environment} ${WINESERVER} --kill)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

# One test per suite: each Wine start costs a fraction of a second.
function(add_wine_test target)
  add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
  set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)
endfunction()
