# cmake -DCPACK=cpack -DCONFIG=CPackConfig.cmake -DOUTPUT=DIR -P BuildPackage.cmake: builds the
# Debian package afresh into DIR.
file(REMOVE_RECURSE ${OUTPUT})
execute_process(COMMAND ${CPACK} -G DEB --config ${CONFIG} -B ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${result}")
endif()
