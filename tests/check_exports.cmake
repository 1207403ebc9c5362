# Fails unless the plug-in's dynamic symbol table defines exactly one
# symbol of its own: the module entry.
execute_process(COMMAND ${NM} -D --defined-only ${LIB}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(defined "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; absolute linker symbols (type A) are not code.
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
    if(NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND defined "${CMAKE_MATCH_2}")
    endif()
  endif()
endforeach()
if(NOT defined STREQUAL "_IQmModule_Create")
  message(FATAL_ERROR "exported symbols: ${defined}")
endif()
message(STATUS "only _IQmModule_Create is exported")
