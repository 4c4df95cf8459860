#!/usr/bin/env python3
"""Fails unless the code the compiler generated for the ring on a cross-built,
optimised target makes every access the ring relies on as the processor layer
promises. ARMv6K: every writer store an exclusive-access retry loop of its
width, every 64-bit read an LDREXD released with CLREX, the CP15 barriers
present. AArch64: every ring access one single-copy atomic load or store of its
field's width (a whole doubleword in the slots), and a barrier (or LDAR, STLR)
between the accesses the ring orders.

Usage: check_target_code.py OBJDUMP PROCESSOR OBJECTS (';'-separated).
"""
import re
import subprocess
import sys

WRITER = ["PadLifoRing::WriteData", "StartLapsAndWriteOn"]
READER = ["PadLifoRing::ReadData", "ReadNewSamples<false>", "ReadUntilDone<false>"]
COUNTING_READER = ["PadLifoRing::ReadDataCountingMissed", "ReadNewSamples<true>",
                   "ReadUntilDone<true>"]


def fail(message):
    sys.exit("error: " + message)


def function_bodies(functions, *names):
    """The lines of the first function whose name contains each NAME (an
    operation and the steps it keeps out of line), each header line first."""
    lines = []
    for name in names:
        found = next((body for header, body in functions if name in header), None)
        if found is None:
            fail("no function " + name)
        lines += found
    return lines


def require_at_least(count, lines, pattern, what):
    found = sum(1 for line in lines if re.search("\t" + pattern, line))
    if found < count:
        fail(f"{what}: {found} instructions match '{pattern}', expected {count}")


def check_armv6k(functions):
    barrier = r"mcr\t15, 0, [a-z0-9]+, cr7, cr10, \{5\}"

    def require_exclusive_stores(lines, what):
        # The conditional branch after each exclusive store must go back to the
        # exclusive load of the same width: a lost reservation reloads and
        # retries. Every other store must be to the stack: nothing reaches the
        # ring plain.
        load, load_width, store = "", None, ""
        for line in lines:
            if m := re.match(r"^ *([0-9a-f]+):\tldrex([hd]?)\t", line):
                load, load_width = m[1], m[2]
            elif m := re.match(r"^ *([0-9a-f]+):\tstrex([hd]?)\t", line):
                if m[2] != load_width:
                    fail(f"{what}: the exclusive store at {m[1]} has no load")
                store = m[1]
            elif m := re.match(r"^ *([0-9a-f]+):\t(st[a-z]*\t.*)", line):
                if not re.search(r"(\[sp[,\]]|\tsp!)", m[2]):
                    fail(f"{what}: a plain store at {m[1]}: {m[2]}")
            elif store and (m := re.match(r"^ *[0-9a-f]+:\tb(ne|eq)\t([0-9a-f]+) ", line)):
                if m[1] != "ne" or m[2] != load:
                    fail(f"{what}: the exclusive store at {store} does not retry")
                store = ""
        if store:
            fail(f"{what}: the exclusive store at {store} does not retry")

    # Writer fences: before a sample's fields, before its pointer, and at a lap
    # start before pointer 0 and before the new lap tick.
    writer = function_bodies(functions, *WRITER)
    for access in ["ldrexh", "strexh", "ldrex\t", "strex\t", "ldrexd", "strexd"]:
        require_at_least(1, writer, access, "WriteData")
    require_at_least(4, writer, barrier, "WriteData")
    require_exclusive_stores(writer, "WriteData")

    # Reader fences: after the pointer and after the lap tick in the snapshot,
    # before the slots, and before the re-check. The whole-record copy reads
    # the same way.
    for what, names in [("ReadData", READER), ("ReadDataCountingMissed", COUNTING_READER),
                        ("TakeSnapshot", ["PadLifoRing::TakeSnapshot"])]:
        reader = function_bodies(functions, *names)
        require_at_least(2, reader, "ldrexd\t", what)
        require_at_least(2, reader, "clrex", what)
        require_at_least(4, reader, barrier, what)

    # A new writer's resume: the reader's two acquires on its control reads, the
    # release before the new lap tick, and that tick stored by an exclusive loop.
    resume = function_bodies(functions, "PadLifoRing::ResumeWriting")
    require_at_least(1, resume, "ldrexd\t", "ResumeWriting")
    require_at_least(1, resume, "strexd", "ResumeWriting")
    require_at_least(3, resume, barrier, "ResumeWriting")
    require_exclusive_stores(resume, "ResumeWriting")
    print("exclusive-access loops, plain stores only to the stack, 64-bit reads and barriers "
          "present")


# The record's fields by offset, as (kind, width in bits): the three control
# fields (T lap tick, O old lap tick, P pointer), then the fields the ring
# leaves to the rest of the service (F: only a snapshot copies them), then the
# slots from offset 40 (S), read and written in doublewords.
FIELDS = {0: ("T", 64), 8: ("O", 64), 16: ("P", 32), 24: ("F", 32), 28: ("F", 32),
          32: ("F", 16), 34: ("F", 16)}
