# Installs the built package into WORK_DIR/prefix, then configures, builds and
# runs the consumer project against it (through EMULATOR, if set, when
# cross-building). With the C library (C_COMPILER given), also the C consumer
# built by CMake and built again by hand from what pkg-config says; with PYTHON
# too, the Python package as installed (finding the library by itself) and as
# pip installs it offline from a copy of the tree. Fails on the first step
# that fails.
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
    execute_process(COMMAND pkg-config --cflags --libs qor_padring OUTPUT_VARIABLE flags
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags} ${C_LINK_FLAGS}")
    run_step(${C_COMPILER} -std=c11 -Wall -Wextra -Wpedantic -Werror
             ${CONSUMER_SOURCE_DIR}/c_consumer.c ${flags} -o ${WORK_DIR}/c_consumer_pkg_config)
    set(ENV{LD_LIBRARY_PATH} ${WORK_DIR}/prefix/${LIBDIR})
    run_step(${WORK_DIR}/c_consumer_pkg_config)
    unset(ENV{LD_LIBRARY_PATH})
endif()

if(C_COMPILER AND PYTHON)
    # The package finds its library by itself: a version read proves it.
    set(read_back "import qor_padring as q; print('qor_padring', q.version(), 'from', q.__file__)")
    run_step(${CMAKE_COMMAND} -E env PYTHONPATH=${WORK_DIR}/prefix/${PYTHON_DIR}
             ${PYTHON} -c "${read_back}")
    file(COPY ${PYTHON_SOURCE_DIR}/ DESTINATION ${WORK_DIR}/python-tree
         PATTERN __pycache__ EXCLUDE PATTERN build EXCLUDE PATTERN *.egg-info EXCLUDE)
    run_step(${PYTHON} -m pip install --no-build-isolation --no-deps --no-index
             --target ${WORK_DIR}/pip-site ${WORK_DIR}/python-tree)
    run_step(${CMAKE_COMMAND} -E env PYTHONPATH=${WORK_DIR}/pip-site
             QOR_PADRING_LIBRARY=${WORK_DIR}/prefix/${LIBDIR}/libqor_padring.so.1
             ${PYTHON} -c "${read_back}")
endif()
