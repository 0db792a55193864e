# The packages: a Debian package of the Linux build (cpack -G DEB), a tarball
# of the static Linux build (cpack -G TGZ), and a zip of both Windows programs
# (cpack -G ZIP, from the 32-bit build, which builds the 64-bit one beside it).
set(CPACK_PACKAGE_NAME procreport)
set(CPACK_PACKAGE_VENDOR "the procreport developers")
set(CPACK_PACKAGE_CONTACT "the procreport developers <procreport@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inventory of the running processes and their modules")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "procreport writes a plain-text report of every process running on the machine:\n"
       "a header line per process with its executable's name, and a tab-separated line\n"
       "per loaded module (name, full path, size in bytes). It reads no arguments and\n"
       "keeps no state. Failures go to standard error, one line each.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};procreport;procreport;/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME procreport-${PROJECT_VERSION}-windows)
  if(PROCREPORT_WINDOWS64_BUILD AND PROCREPORT_WINDOWS64_PRESET)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${PROCREPORT_WINDOWS64_BUILD};procreport;procreport;/")
    # The zip needs both programs: building this one builds the other in its
    # own tree, as a build of its own rather than a part of this make's.
    add_custom_target(procreport64 ALL
      COMMAND ${CMAKE_COMMAND} --preset ${PROCREPORT_WINDOWS64_PRESET}
      COMMAND ${CMAKE_COMMAND} -E env --unset=MAKEFLAGS --unset=MFLAGS --unset=MAKELEVEL
              ${CMAKE_COMMAND} --build ${PROCREPORT_WINDOWS64_BUILD} --target procreport --parallel 2
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      VERBATIM)
  endif()
elseif(PROCREPORT_STATIC)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME procreport-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  if(CMAKE_CROSSCOMPILING)
    # dpkg-shlibdeps knows only this machine's own libraries: a cross-built
    # program's C library dependency is read off its symbol versions instead.
    string(REPLACE aarch64 arm64 CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
    set(CPACK_PROCREPORT_PROGRAM ${PROJECT_BINARY_DIR}/procreport)
    set(CPACK_PROCREPORT_OBJDUMP ${CMAKE_OBJDUMP})
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/libc_dependency.cmake)
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

include(CPack)
