# Writes the linker's dynamic list for a host executable (or tessora-doctor): the symbols that the modules it loads
# leave undefined (-D MODULES=a.so;b.so -D OUTPUT=file). Only these are exported, so the modules
# bind to the host's code and state, while a USB-key library loaded into the same process (with
# names of its own such as SetLastError) still binds to its own functions.
set(names "")
foreach(module ${MODULES})
  execute_process(COMMAND nm -D --undefined-only --format=just-symbols ${module}
                  OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${module}")
  endif()
  string(REGEX REPLACE "@[^\n]*" "" symbols "${symbols}")
  string(REPLACE "\n" ";" symbols "${symbols}")
  list(APPEND names ${symbols})
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
