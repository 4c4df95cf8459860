# Disassembles the ring's object file for the target and fails unless every
# cell store in WriteData and ResumeWriting is an exclusive-access retry loop,
# every 64-bit read in ReadData and TakeSnapshot is an LDREXD released with
# CLREX, and each fence the operations place is there as a CP15 barrier. Meant for an optimised build,
# where the cell and fence helpers are inlined into the two operations.
# Arguments: OBJDUMP, OBJECT.
execute_process(COMMAND ${OBJDUMP} -d -C --no-show-raw-insn ${OBJECT}
                OUTPUT_VARIABLE disassembly RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${OBJECT}")
endif()

# Returns the instruction lines of the function whose symbol contains NAME.
function(function_body name out)
    string(REGEX MATCH "<[^>\n]*${name}[^>\n]*>:\n([^\n]+\n)+" body "${disassembly}")
    if(body STREQUAL "")
        message(FATAL_ERROR "no function ${name} in ${OBJECT}")
    endif()
    string(REPLACE "\n" ";" lines "${body}")
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()

function(require_at_least count lines pattern what)
    set(found 0)
    foreach(line IN LISTS lines)
        if(line MATCHES "\t${pattern}")
            math(EXPR found "${found} + 1")
        endif()
    endforeach()
    if(found LESS count)
        message(FATAL_ERROR "${what}: ${found} instructions match '${pattern}', expected ${count}")
    endif()
endfunction()

# The conditional branch after each exclusive store must go back to the
# exclusive load of the same width: a lost reservation reloads and retries.
function(require_retry_loops lines what)
    set(load "")
    set(store "")
    foreach(line IN LISTS lines)
        if(line MATCHES "^ *([0-9a-f]+):\tldrex([hd]?)\t")
            set(load "${CMAKE_MATCH_1}")
            set(load_width "${CMAKE_MATCH_2}")
        elseif(line MATCHES "^ *([0-9a-f]+):\tstrex([hd]?)\t")
            if(NOT CMAKE_MATCH_2 STREQUAL load_width)
                message(FATAL_ERROR "${what}: the exclusive store at ${CMAKE_MATCH_1} has no load")
            endif()
            set(store "${CMAKE_MATCH_1}")
        elseif(NOT store STREQUAL "" AND line MATCHES "^ *[0-9a-f]+:\tb(ne|eq)\t([0-9a-f]+) ")
            if(NOT CMAKE_MATCH_1 STREQUAL "ne" OR NOT CMAKE_MATCH_2 STREQUAL load)
                message(FATAL_ERROR "${what}: the exclusive store at ${store} does not retry")
            endif()
            set(store "")
        endif()
    endforeach()
    if(NOT store STREQUAL "")
        message(FATAL_ERROR "${what}: the exclusive store at ${store} does not retry")
    endif()
endfunction()

set(barrier "mcr\t15, 0, [a-z0-9]+, cr7, cr10, \\{5\\}")

# Writer fences: before a sample's fields, before its pointer, and at a lap
# start before pointer 0 and before the new lap tick.
function_body("PadLifoRing::WriteData" writer)
foreach(access "ldrexh" "strexh" "ldrex\t" "strex\t" "ldrexd" "strexd")
    require_at_least(1 "${writer}" "${access}" "WriteData")
endforeach()
require_at_least(4 "${writer}" "${barrier}" "WriteData")
require_retry_loops("${writer}" "WriteData")

# Reader fences: after the pointer and after the lap tick in the snapshot,
# before the slots, and before the re-check.
function_body("PadLifoRing::ReadData" reader)
require_at_least(2 "${reader}" "ldrexd\t" "ReadData")
require_at_least(2 "${reader}" "clrex" "ReadData")
require_at_least(4 "${reader}" "${barrier}" "ReadData")
# A new writer's resume: the reader's two acquires on its control reads, the
# release before the new lap tick, and that tick stored by an exclusive loop.
function_body("PadLifoRing::ResumeWriting" resume)
require_at_least(1 "${resume}" "ldrexd\t" "ResumeWriting")
require_at_least(1 "${resume}" "strexd" "ResumeWriting")
require_at_least(3 "${resume}" "${barrier}" "ResumeWriting")
require_retry_loops("${resume}" "ResumeWriting")

# The whole-record copy reads as ReadData does.
function_body("PadLifoRing::TakeSnapshot" snapshot)
require_at_least(2 "${snapshot}" "ldrexd\t" "TakeSnapshot")
require_at_least(2 "${snapshot}" "clrex" "TakeSnapshot")
require_at_least(4 "${snapshot}" "${barrier}" "TakeSnapshot")
message(STATUS "exclusive-access loops, 64-bit reads and barriers present in ${OBJECT}")
