# Install rules and the Debian package.
#
# Layout under the prefix (a server installation): cgi/ holds the two
# programs and the names the server's pages call (bv-*.exe, links to the
# programs); lib/tarvex/ the modules the programs load on first use and the
# shipped copy of the security schema. Nothing under config/ or data/ that an
# administrator or the server writes (tarvex.dat, security_options.xml,
# control and job-number files, databases) is installed, so an install never
# overwrites one.
#
# Two components: "programs" is what the Debian package owns; "layout" (the
# schema in config/, the empty folders the programs write) is laid out by
# `cmake --install` only. The package leaves those to its postinst, which
# creates what is missing and never removes them: the security files point
# at the schema, and the folders hold the server's data.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/srv/tarvex" CACHE PATH "Server installation folder" FORCE)
endif()

# The version the programs print (one place in the code) is the package's.
file(STRINGS ${CMAKE_SOURCE_DIR}/src/seqfetch/seqfetch.h TARVEX_VERSION_LINE
     REGEX "kVersion = \"[0-9.]+\"")
string(REGEX MATCH "[0-9][0-9.]*" TARVEX_VERSION "${TARVEX_VERSION_LINE}")
if(NOT TARVEX_VERSION)
  message(FATAL_ERROR "no program version found in src/seqfetch/seqfetch.h")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/TarvexPackageVersion.cmake)
tarvex_package_version(${CMAKE_SOURCE_DIR} ${TARVEX_VERSION} TARVEX_PACKAGE_VERSION)
tarvex_package_version_depends(${CMAKE_SOURCE_DIR})

set(TARVEX_PROGRAMS bv-taxfetch bv-seqfetch)
install(TARGETS ${TARVEX_PROGRAMS} RUNTIME DESTINATION cgi COMPONENT programs)
foreach(program IN LISTS TARVEX_PROGRAMS)
  # Relative links, so that DESTDIR and a moved installation keep working.
  install(CODE "file(CREATE_LINK ${program}
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/cgi/${program}.exe\" SYMBOLIC)" COMPONENT programs)
endforeach()
# The programs refuse modules from a folder others may write (lib/tarvex or
# any folder above it), whatever the installing user's umask.
install(DIRECTORY DESTINATION lib DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(DIRECTORY DESTINATION lib/tarvex DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
foreach(module tarvex_xml_module tarvex_http_module)
  if(TARGET ${module})
    install(TARGETS ${module} LIBRARY DESTINATION lib/tarvex COMPONENT programs)
  endif()
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/config/tarvex_security_1_0.xsd DESTINATION lib/tarvex COMPONENT programs)
install(FILES ${CMAKE_SOURCE_DIR}/config/tarvex_security_1_0.xsd DESTINATION config COMPONENT layout)
foreach(folder logs data sessions taxonomy sequence)
  install(DIRECTORY DESTINATION ${folder} COMPONENT layout)
endforeach()
# Programs of a build with tests fall back to a tarvex.dat inside the build
# folder (see TARVEX_FALLBACK_CONFIG): say so when they are installed.
if(NOT TARVEX_FALLBACK_CONFIG_USED STREQUAL "/srv/tarvex/config/tarvex.dat")
  install(CODE "message(WARNING \"These programs fall back to ${TARVEX_FALLBACK_CONFIG_USED}, not \${CMAKE_INSTALL_PREFIX}/config/tarvex.dat: configure with -DBUILD_TESTING=OFF (or set TARVEX_FALLBACK_CONFIG) for a server.\")" COMPONENT programs)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvex-lookup)
set(CPACK_PACKAGE_VERSION ${TARVEX_PACKAGE_VERSION})
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};programs;/")
set(CPACK_PACKAGE_VENDOR "Tarvex")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Tarvex look-up tools: bv-seqfetch and bv-taxfetch CGI programs")
set(CPACK_PACKAGE_DESCRIPTION
    "The sequence and taxonomy look-up programs of a Tarvex server installation, run by the web server as CGI programs or from the command line.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/srv/tarvex")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarvex look-up tools team <tarvex@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The run-time packages of the linked and loaded libraries, found by
# dpkg-shlibdeps (package dpkg-dev) from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/deploy/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
