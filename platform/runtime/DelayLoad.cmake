# Delay-loaded shared libraries, the Linux stand-in for a Windows delay-load import.
# tessora_add_delay_load(<target> <library file> <tag>) makes the object library <target>: a stub for
# every function the library exports, bound on its first call (DelayLoad.cpp). An executable that
# takes the objects in and links with --as-needed and --gc-sections does not load the library at
# start-up, only when one of its functions is first called. The stubs are x86-64 assembly; on other
# processors the caller links the library directly (TESSORA_DELAY_LOAD).
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(TESSORA_DELAY_LOAD ON)
  enable_language(ASM)
else()
  set(TESSORA_DELAY_LOAD OFF)
endif()

function(tessora_add_delay_load target library tag)
  set(stubs ${CMAKE_CURRENT_BINARY_DIR}/delayload-${tag}.S)
  add_custom_command(
    OUTPUT ${stubs}
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=${library} -DOUTPUT=${stubs} -DTAG=${tag}
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/DelayLoadStubs.cmake
    DEPENDS ${library} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/DelayLoadStubs.cmake
    COMMENT "Writing the delay-load stubs of ${library}"
    VERBATIM)
  add_library(${target} OBJECT ${stubs} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/DelayLoad.cpp)
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(${target} PUBLIC ${CMAKE_DL_LIBS})
endfunction()
