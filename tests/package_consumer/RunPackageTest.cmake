# Installs the built package into WORK_DIR/prefix, then configures, builds and
# runs the consumer project against it (through EMULATOR, if set, when
# cross-building). With the C library (C_COMPILER given), also the C consumer
# built by CMake and built again by hand from what pkg-config says. Fails on
# the first step that fails.
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

if(C_COMPILER)
    run_step(${WORK_DIR}/build/c_consumer)
    set(ENV{PKG_CONFIG_PATH} ${WORK_DIR}/prefix/${LIBDIR}/pkgconfig)
    execute_process(COMMAND pkg-config --cflags --libs qor_padring RESULT_VARIABLE result
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "pkg-config does not know qor_padring")
    endif()
    separate_arguments(flags UNIX_COMMAND "${flags} ${C_LINK_FLAGS}")
    run_step(${C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror
             ${CONSUMER_SOURCE_DIR}/c_consumer.c ${flags} -o ${WORK_DIR}/c_consumer_pkg_config)
    set(ENV{LD_LIBRARY_PATH} ${WORK_DIR}/prefix/${LIBDIR})
    run_step(${WORK_DIR}/c_consumer_pkg_config)
endif()
