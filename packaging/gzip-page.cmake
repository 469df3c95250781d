# Runs a filter over IN (scdoc for a manual page, or none) and gzips the
# result to OUT the way Debian packages compress: -9, without a name or time.
if(FILTER)
    execute_process(COMMAND ${FILTER} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.tmp
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${FILTER} failed on ${IN}")
    endif()
else()
    configure_file(${IN} ${OUT}.tmp COPYONLY)
endif()
execute_process(COMMAND gzip -9nc ${OUT}.tmp OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
file(REMOVE ${OUT}.tmp)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${IN}")
endif()
