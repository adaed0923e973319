# The Debian package's version: the programs' version, "+", and the number of
# commits of the checkout, so that a package built from a later commit
# upgrades one built from an earlier commit. Outside a git checkout (or
# without git) the count is 0.
#
# Included by TarvexInstall.cmake with TARVEX_VERSION set; also runs as a
# script, printing the version on standard output:
#   cmake -DTARVEX_VERSION=<x.y.z.w> -DTARVEX_SOURCE_DIR=<folder> -P TarvexPackageVersion.cmake

function(tarvex_package_version source_dir program_version out_var)
  set(count 0)
  find_program(TARVEX_GIT git)
  if(TARVEX_GIT)
    # Only the source folder's own checkout counts, not one it lies in.
    execute_process(COMMAND ${TARVEX_GIT} -C ${source_dir} rev-parse --show-toplevel
                    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_VARIABLE why ERROR_STRIP_TRAILING_WHITESPACE)
    file(REAL_PATH "${source_dir}" source_real)
    if(top)
      file(REAL_PATH "${top}" top)
    endif()
  endif()
  if(TARVEX_GIT AND top STREQUAL source_real)
    execute_process(COMMAND ${TARVEX_GIT} -C ${source_dir} rev-list --count HEAD
                    OUTPUT_VARIABLE commits OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND commits MATCHES "^[0-9]+$")
      set(count ${commits})
    endif()
  endif()
  # A checkout git refuses to read (one of another user, for one) would give
  # a package that does not upgrade the installed one: say so.
  if(count EQUAL 0 AND EXISTS "${source_dir}/.git")
    message(WARNING "cannot count the commits of ${source_dir}, so the package version is "
                    "${program_version}+0 and does not upgrade a package built from a checkout: ${why}")
  endif()
  set(${out_var} "${program_version}+${count}" PARENT_SCOPE)
endfunction()

# The files a commit or a checkout changes, so that the build reconfigures
# (and the version follows) without being asked to.
function(tarvex_package_version_depends source_dir)
  find_program(TARVEX_GIT git)
  if(NOT TARVEX_GIT)
    return()
  endif()
  foreach(name HEAD logs/HEAD)
    execute_process(COMMAND ${TARVEX_GIT} -C ${source_dir} rev-parse --path-format=absolute --git-path ${name}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND EXISTS "${path}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
    endif()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  tarvex_package_version("${TARVEX_SOURCE_DIR}" "${TARVEX_VERSION}" version)
  # On standard output; warnings go to standard error.
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${version}")
endif()
