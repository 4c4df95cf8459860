# Disassembles the ring's object file for the target and fails unless every
# cell store in WriteData is an exclusive-access retry loop (each STREX, STREXH
# and STREXD followed by a branch back when it fails), every 64-bit read is an
# LDREXD released with CLREX, and both operations contain the CP15 barrier.
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

function(require lines pattern what)
    foreach(line IN LISTS lines)
        if(line MATCHES "${pattern}")
            return()
        endif()
    endforeach()
    message(FATAL_ERROR "${what}: no instruction matches '${pattern}'")
endfunction()

# Every exclusive store must be followed by a conditional branch to an earlier
# address, the reload at the top of its loop.
function(require_retry_loops lines what)
    set(pending "")
    foreach(line IN LISTS lines)
        if(line MATCHES "^ *([0-9a-f]+):\tstrex[hd]?\t")
            set(pending "${CMAKE_MATCH_1}")
        elseif(NOT pending STREQUAL "" AND line MATCHES "^ *[0-9a-f]+:\tbne\t([0-9a-f]+) ")
            math(EXPR store "0x${pending}")
            math(EXPR target "0x${CMAKE_MATCH_1}")
            if(NOT target LESS store)
                message(FATAL_ERROR "${what}: the exclusive store at ${pending} does not retry")
            endif()
            set(pending "")
        endif()
    endforeach()
    if(NOT pending STREQUAL "")
        message(FATAL_ERROR "${what}: the exclusive store at ${pending} does not retry")
    endif()
endfunction()

set(barrier "mcr\t15, 0, [a-z0-9]+, cr7, cr10, \\{5\\}")

function_body("PadLifoRing::WriteData" writer)
foreach(width "ldrexh" "strexh" "ldrex\t" "strex\t" "ldrexd" "strexd" "${barrier}")
    require("${writer}" "\t${width}" "WriteData")
endforeach()
require_retry_loops("${writer}" "WriteData")

function_body("PadLifoRing::ReadData" reader)
require("${reader}" "\tldrexd\t" "ReadData")
require("${reader}" "\tclrex" "ReadData")
require("${reader}" "\t${barrier}" "ReadData")
message(STATUS "exclusive-access loops, 64-bit reads and barriers present in ${OBJECT}")
