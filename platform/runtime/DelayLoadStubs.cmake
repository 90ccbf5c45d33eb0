# Writes the delay-load stubs of one shared library as x86-64 assembly (-D LIBRARY=path
# -D OUTPUT=file.S -D TAG=identifier). Every function the library exports gets a stub of the same
# name in the executable: the first call binds it (platform/runtime/DelayLoad.cpp loads the library
# by its SONAME and looks the name up), later calls jump straight through the bound address.
#
# Each stub, its address slot and its name sit in sections of their own, so that the linker's
# --gc-sections keeps only the stubs the program calls. The stubs are hidden: the executable never
# exports them, so the library itself and modules loaded later keep binding to the real functions.
# Slots start at zero in .bss, so unused stubs cost no relocation and no page at start-up.
execute_process(COMMAND readelf -d ${LIBRARY} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dynamic MATCHES "Library soname: \\[([^]]+)\\]")
  message(FATAL_ERROR "no SONAME in ${LIBRARY}")
endif()
set(soname ${CMAKE_MATCH_1})
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
# Functions only ("T": text, "i": indirect functions); version suffixes dropped, since the runtime
# lookup takes each name's default version, as the static linker would.
string(REGEX MATCHALL "[0-9a-f]+ [Ti] [A-Za-z_][A-Za-z0-9_]*" entries "${symbols}")
set(names "")
foreach(entry ${entries})
  string(REGEX REPLACE "^[0-9a-f]+ [Ti] " "" name "${entry}")
  list(APPEND names ${name})
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
list(LENGTH names count)
if(count EQUAL 0)
  message(FATAL_ERROR "no functions exported by ${LIBRARY}")
endif()

set(bind tessora_delayload_bind_${TAG})
set(text "/* Generated from ${LIBRARY} (${soname}), ${count} functions. Do not edit. */
\t.section .note.GNU-stack,\"\",@progbits

/* The first call of any stub: %r11 holds its slot, %r10 its name. The argument registers
   (including %rax, the vector count of a variadic call) and the vector argument registers are kept
   across the lookup, then the call goes on to the bound function as if made directly. */
\t.section .text.tessora_delayload.${TAG},\"ax\",@progbits
\t.p2align 4
\t.type ${bind},@function
${bind}:
\tpushq %rbp
\tmovq %rsp, %rbp
\tpushq %rdi
\tpushq %rsi
\tpushq %rdx
\tpushq %rcx
\tpushq %r8
\tpushq %r9
\tpushq %rax
\tpushq %r11
\tsubq $128, %rsp
\tmovaps %xmm0, 0(%rsp)
\tmovaps %xmm1, 16(%rsp)
\tmovaps %xmm2, 32(%rsp)
\tmovaps %xmm3, 48(%rsp)
\tmovaps %xmm4, 64(%rsp)
\tmovaps %xmm5, 80(%rsp)
\tmovaps %xmm6, 96(%rsp)
\tmovaps %xmm7, 112(%rsp)
\tleaq .Lsoname(%rip), %rdi
\tmovq %r11, %rsi
\tmovq %r10, %rdx
\tcall TessoraDelayLoadBind@PLT
\tmovq %rax, %r11
\tmovaps 0(%rsp), %xmm0
\tmovaps 16(%rsp), %xmm1
\tmovaps 32(%rsp), %xmm2
\tmovaps 48(%rsp), %xmm3
\tmovaps 64(%rsp), %xmm4
\tmovaps 80(%rsp), %xmm5
\tmovaps 96(%rsp), %xmm6
\tmovaps 112(%rsp), %xmm7
\taddq $128, %rsp
\tpopq %r10
\tpopq %rax
\tpopq %r9
\tpopq %r8
\tpopq %rcx
\tpopq %rdx
\tpopq %rsi
\tpopq %rdi
\tpopq %rbp
\tjmp *%r11
\t.size ${bind}, .-${bind}
\t.section .rodata.tessora_delayload.${TAG},\"a\",@progbits
.Lsoname:
\t.asciz \"${soname}\"
")
foreach(name ${names})
  string(APPEND text "
\t.section .text.tessora_delayload.${name},\"ax\",@progbits
\t.globl ${name}
\t.hidden ${name}
\t.type ${name},@function
\t.p2align 4
${name}:
\tmovq .Ls.${name}(%rip), %r11
\ttestq %r11, %r11
\tjz 1f
\tjmp *%r11
1:\tleaq .Ls.${name}(%rip), %r11
\tleaq .Ln.${name}(%rip), %r10
\tjmp ${bind}
\t.size ${name}, .-${name}
\t.section .bss.tessora_delayload.${name},\"aw\",@nobits
\t.p2align 3
.Ls.${name}:
\t.zero 8
\t.section .rodata.tessora_delayload.${name},\"a\",@progbits
.Ln.${name}:
\t.asciz \"${name}\"
")
endforeach()
file(WRITE ${OUTPUT}.new "${text}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
