# The tables the build makes of the security schema: every tag of the
# shipped schema is one the quick reader's check follows, every element has
# its name constant, and a declaration the check would not follow (a fixed
# or default value, a required attribute, mixed content, unqualified local
# elements) is marked so that its files go to the XML module.
#   cmake -DSOURCE_DIR=<source folder> -P schema_tables_test.cmake
cmake_minimum_required(VERSION 3.25)
include(${SOURCE_DIR}/cmake/SecuritySchemaTables.cmake)
file(READ ${SOURCE_DIR}/config/tarvex_security_1_0.xsd shipped)
set(failures 0)

tarvex_security_schema_tables("${shipped}" nodes names)
if(nodes MATCHES "SchemaTag::other")
  message(SEND_ERROR "the shipped schema has a tag the quick reader does not follow:\n${nodes}")
  math(EXPR failures "${failures} + 1")
endif()
string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" uncommented "${shipped}")
string(REGEX MATCHALL "<xs:" starts "${uncommented}")
string(REGEX MATCHALL "\n    {SchemaTag::" rows "\n${nodes}")
list(LENGTH starts tags)
list(LENGTH rows count)
if(NOT tags EQUAL count)
  message(SEND_ERROR "${count} rows for ${tags} start tags")
  math(EXPR failures "${failures} + 1")
endif()
foreach(element options securityEnabled session_data permitted_tasks values_array value)
  if(NOT names MATCHES "inline constexpr char ${element}\\[\\] = \"bvs:${element}\";")
    message(SEND_ERROR "no name constant for ${element}:\n${names}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()

# Each case: the text replaced, its replacement, and the name of the row
# that must then be marked ("-": the schema element's own row).
set(cases
  "name=\"logLevel\" type=\"xs:string\"" "name=\"logLevel\" type=\"xs:string\" fixed=\"3\"" "logLevel"
  "name=\"logFileName\" type=\"xs:string\"" "name=\"logFileName\" default=\"x\" type=\"xs:string\"" "logFileName"
  "use=\"optional\"" "use=\"required\"" "majorVersion"
  "name=\"taskType\"" "name=\"taskType\" mixed=\"true\"" "taskType"
  "elementFormDefault=\"qualified\"" "elementFormDefault=\"unqualified\"" "-"
  "name=\"userID\" type=\"xs:string\"" "name=\"userID\" type=\"xs:string\" nillable=\"true\"" "userID")
list(LENGTH cases length)
math(EXPR last "${length} - 1")
foreach(i RANGE 0 ${last} 3)
  math(EXPR j "${i} + 1")
  math(EXPR k "${i} + 2")
  list(GET cases ${i} from)
  list(GET cases ${j} to)
  list(GET cases ${k} marked)
  if(marked STREQUAL "-")
    set(marked "")
  endif()
  string(REPLACE "${from}" "${to}" variant "${shipped}")
  tarvex_security_schema_tables("${variant}" variant_nodes variant_names)
  if(NOT variant_nodes MATCHES "{SchemaTag::other, \"${marked}\"")
    message(SEND_ERROR "${to}: the row of \"${marked}\" is not marked:\n${variant_nodes}")
    math(EXPR failures "${failures} + 1")
  endif()
  string(REGEX MATCHALL "SchemaTag::other" marks "${variant_nodes}")
  list(LENGTH marks marked_rows)
  if(marked_rows GREATER 2)
    message(SEND_ERROR "${to}: ${marked_rows} rows marked, not only the changed tags")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} checks failed")
endif()
