# Writes the bash completion of the host tool from its own command table.
# Run with cmake -P and: TOOL (the executable), OUT (the script to write).
get_filename_component(dir ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${TOOL} completion bash OUTPUT_FILE ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "${TOOL} completion bash failed (${result})")
endif()
