# Reads the code the compiler generated for the ring on a cross-built target
# and fails unless every access the ring's protocol relies on is there as the
# processor layer promises: whole, and ordered where the ring places its
# fences. Meant for an optimised build, where the cell, copy and fence helpers
# are inlined into the operations.
#
#   armv6k   every store of the writer is an exclusive-access retry loop of its
#            width, every 64-bit read an LDREXD released with CLREX, and each
#            fence a CP15 barrier.
#   aarch64  every access to the ring is one single-copy atomic load or store
#            of its cell's width, or of a whole doubleword in the slots, and
#            each ordering the ring relies on has a barrier (or an LDAR or
#            STLR) between the accesses it orders.
#
# Arguments: OBJDUMP, OBJECT (the ring's object files), PROCESSOR.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -d -C --no-show-raw-insn ${OBJECT}
                OUTPUT_VARIABLE disassembly RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${OBJECT}")
endif()

# The instruction lines of the functions whose symbols contain each NAME, one
# after the other: an operation and the steps it keeps out of line. A name
# matches the first such function, and may carry template arguments.
function(function_bodies out)
    set(lines "")
    foreach(name IN LISTS ARGN)
        string(REGEX MATCH "\n[0-9a-f]+ <[^\n]*${name}[^\n]*>:\n([^\n]+\n)+" body "${disassembly}")
        if(body STREQUAL "")
            message(FATAL_ERROR "no function ${name} in ${OBJECT}")
        endif()
        # Brackets would group list elements: the memory operands use them.
        string(REPLACE "[" "<" body "${body}")
        string(REPLACE "]" ">" body "${body}")
        string(REPLACE ";" "," body "${body}")
        string(REPLACE "\n" ";" body "${body}")
        list(APPEND lines ${body})
    endforeach()
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

set(writer_functions "PadLifoRing::WriteData" "StartLapsAndWriteOn")
set(reader_functions "PadLifoRing::ReadData" "ReadNewSamples<false>" "ReadUntilDone<false>")
set(counting_reader_functions
    "PadLifoRing::ReadDataCountingMissed" "ReadNewSamples<true>" "ReadUntilDone<true>")

if(PROCESSOR STREQUAL "armv6k")
    # The conditional branch after each exclusive store must go back to the
    # exclusive load of the same width: a lost reservation reloads and retries.
    # Every other store must be to the stack: nothing reaches the ring plain.
    function(require_exclusive_stores lines what)
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
            elseif(line MATCHES "^ *([0-9a-f]+):\t(st[a-z]*\t.*)")
                set(plain "${CMAKE_MATCH_1}: ${CMAKE_MATCH_2}")
                if(NOT plain MATCHES "(<sp[,>]|\tsp!)")
                    message(FATAL_ERROR "${what}: a plain store at ${plain}")
                endif()
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
    function_bodies(writer ${writer_functions})
    foreach(access "ldrexh" "strexh" "ldrex\t" "strex\t" "ldrexd" "strexd")
        require_at_least(1 "${writer}" "${access}" "WriteData")
    endforeach()
    require_at_least(4 "${writer}" "${barrier}" "WriteData")
    require_exclusive_stores("${writer}" "WriteData")

    # Reader fences: after the pointer and after the lap tick in the snapshot,
    # before the slots, and before the re-check. The whole-record copy reads
    # the same way.
    function(require_reads what)
        function_bodies(reader ${ARGN})
        require_at_least(2 "${reader}" "ldrexd\t" "${what}")
        require_at_least(2 "${reader}" "clrex" "${what}")
        require_at_least(4 "${reader}" "${barrier}" "${what}")
    endfunction()
    require_reads(ReadData ${reader_functions})
    require_reads(ReadDataCountingMissed ${counting_reader_functions})
    require_reads(TakeSnapshot "PadLifoRing::TakeSnapshot")

    # A new writer's resume: the reader's two acquires on its control reads, the
    # release before the new lap tick, and that tick stored by an exclusive loop.
    function_bodies(resume "PadLifoRing::ResumeWriting")
    require_at_least(1 "${resume}" "ldrexd\t" "ResumeWriting")
    require_at_least(1 "${resume}" "strexd" "ResumeWriting")
    require_at_least(3 "${resume}" "${barrier}" "ResumeWriting")
    require_exclusive_stores("${resume}" "ResumeWriting")

    message(STATUS "exclusive-access loops, plain stores only to the stack, 64-bit reads and "
        "barriers present")
    return()
endif()

if(NOT PROCESSOR STREQUAL "aarch64")
    message(FATAL_ERROR "no code check for processor '${PROCESSOR}'")
endif()

