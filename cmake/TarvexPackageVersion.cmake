# The Debian package's version: the programs' version, "+", and the time of
# the checkout's commit in UTC as YYYYMMDDHHMMSS, so that a package built
# from a later commit upgrades one built from an earlier commit, in a
# shallow clone as in a full one (a count of commits is 1 in a clone of
# depth 1), and stays above the earlier versions that carried that count
# (2.7.0.3+<count>). Outside a git checkout (or without git) it is 0.
#
# Included by TarvexInstall.cmake with TARVEX_VERSION set; also runs as a
# script, printing the version on standard output:
#   cmake -DTARVEX_VERSION=<x.y.z.w> -DTARVEX_SOURCE_DIR=<folder> -P TarvexPackageVersion.cmake

function(tarvex_package_version source_dir program_version out_var)
  set(stamp 0)
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
    # The committer's time: a rebased or amended commit is a later one.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC0
                            ${TARVEX_GIT} -C ${source_dir} log -1 --no-show-signature
                            --date=format-local:%Y%m%d%H%M%S --format=%cd HEAD
                    OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_VARIABLE log_why ERROR_STRIP_TRAILING_WHITESPACE)
    if(NOT failed AND time MATCHES "^[0-9]+$")
      set(stamp ${time})
    elseif(log_why)
      set(why "${log_why}")
    endif()
  endif()
  # A checkout git refuses to read (one of another user, for one) would give
  # a package that does not upgrade the installed one: say so.
  if(stamp EQUAL 0 AND EXISTS "${source_dir}/.git")
    message(WARNING "cannot read the commit time of ${source_dir}, so the package version is "
                    "${program_version}+0 and does not upgrade a package built from a checkout: ${why}")
  endif()
  set(${out_var} "${program_version}+${stamp}" PARENT_SCOPE)
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
