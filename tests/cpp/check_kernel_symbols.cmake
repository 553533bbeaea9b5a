# Checks that each per-instruction-set kernel object defines one global
# symbol, its kernel table, and nothing else: no out-of-line copy of an inline
# function or template built with that unit's -m flags that the linker could
# pick for code running on a CPU without those instructions.
#
#   cmake -DNM=<nm> -DOBJECTS=<o1;o2;...> -DTABLES=<t1;t2;...> -P check_kernel_symbols.cmake
#
# TABLES holds the demangled name of each object's table, in the same order.
list(LENGTH OBJECTS count)
list(LENGTH TABLES table_count)
if(NOT count EQUAL table_count OR count EQUAL 0)
  message(FATAL_ERROR "expected one table per object, got ${count} objects and ${table_count} tables")
endif()
math(EXPR last "${count} - 1")
set(failures "")
foreach(k RANGE ${last})
  list(GET OBJECTS ${k} object)
  list(GET TABLES ${k} table)
  execute_process(COMMAND ${NM} --defined-only --extern-only --demangle --format=posix ${object}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  # Posix format: "name type value [size]", one symbol a line.
  string(REGEX REPLACE " [A-Za-z] [0-9a-fA-F]+( [0-9a-fA-F]+)?\n" "\n" names "${listing}")
  string(STRIP "${names}" names)
  string(REPLACE "\n" ";" names "${names}")
  # Data the compiler adds, not code: the pointer to the C++ exception
  # personality routine (in every unit with unwinding information), and under
  # AddressSanitizer the one-definition indicator of each global, the table.
  list(REMOVE_ITEM names DW.ref.__gxx_personality_v0)
  list(FILTER names EXCLUDE REGEX "^__odr_asan\\.")
  if(NOT names STREQUAL table)
    string(REPLACE ";" "\n    " shown "${names}")
    string(APPEND failures "${object} defines\n    ${shown}\n  instead of only ${table}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "kernel objects define more than their table:\n${failures}")
endif()
message(STATUS "${count} kernel objects, each defining its table alone")