# The record's fields by offset, with their width in bits: the three control
# fields, then the fields the ring leaves to the rest of the service (only a
# snapshot copies them), then the slots from offset 40, read and written in
# doublewords.
set(field_0 "T;64")
set(field_8 "O;64")
set(field_16 "P;32")
set(field_24 "F;32")
set(field_28 "F;32")
set(field_32 "F;16")
set(field_34 "F;16")

# Width in bits of the register named, or of the access a mnemonic makes.
function(access_width mnemonic register out)
    if(mnemonic MATCHES "^(ld|st)[a-z]*[0-9]")
        set(width 128)  # a vector structure access
    elseif(mnemonic MATCHES "b$")
        set(width 8)
    elseif(mnemonic MATCHES "h$")
        set(width 16)
    elseif(mnemonic MATCHES "sw$")
        set(width 32)
    elseif(register MATCHES "^[xd]")
        set(width 64)
    elseif(register MATCHES "^[ws]")
        set(width 32)
    elseif(register MATCHES "^q")
        set(width 128)
    else()
        set(width 0)
    endif()
    set(${out} ${width} PARENT_SCOPE)
endfunction()

# The registers and the order state at a point, kept for the point a forward
# branch goes to: code placed after an unconditional jump continues from the
# state where the first jump to it was taken.
macro(save_state address)
    if(NOT DEFINED state_${address})
        set(state_${address} "${last_load}|${acquired}|${last_store}|${released}")
        foreach(r RANGE 0 30)
            string(APPEND state_${address} "|${reg_${r}}")
        endforeach()
    endif()
endmacro()

macro(load_state address)
    string(REPLACE "|" ";" saved "${state_${address}}")
    list(GET saved 0 last_load)
    list(GET saved 1 acquired)
    list(GET saved 2 last_store)
    list(GET saved 3 released)
    foreach(r RANGE 0 30)
        math(EXPR i "${r} + 4")
        list(GET saved ${i} reg_${r})
    endforeach()
endmacro()

