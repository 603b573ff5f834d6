# Compresses one manual page as Debian packages want it: gzip -9n, without the file's name and
# time stamp, so that the same page always gives the same bytes.
# Run with cmake -P and: GZIP (the program), IN (the page), OUT (the .gz to write).
execute_process(COMMAND ${GZIP} -9nc ${IN} OUTPUT_FILE ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "${GZIP} -9nc ${IN} failed (${result})")
endif()
