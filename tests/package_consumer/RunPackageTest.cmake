# Installs the built package into WORK_DIR/prefix, then configures, builds and
# runs the consumer project against it (through EMULATOR, if set, when
# cross-building). Fails on the first step that fails.
function(run_step)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                    ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${output}")
    endif()
    message(STATUS "${output}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run_step(${CMAKE_COMMAND} --install ${QOR_BUILD_DIR} --prefix ${WORK_DIR}/prefix)
run_step(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
         -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix ${CONSUMER_FLAGS})
run_step(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run_step(${EMULATOR} ${WORK_DIR}/build/consumer)