SLOTS = range(40, 168)


def access_width(mnemonic, register):
    """Width in bits of the access a mnemonic makes, or of the register named."""
    if re.match(r"^(ld|st)[a-z]*[0-9]", mnemonic):
        return 128  # a vector structure access
    for suffix, width in [("b", 8), ("h", 16), ("sw", 32)]:
        if mnemonic.endswith(suffix):
            return width
    return {"x": 64, "d": 64, "w": 32, "s": 32, "q": 128}.get(register[:1], 0)


MEMORY_OPERAND = re.compile(r"^(.*), \[([a-z0-9]+)(, #(-?(0x)?[0-9a-f]+))?(, [xw][0-9]+[^\]]*)?\]"
                            r"(!|, #-?(0x)?[0-9a-f]+)?$")


def check_aarch64(lines, role, what):
    """Follows the ring's address from x0 (the caller's pointers in the other
    argument registers) through moves, constant additions and the stack; a
    register written any other way holds an unknown address, a slot the code
    worked out. Checks every access that may reach the ring and the barriers
    between them: a reader never stores to the ring, and a writer's stores
    through an unknown address are slot stores. Returns the accesses by kind."""
    counts = dict.fromkeys("PTOSF", 0)
    # Code placed after an unconditional jump continues from the state where
    # the first forward branch to it was taken.
    saved_states = {}
    stack = {}
    regs = [""] * 31
    last_load, acquired, last_store, released = "", False, "", False
    after_jump = False
    function_start = True
    for line in lines:
        if line.endswith(">:"):
            function_start = True
            continue
        m = re.match(r"^ *([0-9a-f]+):\t([a-z0-9.]+)\t?([^/]*)", line)
        if not m:
            continue
        at, mnemonic, operands = m[1], m[2], m[3].strip()
        if after_jump:
            if at in saved_states:
                last_load, acquired, last_store, released, regs = saved_states[at]
                regs = list(regs)
            else:
                # Reached only backwards or through a table: no order to check.
                last_load, last_store = "", ""
            after_jump = False
        if re.match(r"^(b|b\..*|cbn?z|tbn?z)$", mnemonic):
            if target := re.search(r"(^|, )([0-9a-f]+) <", operands):
                saved_states.setdefault(target[2],
                                        (last_load, acquired, last_store, released, list(regs)))
        if function_start:
            # At entry: the ring in x0, the caller's memory behind the others.
            regs = ["ring:0"] + ["caller"] * 7 + [""] * 23
            last_load, acquired, last_store, released = "", False, "start", False
            function_start = False

        if mnemonic == "dmb":
            acquired = acquired or operands in ("ish", "sy", "ishld", "ld")
            released = released or operands in ("ish", "sy")
            continue
        if mnemonic in ("b", "ret"):
            after_jump = True  # what follows is reached from elsewhere
            continue
        if mnemonic in ("bl", "blr"):
            regs[0:19] = [""] * 19
            continue

        if re.match(r"^(ld|st)", mnemonic):
            # Data registers, then the memory operand: [base], [base, #imm],
            # [base, #imm]! or [base], #imm, or a register index.
            address = MEMORY_OPERAND.match(operands)
            if not address:
                fail(f"{what}: cannot read the address at {at}: {mnemonic} {operands}")
            data = address[1].split(", ")
            base, immediate, indexed, writeback = address[2], address[4], address[6], address[7]
            offset = int(immediate, 0) if immediate else 0
            if re.match(r"^st[a-z]*xr$", mnemonic):
                data = data[1:]  # the status register
            width = access_width(mnemonic, data[0])
            is_load = mnemonic.startswith("ld")

            if base in ("sp", "x29"):
                # Spills and reloads keep what a register holds.
                for slot, register in enumerate(data):
                    if r := re.match(r"^[xw]([0-9]+)$", register):
                        if is_load:
                            regs[int(r[1])] = stack.get(offset + 8 * slot, "")
                        else:
                            stack[offset + 8 * slot] = regs[int(r[1])]
                continue
            base_number = int(re.sub(r"^[xw]", "", base))
            where = regs[base_number]
            if indexed and where.startswith("ring:"):
                where = ""  # the ring plus a worked-out index: a slot

            # Which field: its kind and its width.
            kind, expected = "", 0
            if ring := re.match(r"^ring:(-?[0-9]+)$", where):
                field = int(ring[1]) + offset
                if field in SLOTS:
                    if (field - 40) % 8:
                        fail(f"{what}: the access at {at} is not on a slot doubleword "
                             f"(offset {field}): {mnemonic} {operands}")
                    kind, expected = "S", 64
                elif field in FIELDS:
                    kind, expected = FIELDS[field]
                else:
                    fail(f"{what}: the access at {at} reaches offset {field}, no field of the "
                         f"ring: {mnemonic} {operands}")
            elif where == "" and is_load == (role == "reader"):
                # Unknown address: a reader loads a worked-out slot, a writer
                # stores one. A writer's loads and a reader's stores through
                # unknown addresses are the caller's samples and buffers.
                kind, expected = "S", 64

            if not kind:
                pass  # the caller's memory: only registers change
            elif not is_load and role == "reader":
                fail(f"{what}: a store to the ring at {at}: {mnemonic} {operands}")
            elif width != expected or (kind == "S" and not is_load and len(data) > 1):
                # A slot doubleword may be loaded by a pair of 64-bit loads
                # (each single-copy atomic on its own), never stored by one,
                # so the doublewords go in the order the writer gives.
                fail(f"{what}: the access at {at} is not one {expected}-bit access of its "
                     f"field ({kind}, {width} bits): {mnemonic} {operands}")
            elif is_load:
                # Acquires: pointer -> lap tick -> old lap tick, any control
                # field -> the slots, and the slots -> the re-check.
                if re.match(r"^(PT|TO|[PTO][SF]|[SF][PTO])$", last_load + kind) and not acquired:
                    fail(f"{what}: no acquire between the {last_load} load and the {kind} load "
                         f"at {at}")
                last_load, acquired = kind, mnemonic.startswith("lda")
                counts[kind] += 1
            else:
                # Releases: before the pointer, before a new lap tick, and
                # before the first of a sample's slot stores.
                released = released or mnemonic.startswith("stl")
                if (kind in "PT" or (kind == "S" and last_store != "S")) and not released:
                    fail(f"{what}: no release before the {kind} store at {at} (after: "
                         f"{last_store})")
                last_store, released = kind, False
                counts[kind] += 1

            if is_load:
                for register in data:
                    if r := re.match(r"^[xw]([0-9]+)$", register):
                        regs[int(r[1])] = ""
            if writeback:
                regs[base_number] = ""
            continue

        # Registers: moves and constant additions keep an address known.
        if re.match(r"^(cmp|cmn|tst|ccmp|ccmn|fcmp|cbn?z|tbn?z|b\..*|br|nop|isb|prfm)$", mnemonic):
            continue
        destination = re.match(r"^[xw]([0-9]+)", operands)
        if not destination:
            continue
        value = ""
        if mnemonic == "mov" and (source := re.match(r"^[xw][0-9]+, [xw]([0-9]+)$", operands)):
            value = regs[int(source[1])]
        elif mnemonic in ("add", "sub") and (
                source := re.match(r"^x[0-9]+, x([0-9]+), #((0x)?[0-9a-f]+)$", operands)):
            amount = int(source[2], 0) * (-1 if mnemonic == "sub" else 1)
            known = regs[int(source[1])]
            if ring := re.match(r"^ring:(-?[0-9]+)$", known):
                value = f"ring:{int(ring[1]) + amount}"
            elif known == "caller":
                value = "caller"
        regs[int(destination[1])] = value

    print(f"{what}: {counts['P']} pointer, {counts['T']} lap tick, {counts['O']} old lap tick, "
          f"{counts['S']} slot doubleword and {counts['F']} other field {role} accesses, each "
          f"whole, with the barriers between them")
    return counts


