cmake_minimum_required(VERSION 3.25)

# Copies the report's archive with each of its KERNEL32 calls pointed at the
# test double. A call through the import pointer __imp_Name goes through
# FakeNameImport instead; a direct call to Name (a function that the headers
# do not mark as imported) goes to FakeName. On 32-bit Windows C names carry a
# leading underscore (PREFIX=_) and stdcall ones a suffix @N, which is kept:
# __imp__Name@N becomes _FakeNameImport and _Name@N becomes _FakeName@N. The
# double defines both. The runtime imports some of the same functions for its
# own use, so the double cannot simply take their names: only the report's
# calls are redirected. A KERNEL32 call that the double does not offer leaves
# an undefined Fake name, and the suite fails to link.
#
#   cmake -DNM=... -DOBJCOPY=... -DKERNEL32=libkernel32.a -DPREFIX=_|"" -DINPUT=in.a -DOUTPUT=out.a -P this
foreach(var NM OBJCOPY KERNEL32 PREFIX INPUT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(list_symbols out)
  execute_process(COMMAND ${NM} --just-symbols ${ARGN}
                  OUTPUT_VARIABLE text COMMAND_ERROR_IS_FATAL ANY)
  # One symbol a line; an archive's member names end in a colon.
  string(REGEX MATCHALL "[^\r\n]+" found "${text}")
  list(FILTER found EXCLUDE REGEX ":$")
  list(REMOVE_DUPLICATES found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

list_symbols(kernel32 --defined-only ${KERNEL32})
list_symbols(imported --undefined-only ${INPUT})

set(renames "")
foreach(symbol IN LISTS imported)
  if(NOT symbol IN_LIST kernel32)
    continue()
  elseif(symbol MATCHES "^__imp_${PREFIX}([A-Za-z0-9_]+)(@[0-9]+)?$")
    string(APPEND renames "${symbol} ${PREFIX}Fake${CMAKE_MATCH_1}Import\n")
  elseif(symbol MATCHES "^${PREFIX}([A-Za-z0-9_]+(@[0-9]+)?)$")
    string(APPEND renames "${symbol} ${PREFIX}Fake${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(renames STREQUAL "")
  message(FATAL_ERROR "${INPUT} imports nothing from KERNEL32")
endif()

file(WRITE ${OUTPUT}.imports "${renames}")
execute_process(COMMAND ${OBJCOPY} --redefine-syms=${OUTPUT}.imports ${INPUT} ${OUTPUT}
                COMMAND_ERROR_IS_FATAL ANY)
