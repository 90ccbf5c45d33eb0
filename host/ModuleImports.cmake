# Writes the linker's dynamic list for a host executable: the symbols that the modules it loads
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
