# Run by CPack: the .deb of a cross-built program depends on the C library
# from the newest symbol version the program asks for, as dpkg-shlibdeps would
# find in libc6's symbols file.
execute_process(COMMAND ${CPACK_PROCREPORT_OBJDUMP} -T ${CPACK_PROCREPORT_PROGRAM}
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9]+(\\.[0-9]+)?" versions "${symbols}")
set(newest 0)
foreach(version IN LISTS versions)
  string(REPLACE "GLIBC_" "" version ${version})
  if(version VERSION_GREATER newest)
    set(newest ${version})
  endif()
endforeach()
if(newest VERSION_EQUAL 0)
  message(FATAL_ERROR "${CPACK_PROCREPORT_PROGRAM} asks for no version of the C library")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
