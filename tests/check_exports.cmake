# Checks that a built VarnoDLL exports exactly EXPECTED (a comma-separated list), undecorated.
#   -DLIB=<file> -DWINDOWS=<bool> -DTOOL=<objdump or nm> -DEXPECTED=a,b,c
string(REPLACE "," ";" expected "${EXPECTED}")
list(SORT expected)

if(WINDOWS)
  execute_process(COMMAND ${TOOL} -p ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} -p ${LIB} failed")
  endif()
  # The name table of the export directory: lines such as "\t[   0] varnoDataToFloat".
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\] [^\n]+\n)*)"
         table "${out}")
  # (Turned straight into a list: CMake lists do not survive elements with brackets in them.)
  string(REGEX REPLACE "[ \t]+\\[[ 0-9]+\\] ([^\n]+)\n" "\\1;" found "${CMAKE_MATCH_1}")
  list(REMOVE_ITEM found "")
else()
  execute_process(COMMAND ${TOOL} -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${TOOL} -D ${LIB} failed")
  endif()
  string(REGEX MATCHALL "[0-9a-f]+ [TDBRWVi] [^\n]+" rows "${out}")
  set(found "")
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" name "${row}")
    list(APPEND found "${name}")
  endforeach()
endif()

list(SORT found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports of ${LIB}:\n  found    ${found}\n  expected ${expected}")
endif()
message(STATUS "exports of ${LIB}: ${found}")
