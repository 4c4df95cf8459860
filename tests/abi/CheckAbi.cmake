# Compares LIBRARY with its ABI baseline BASELINE (written by abidw) and fails
# when a function or variable it exported is gone or has changed in any way
# (its parameters, its result, a type they reach), or when abidiff fails.
# Additions pass and are shown; a release that adds functions writes a new
# baseline, from a build with debug information:
#   abidw --drop-undefined-syms --no-corpus-path --short-locs --no-comp-dir-path \
#       --out-file sources/libraries/padring/libqor_padring.so.1.abi \
#       build/default/libqor_padring.so.1
execute_process(COMMAND ${ABIDIFF} --suppressions ${CMAKE_CURRENT_LIST_DIR}/opaque_handles.abignore
                        ${BASELINE} ${LIBRARY}
                RESULT_VARIABLE result OUTPUT_VARIABLE report ERROR_VARIABLE report)
if(NOT result MATCHES "^[0-9]+$")
    message(FATAL_ERROR "abidiff did not run: ${result}\n${report}")
endif()
# abidiff's status is a bit set: 1 error, 2 usage, 4 a change, 8 an incompatible
# one. A change to a function's types sets only 4, so the summary tells.
math(EXPR failing "${result} & 11")
if(failing OR report MATCHES "summary: [1-9][0-9]* Removed" OR
   report MATCHES "Removed, [1-9][0-9]* Changed")
    message(FATAL_ERROR "libqor_padring's ABI broke against its baseline (abidiff ${result}):\n"
                        "${report}")
endif()
message(STATUS "abidiff ${result}: nothing removed or changed\n${report}")
