cmake_minimum_required(VERSION 3.25)

# Checks that a program still starts on Windows XP: each function it imports
# is listed in ALLOWED, and its subsystem version is 4.0 (XP refuses a program
# that asks for a later system than itself).
#
#   cmake -DOBJDUMP=... -DPROGRAM=procreport.exe -DALLOWED=xp_imports.txt -P this
foreach(var OBJDUMP PROGRAM ALLOWED)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${OBJDUMP} --private-headers ${PROGRAM}
                OUTPUT_VARIABLE headers COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${headers}")

set(failures "")
foreach(field MajorSubsystemVersion\t4 MinorSubsystemVersion\t0)
  if(NOT "${headers}" MATCHES "\n${field}\n")
    string(REPLACE "\t" " " shown "${field}")
    string(APPEND failures "  not ${shown}\n")
  endif()
endforeach()

file(STRINGS ${ALLOWED} allowed REGEX "^[^#]")
set(dll "")
set(imports 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^\tDLL Name: (.+)$")
    set(dll ${CMAKE_MATCH_1})
  elseif(line MATCHES "^\t[0-9a-f]+\t +[0-9]+  ([A-Za-z0-9_@]+)")
    math(EXPR imports "${imports} + 1")
    if(NOT "${dll} ${CMAKE_MATCH_1}" IN_LIST allowed)
      string(APPEND failures "  imports ${dll} ${CMAKE_MATCH_1}, not known to be in Windows XP\n")
    endif()
  endif()
endforeach()
if(imports EQUAL 0)
  string(APPEND failures "  no import found: objdump's output was not understood\n")
endif()

if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${PROGRAM}:\n${failures}")
endif()
message(STATUS "${PROGRAM}: ${imports} imports, each in Windows XP; subsystem version 4.0")
