# Writes the linker's dynamic list for a host executable (or tessora-doctor): the symbols that the
# modules it loads leave undefined (-D MODULES=a.so|b.so -D OUTPUT=file). Only these are exported, so the modules
# bind to the host's code and state, while a USB-key library loaded into the same process (with
# names of its own such as SetLastError) still binds to its own functions. Names that the shared
# libraries in EXCLUDE define are left out: a host with the C++ runtime linked in keeps its copy to
# itself, and the modules use the shared one.

# The dynamic symbols of a shared object (`which`: --undefined-only or --defined-only), unversioned.
function(dynamic_symbols out which file)
  execute_process(COMMAND nm -D ${which} --format=just-symbols ${file}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${file}")
  endif()
  string(REGEX REPLACE "@[^\n]*" "" symbols "${symbols}")
  string(REPLACE "\n" ";" symbols "${symbols}")
  set(${out} ${symbols} PARENT_SCOPE)
endfunction()

string(REPLACE "|" ";" MODULES "${MODULES}")
string(REPLACE "|" ";" EXCLUDE "${EXCLUDE}")
set(names "")
foreach(module ${MODULES})
  dynamic_symbols(symbols --undefined-only ${module})
  list(APPEND names ${symbols})
endforeach()
foreach(library ${EXCLUDE})
  dynamic_symbols(symbols --defined-only ${library})
  list(REMOVE_ITEM names ${symbols})
endforeach()
list(REMOVE_ITEM names "")
list(REMOVE_DUPLICATES names)
list(SORT names)
set(text "{\n")
foreach(name ${names})
  string(APPEND text "  ${name};\n")
endforeach()
string(APPEND text "};\n")
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)

# With -D UNDEFINED_OUTPUT=file also the linker options (-u NAME) that make an executable take the
# modules' C++ imports from the project's static libraries even where its own code calls none of
# them (the C imports are the system libraries' own).
if(DEFINED UNDEFINED_OUTPUT)
  set(options "")
  foreach(name ${names})
    if(name MATCHES "^_Z")
      string(APPEND options "-u ${name}\n")
    endif()
  endforeach()
  file(WRITE ${UNDEFINED_OUTPUT}.new "${options}")
  file(COPY_FILE ${UNDEFINED_OUTPUT}.new ${UNDEFINED_OUTPUT} ONLY_IF_DIFFERENT)
endif()