def check_aarch64_operations(functions):
    for what, role, names, kinds in [
            ("WriteData", "writer", WRITER, "PTOS"),
            ("ReadData", "reader", READER, "PTOS"),
            ("ReadDataCountingMissed", "reader", COUNTING_READER, "PTOS"),
            ("ResumeWriting", "writer", ["PadLifoRing::ResumeWriting"], "PTO"),
            ("TakeSnapshot", "reader", ["PadLifoRing::TakeSnapshot"], "PTOS")]:
        counts = check_aarch64(function_bodies(functions, *names), role, what)
        for kind in kinds:
            if counts[kind] == 0:
                fail(f"{what}: no {kind} access found: the check no longer follows the ring's "
                     f"address")
    print("every ring access whole and ordered")


def main():
    objdump, processor, objects = sys.argv[1], sys.argv[2], sys.argv[3].split(";")
    disassembly = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", *objects],
                                 check=True, capture_output=True, text=True).stdout
    # (header, lines) for each function, its header line first.
    functions = []
    for block in disassembly.split("\n\n"):
        block_lines = block.strip("\n").split("\n")
        if re.match(r"^[0-9a-f]+ <.*>:$", block_lines[0]):
            functions.append((block_lines[0], block_lines))
    if processor == "armv6k":
        check_armv6k(functions)
    elif processor == "aarch64":
        check_aarch64_operations(functions)
    else:
        fail(f"no code check for processor '{processor}'")


if __name__ == "__main__":
    main()
