# The build identity (cmake/BuildIdentity.cmake) on copies of its inputs: the
# same sources give the same identity, in another build folder too, and
# leave the generated source untouched; a changed interface header, a new
# header, a changed export list or other compiler flags give another one.
#   cmake -DSOURCE_DIR=<source folder> -DWORK_DIR=<scratch folder> -P build_identity_test.cmake
cmake_minimum_required(VERSION 3.25)
set(failures 0)
file(REMOVE_RECURSE ${WORK_DIR})

# A copy of the identity's inputs under folder: the headers of src/, the
# export list, the version script and a settings file as the build writes.
function(lay_out folder)
  file(COPY ${SOURCE_DIR}/src/ DESTINATION ${folder}/src FILES_MATCHING PATTERN "*.h")
  file(COPY ${SOURCE_DIR}/src/tarvex_exports.list ${SOURCE_DIR}/src/tarvex_module.map DESTINATION ${folder})
  file(WRITE ${folder}/settings.txt "compiler GNU 12.2.0 /usr/bin/c++\nflags -O2 -g -DNDEBUG\n")
endfunction()

# The identity derived for folder's inputs; the generated source is
# folder/identity.cpp.
function(identity_of folder result)
  execute_process(COMMAND ${CMAKE_COMMAND} -DOUTPUT=${folder}/identity.cpp -DHEADERS=${folder}/src
                          "-DINPUTS=${folder}/tarvex_exports.list|${folder}/tarvex_module.map|${folder}/settings.txt"
                          -P ${SOURCE_DIR}/cmake/BuildIdentity.cmake
                  RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "BuildIdentity.cmake failed: ${errors}")
  endif()
  file(READ ${folder}/identity.cpp source)
  string(REGEX MATCHALL "\"tarvex-[0-9a-f]+\"" identities "${source}")
  list(LENGTH identities count)
  list(REMOVE_DUPLICATES identities)
  list(LENGTH identities distinct)
  # The note and the constant carry the same identity.
  if(NOT count EQUAL 2 OR NOT distinct EQUAL 1)
    message(FATAL_ERROR "not one identity twice in the generated source:\n${source}")
  endif()
  set(${result} ${identities} PARENT_SCOPE)
endfunction()

function(modified_time file result)
  execute_process(COMMAND stat -c %y ${file} OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${result} "${time}" PARENT_SCOPE)
endfunction()

lay_out(${WORK_DIR}/first)
identity_of(${WORK_DIR}/first first)
modified_time(${WORK_DIR}/first/identity.cpp written)
# A rebuild that changes nothing, and the same sources in another folder.
identity_of(${WORK_DIR}/first again)
modified_time(${WORK_DIR}/first/identity.cpp rewritten)
if(NOT again STREQUAL first)
  message(SEND_ERROR "a rebuild of the same sources changed the identity: ${first}, then ${again}")
  math(EXPR failures "${failures} + 1")
endif()
if(NOT rewritten STREQUAL written)
  message(SEND_ERROR "a rebuild of the same sources rewrote the generated source (${written}, then ${rewritten})")
  math(EXPR failures "${failures} + 1")
endif()
lay_out(${WORK_DIR}/elsewhere)
identity_of(${WORK_DIR}/elsewhere elsewhere)
if(NOT elsewhere STREQUAL first)
  message(SEND_ERROR "the same sources in another build folder gave another identity: ${first}, ${elsewhere}")
  math(EXPR failures "${failures} + 1")
endif()

# Each case: a file under the copy, the text appended to it (no ";"), what
# it is.
set(cases
  "src/common/module_loader.h" "inline constexpr int kAddedToTheInterface = 1\n" "an interface header changed"
  "src/security/bv_xml_module.h" "\n" "a module table's header changed by one line end"
  "src/common/added_header.h" "#pragma once\n" "a new header"
  "tarvex_exports.list" "/* */\n" "the export list changed"
  "settings.txt" "options -fsanitize=address,undefined\n" "other compiler flags")
set(index 0)
while(cases)
  list(POP_FRONT cases file text what)
  math(EXPR index "${index} + 1")
  set(folder ${WORK_DIR}/case${index})
  lay_out(${folder})
  file(APPEND ${folder}/${file} "${text}")
  identity_of(${folder} changed)
  if(changed STREQUAL first)
    message(SEND_ERROR "${what}: the identity stayed ${first}")
    math(EXPR failures "${failures} + 1")
  endif()
endwhile()

file(REMOVE_RECURSE ${WORK_DIR})
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} build identity checks failed")
endif()