# Follows the registers through the functions' code, from the ring's address
# in x0 and the caller's pointers in the other argument registers, through
# moves, additions of constants and the stack; a register written any other
# way holds an unknown address (a slot the code worked out, on the ring's
# side). Checks every load and store that may reach the ring, and the
# barriers between them. ROLE is reader or writer: a reader never stores to
# the ring, and a writer's stores through an unknown address are slot stores.
function(check_aarch64 lines role what)
    set(counts_P 0)
    set(counts_T 0)
    set(counts_O 0)
    set(counts_S 0)
    set(counts_F 0)
    set(function_start TRUE)
    foreach(line IN LISTS lines)
        if(line MATCHES ">:$")
            set(function_start TRUE)
            continue()
        endif()
        if(NOT line MATCHES "^ *([0-9a-f]+):\t([a-z0-9.]+)\t?([^/]*)")
            continue()
        endif()
        set(at "${CMAKE_MATCH_1}")
        set(mnemonic "${CMAKE_MATCH_2}")
        string(STRIP "${CMAKE_MATCH_3}" operands)
        if(after_jump)
            if(DEFINED state_${at})
                load_state(${at})
            else()
                # Reached only backwards or through a table: no order to check.
                set(last_load "")
                set(last_store "")
            endif()
            set(after_jump FALSE)
        endif()
        if(mnemonic MATCHES "^(b|b\\..*|cbn?z|tbn?z)$" AND operands MATCHES "(^|, )([0-9a-f]+) <")
            save_state(${CMAKE_MATCH_2})
        endif()
        if(function_start)
            # At entry: the ring in x0, the caller's memory behind the others.
            foreach(r RANGE 0 30)
                set(reg_${r} "")
            endforeach()
            set(reg_0 "ring:0")
            foreach(r 1 2 3 4 5 6 7)
                set(reg_${r} "caller")
            endforeach()
            set(last_load "")  # kind of the last ring load, none after a jump
            set(acquired FALSE)
            set(last_store "start")
            set(released FALSE)
            set(after_jump FALSE)
            set(function_start FALSE)
        endif()

        if(mnemonic MATCHES "^dmb$")
            if(operands MATCHES "^(ish|sy|ishld|ld)$")
                set(acquired TRUE)
            endif()
            if(operands MATCHES "^(ish|sy)$")
                set(released TRUE)
            endif()
            continue()
        endif()
        if(mnemonic MATCHES "^(b|ret)$")
            # What follows is reached from elsewhere.
            set(after_jump TRUE)
            continue()
        endif()
        if(mnemonic STREQUAL "bl" OR mnemonic STREQUAL "blr")
            foreach(r RANGE 0 18)
                set(reg_${r} "")
            endforeach()
            continue()
        endif()

        if(mnemonic MATCHES "^(ld|st)")
            # Data registers, then the memory operand: <base>, <base, #imm>,
            # <base, #imm>! or <base>, #imm, or a register index.
            if(NOT operands MATCHES "^(.*), <([a-z0-9]+)(, #(-?(0x)?[0-9a-f]+))?(, [xw][0-9]+[^>]*)?>(!|, #-?(0x)?[0-9a-f]+)?$")
                message(FATAL_ERROR "${what}: cannot read the address at ${at}: ${mnemonic} ${operands}")
            endif()
            set(data "${CMAKE_MATCH_1}")
            set(base "${CMAKE_MATCH_2}")
            set(immediate "${CMAKE_MATCH_4}")
            set(indexed "${CMAKE_MATCH_6}")
            set(writeback "${CMAKE_MATCH_7}")
            set(offset 0)
            if(NOT "${immediate}" STREQUAL "")
                math(EXPR offset "${immediate}")
            endif()
            string(REPLACE ", " ";" data "${data}")
            list(GET data -1 last_data)
            if(mnemonic MATCHES "^(st[a-z]*xr)$")
                list(REMOVE_AT data 0)  # the status register
            endif()
            list(LENGTH data data_count)
            list(GET data 0 first_data)
            access_width("${mnemonic}" "${first_data}" width)
            set(is_load FALSE)
            if(mnemonic MATCHES "^ld")
                set(is_load TRUE)
            endif()

            # Where the access goes.
            if(base STREQUAL "sp" OR base STREQUAL "x29")
                set(where "stack")
            else()
                string(REGEX REPLACE "^[xw]" "" base_number "${base}")
                set(where "${reg_${base_number}}")
                if(NOT indexed STREQUAL "" AND where MATCHES "^ring:")
                    set(where "")  # ring plus a worked-out index: a slot
                endif()
            endif()

            if(where STREQUAL "stack")
                # Spills and reloads keep what a register holds.
                set(slot ${offset})
                foreach(d IN LISTS data)
                    if(d MATCHES "^[xw]([0-9]+)$" AND is_load)
                        set(reg_${CMAKE_MATCH_1} "${stack_${slot}}")
                    elseif(d MATCHES "^[xw]([0-9]+)$")
                        set(stack_${slot} "${reg_${CMAKE_MATCH_1}}")
                    endif()
                    math(EXPR slot "${slot} + 8")
                endforeach()
                continue()
            endif()

            # Which field: a kind (P pointer, T lap tick, O old lap tick, S
            # slot doubleword, F a field the ring leaves alone) and its width.
            set(kind "")
            if(where MATCHES "^ring:(-?[0-9]+)$")
                math(EXPR field "${CMAKE_MATCH_1} + ${offset}")
                if(field GREATER_EQUAL 40 AND field LESS 168)
                    math(EXPR misaligned "(${field} - 40) % 8")
                    if(NOT misaligned EQUAL 0)
                        message(FATAL_ERROR "${what}: the access at ${at} is not on a slot "
                            "doubleword (offset ${field}): ${mnemonic} ${operands}")
                    endif()
                    set(kind "S")
                    set(expected 64)
                elseif(DEFINED field_${field})
                    list(GET field_${field} 0 kind)
                    list(GET field_${field} 1 expected)
                else()
                    message(FATAL_ERROR "${what}: the access at ${at} reaches offset ${field}, "
                        "no field of the ring: ${mnemonic} ${operands}")
                endif()
            elseif(where STREQUAL "" AND ((role STREQUAL "reader" AND is_load)
                                          OR (role STREQUAL "writer" AND NOT is_load)))
                # Unknown address: a reader loads a worked-out slot, a writer
                # stores one. A writer's loads and a reader's stores through
                # unknown addresses are the caller's samples and buffers.
                set(kind "S")
                set(expected 64)
            endif()

            if(kind STREQUAL "")
                # The caller's memory: only registers change.
            elseif(NOT is_load AND role STREQUAL "reader")
                message(FATAL_ERROR "${what}: a store to the ring at ${at}: ${mnemonic} ${operands}")
            elseif(NOT width EQUAL expected OR (kind STREQUAL "S" AND NOT is_load AND data_count GREATER 1))
                # A slot doubleword may be loaded by a pair of 64-bit loads
                # (each single-copy atomic on its own), never stored by one,
                # so the doublewords go in the order the writer gives.
                message(FATAL_ERROR "${what}: the access at ${at} is not one ${expected}-bit "
                    "access of its field (${kind}, ${width} bits): ${mnemonic} ${operands}")
            elseif(is_load)
                # Acquires: pointer -> lap tick -> old lap tick, any control
                # field -> the slots, and the slots -> the re-check.
                set(pair "${last_load}${kind}")
                if(pair MATCHES "^(PT|TO|[PTO][SF]|[SF][PTO])$" AND NOT acquired)
                    message(FATAL_ERROR "${what}: no acquire between the ${last_load} load and the "
                        "${kind} load at ${at}")
                endif()
                set(last_load "${kind}")
                set(acquired FALSE)
                if(mnemonic MATCHES "^lda")
                    set(acquired TRUE)
                endif()
                math(EXPR counts_${kind} "${counts_${kind}} + 1")
            else()
                # Releases: before the pointer, before a new lap tick, and
                # before the first of a sample's slot stores.
                if(mnemonic MATCHES "^stl")
                    set(released TRUE)
                endif()
                if((kind MATCHES "^[PT]$" OR (kind STREQUAL "S" AND NOT last_store STREQUAL "S"))
                   AND NOT released)
                    message(FATAL_ERROR "${what}: no release before the ${kind} store at ${at} "
                        "(after: ${last_store})")
                endif()
                set(last_store "${kind}")
                set(released FALSE)
                math(EXPR counts_${kind} "${counts_${kind}} + 1")
            endif()

            if(is_load)
                foreach(d IN LISTS data)
                    if(d MATCHES "^[xw]([0-9]+)$")
                        set(reg_${CMAKE_MATCH_1} "")
                    endif()
                endforeach()
            endif()
            if(NOT writeback STREQUAL "" AND NOT base STREQUAL "sp")
                set(reg_${base_number} "")
            endif()
            continue()
        endif()

        # Registers: moves and constant additions keep an address known.
        if(mnemonic MATCHES "^(cmp|cmn|tst|ccmp|ccmn|fcmp|cbn?z|tbn?z|b\\..*|br|nop|isb|prfm)$")
            continue()
        endif()
        if(NOT operands MATCHES "^[xw]([0-9]+)")
            continue()
        endif()
        set(destination "${CMAKE_MATCH_1}")
        set(value "")
        if(mnemonic STREQUAL "mov" AND operands MATCHES "^[xw][0-9]+, [xw]([0-9]+)$")
            set(value "${reg_${CMAKE_MATCH_1}}")
        elseif(mnemonic MATCHES "^(add|sub)$"
               AND operands MATCHES "^x[0-9]+, x([0-9]+), #((0x)?[0-9a-f]+)$")
            set(source "${reg_${CMAKE_MATCH_1}}")
            math(EXPR amount "${CMAKE_MATCH_2}")
            if(mnemonic STREQUAL "sub")
                math(EXPR amount "-${amount}")
            endif()
            if(source MATCHES "^ring:(-?[0-9]+)$")
                math(EXPR moved "${CMAKE_MATCH_1} + ${amount}")
                set(value "ring:${moved}")
            elseif(source STREQUAL "caller")
                set(value "caller")
            endif()
        endif()
        set(reg_${destination} "${value}")
    endforeach()

    foreach(kind P T O S)
        set(counts_${what}_${kind} ${counts_${kind}} PARENT_SCOPE)
    endforeach()
    message(STATUS "${what}: ${counts_P} pointer, ${counts_T} lap tick, ${counts_O} old lap tick, "
        "${counts_S} slot doubleword and ${counts_F} other field ${role} accesses, each whole, "
        "with the barriers between them")
endfunction()

function(require_accesses what kinds)
    foreach(kind IN LISTS kinds)
        if(counts_${what}_${kind} EQUAL 0)
            message(FATAL_ERROR "${what}: no ${kind} access found: the check no longer follows "
                "the ring's address")
        endif()
    endforeach()
endfunction()

function_bodies(writer ${writer_functions})
check_aarch64("${writer}" writer WriteData)
require_accesses(WriteData "P;T;O;S")
function_bodies(reader ${reader_functions})
check_aarch64("${reader}" reader ReadData)
require_accesses(ReadData "P;T;O;S")
function_bodies(counting_reader ${counting_reader_functions})
check_aarch64("${counting_reader}" reader ReadDataCountingMissed)
require_accesses(ReadDataCountingMissed "P;T;O;S")
function_bodies(resume "PadLifoRing::ResumeWriting")
check_aarch64("${resume}" writer ResumeWriting)
require_accesses(ResumeWriting "P;T;O")
function_bodies(snapshot "PadLifoRing::TakeSnapshot")
check_aarch64("${snapshot}" reader TakeSnapshot)
require_accesses(TakeSnapshot "P;T;O;S")
message(STATUS "every ring access whole and ordered")
