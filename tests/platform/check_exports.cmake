# Compares the dynamic symbols of libtavelort.so with the names the seam
# headers declare: every declared name must be exported, nothing else may be.
# Arguments: -DLIBRARY=<path> -DHEADERS=<header;header> -DNM=<nm>
set(declared "")
foreach(header ${HEADERS})
  file(READ ${header} text)
  # Declarations start a line with TAVELORT_API and end the name with "(" for
  # functions or ";" for data; the ";" is left out of the match because CMake
  # would split the list there.
  string(REGEX MATCHALL "\nTAVELORT_API[^;(]*[ *][A-Za-z_][A-Za-z0-9_]*[(]" functions "${text}")
  string(REGEX MATCHALL "\nTAVELORT_API extern [^;(]* [A-Za-z_][A-Za-z0-9_]*" data "${text}")
  foreach(match ${functions} ${data})
    string(REGEX REPLACE ".*[ *]([A-Za-z_][A-Za-z0-9_]*)[(]?$" "\\1" name "${match}")
    list(APPEND declared ${name})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES declared)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported "")
foreach(line ${lines})
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND exported ${name})
endforeach()

set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
list(LENGTH declared count)
if(missing OR extra)
  message(FATAL_ERROR "declared but not exported: ${missing}\nexported but not declared: ${extra}")
endif()
message(STATUS "${count} declared names, all exported and nothing else")
