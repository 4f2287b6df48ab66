# Reads build_facts.txt into CMake variables: REGKERN_FACT_<name> for each
# "name = value" (a list of the value's words) and for each "name += item"
# (a list of the items).
file(STRINGS ${CMAKE_SOURCE_DIR}/build_facts.txt fact_lines REGEX "^[a-z_]+ *\\+?=")
foreach(line ${fact_lines})
  string(REGEX MATCH "^([a-z_]+) *(\\+?)= *(.*)$" matched "${line}")
  set(name REGKERN_FACT_${CMAKE_MATCH_1})
  separate_arguments(words UNIX_COMMAND "${CMAKE_MATCH_3}")
  if(CMAKE_MATCH_2)
    list(APPEND ${name} ${words})
  else()
    set(${name} ${words})
  endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/build_facts.txt)

# The language standard goes to CMake as a number, so that CMake and the
# targets it imports (GoogleTest) agree on it; the other options as they are.
function(regkern_split_standard options standard_var rest_var)
  set(rest)
  foreach(option ${options})
    if(option MATCHES "^(-std=c\\+\\+|/std:c\\+\\+)([0-9]+)$")
      set(${standard_var} ${CMAKE_MATCH_2} PARENT_SCOPE)
    else()
      list(APPEND rest ${option})
    endif()
  endforeach()
  set(${rest_var} ${rest} PARENT_SCOPE)
endfunction()
