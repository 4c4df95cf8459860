#!/usr/bin/env bash
# Runs padring the way a person would, one scenario per ctest test:
#   padring_cli_test.sh PADRING Demo|Takeover|BadInput|Interrupt|Owners
set -euo pipefail

padring=$1
scenario=$2
prefix="padring-test-$scenario-$$"
name=$prefix
source "$(dirname "${BASH_SOURCE[0]}")/cli_test_helpers.sh"

# count file: at least count samples in watch's output $work/file, each
# following the one before unless a skip is reported, sample n in slot n % 8
# (the pattern began in an empty ring), and no line watch is not known to print.
expect_watch_sequence() {
    awk -v least="$1" '
        / samples skipped\)$/ { skip = 1; next }
        /^(waiting for a producer|watching) |^ +sample slot |^\/[^ ]*:? (has no producer|producer pid|was removed)|^stopped: / { next }
        $1 ~ /^[0-9]+$/ && (NF == 8 || (NF == 9 && $3 $4 == "earlierlap")) {
            if (seen && !skip && $1 != last + 1) { print "sample " $1 " after " last; bad = 1 }
            if ($2 != $1 % 8) { print "sample " $1 " in slot " $2; bad = 1 }
            last = $1; seen++; skip = 0; next
        }
        { print "unexpected line " NR ": " $0; bad = 1 }
        END { if (seen < least) { print "only " seen " samples"; bad = 1 } exit bad }
    ' "$work/$2" || fail "watch printed a wrong sequence"
}

# readers file: a table row for the producer and each reader, and a passing verdict.
expect_demo_summary() {
    grep -q '^verdict: PASS' "$work/$2" &&
        [[ $(grep -cE '^(producer|reader [0-9]+) +[0-9]+ ' "$work/$2") == $(($1 + 1)) ]] ||
        fail "no passing verdict over $(($1 + 1)) processes"
}

case $scenario in
Demo)
    # Producers killed at random moments and taken over: still a pass.
    expect_exit 0 demo "$padring" demo --seconds 2 --kill-producer 4
    expect_demo_summary 3 demo
    grep -q "^verdict: PASS (.* across 5 producers" "$work/demo" || fail "the verdict leaves producers out"
    expect_gone "$(sed -n 's/.* share the pad ring \(\/[^ ]*\) .*/\1/p' "$work/demo")"
    ;;

Takeover)
    # A watcher may come before its producer. Killed, a producer leaves its
    # ring; the watcher reads on and a new producer takes over.
    start watch "$padring" watch --name "$name" --wait
    watcher=$!
    sleep 0.3
    start first "$padring" produce --name "$name" --rate 2000
    first=$!
    await_ring "$name"
    sleep 0.5
    # A reader that went away is no error.
    "$padring" watch --name "$name" 2>"$work/stderr" | head -1 >/dev/null || fail "watch | head exited $?"
    [[ ! -s $work/stderr ]] || fail "a closed pipe is reported"
    kill -KILL "$first"
    wait "$first" 2>/dev/null || true
    sleep 0.5
    umask 077  # --mode widens it to let every user read, whatever the umask
    start second "$padring" produce --name "$name" --rate 2000 --mode 0644
    second=$!
    sleep 1
    expect_exit 0 dump "$padring" dump --name "$name"
    grep -q "^pad ring /$name: .* (owner $(id -un), mode 0644)" "$work/dump" || fail "dump shows no mode 0644"
    grep -q "^taking over /$name, its producer (pid $first) is gone$" "$work/second" ||
        fail "the takeover is not announced"

    # A closed terminal stops it like Ctrl-C; the watcher sees the ring go.
    kill -HUP "$second"
    finish "$second" || fail "produce exited $? after SIGHUP"
    expect_gone "$name"
    finish "$watcher" || fail "watch exited $? across the takeover"
    # Watch notes the producer gone, then the new one before the first sample it wrote.
    first_new=$(sed -n 's/^producing into .* from sample \([0-9]*\);.*/\1/p' "$work/second")
    awk -v first="$first_new" -v dead="$first" -v who="$second" '
        index($0, " has no producer (pid " dead " is gone)") { gone = 1 }
        $0 ~ "^/[^ ]*: producer pid " who " took over$" { announced = gone }
        $1 ~ /^[0-9]+$/ && NF >= 8 && $1 + 0 >= first + 0 { reached = 1; exit }
        END { exit !(announced && reached) }
    ' "$work/watch" || fail "watch did not note the producer gone, then the new one, before sample $first_new"
    ended="/$name was removed, its producer has stopped|stopped: [0-9]+ samples received, (at least )?[0-9]+ skipped, 0 problems"
    [[ $(grep -cxE "$ended" "$work/watch") == 2 ]] || fail "watch did not see the ring go and end cleanly"
    expect_watch_sequence 1000 watch  # the pattern goes on across the takeover
    ;;

BadInput)
    expect_error 2 "unknown command 'frob'" "$padring" frob
    expect_error 2 "--rate: 'abc' is not a decimal number" "$padring" demo --rate abc
    expect_error 2 "--readers: Value 0 not in range 1 to 16" "$padring" demo --readers 0
    expect_error 2 "--readers: '1e1' is not a decimal whole number" "$padring" demo --readers 1e1
    expect_error 2 "--mode: 'rw' is not an octal mode" "$padring" produce --name "$name" --mode rw
    expect_error 2 "--name is required" "$padring" watch
    expect_error 2 "The following arguments were not expected: --nme pad" "$padring" produce --nme pad
    expect_error 2 "ring name 'a/b' has a '/'" "$padring" dump --name a/b
    "$padring" --version | grep -qx "padring [0-9.]*" || fail "--version"
    # Numbers are decimal, leading zeros or not.
    expect_exit 0 demo "$padring" demo --readers 010 --seconds 0.1
    expect_demo_summary 10 demo
    expect_error 1 "no shared pad ring /$name: no shared-memory object has that name (--wait" \
        "$padring" watch --name "$name"
    # The demo makes a ring of its own, and leaves an object it did not make alone.
    head -c 4096 /dev/zero >"/dev/shm/$name-other"
    expect_error 1 "cannot make /$name-other: a shared-memory object of that name exists" \
        "$padring" demo --name "$name-other" --seconds 1
    [[ $(stat -c %s "/dev/shm/$name-other") == 4096 ]] || fail "the demo changed an object it did not make"

    # Output that cannot be written is an error, and a closed stdout must not
    # let the ring take its number. The ring is left for what follows.
    expect_error 1 "cannot write the output: Bad file descriptor" bash -c 'exec "$@" >&-' without-stdout \
        timeout --preserve-status -k 5 -s INT 0.5 "$padring" produce --name "$name" --keep
    [[ $(stat -c %a "/dev/shm/$name") == 600 ]] || fail "the ring is not private by default"

    # Control fields written by hand (the ring at byte 64: lap tick, old lap
    # tick, pointer), as a live ring holds them for an instant: dump names
    # each slot's lap.
    put() { printf "$2" | dd of="/dev/shm/$name" bs=1 seek="$1" conv=notrunc status=none; }
    put 72 '\xff\xff\xff\xff\xff\xff\xff\xff'
    put 80 '\x03\x00\x00\x00'  # the first lap, slot 3 the newest
    expect_exit 0 dump "$padring" dump --name "$name"
    [[ $(grep -cE '^ +[0-3] current ' "$work/dump") == 4 &&
        $(grep -cE '^ +[4-7] unwritten ' "$work/dump") == 4 ]] &&
        grep -qE '^ +3 current .*<- newest$' "$work/dump" || fail "dump does not show the first lap"
    dd if="/dev/shm/$name" bs=1 skip=64 count=8 status=none |
        dd of="/dev/shm/$name" bs=1 seek=72 conv=notrunc status=none
    put 80 '\x00\x00\x00\x00'  # slot 0 published, its lap tick not yet
    expect_exit 0 dump "$padring" dump --name "$name"
    grep -qE '^ +0 next ' "$work/dump" && grep -qE '^ +7 current .*<- newest$' "$work/dump" ||
        fail "dump does not show a lap start with slot 7 the newest"

    # A damaged ring: one line per distinct problem, not one per poll.
    put 80 '\x63\x00\x00\x00'
    expect_exit 1 damaged timeout --preserve-status -k 5 -s INT 2 "$padring" watch --name "$name"
    [[ $(grep -c '^problem 1: ring check failed at .*: -1 <= writePointer' "$work/damaged") == 1 &&
        $(grep -c '^problem' "$work/damaged") -le 4 ]] || fail "not one line for the damage"
    expect_exit 1 dump "$padring" dump --name "$name"
    grep -qE '^  m_writePointer +99  DAMAGED: outside -1..7$' "$work/dump" &&
        ! grep -q '<- newest' "$work/dump" || fail "dump does not mark the damage alone"
    expect_exit 0 remove "$padring" remove --name "$name"
    expect_gone "$name"
    ;;

Interrupt)
    # Ctrl-C in a terminal signals the demo's whole process group; SIGTERM the
    # demo alone, which stops its children; SIGKILL takes them with it.
    for signal in INT TERM KILL; do
        start "$signal" setsid "$padring" demo --seconds 60 --name "$name"
        demo=$!
        await_ring "$name"
        sleep 1
        target=$demo
        [[ $signal != INT ]] || target=-$demo
        kill -"$signal" -- "$target"
        status=0
        finish "$demo" 2>/dev/null || status=$?
        if [[ $signal != KILL ]]; then
            ((status == 0)) || fail "the demo exited $status after SIG$signal"
            expect_demo_summary 3 "$signal"
        fi
        await "[[ ! -e /dev/shm/$name && -z \$(ps -o stat= -s $demo | grep -v '^Z') ]]"
    done
    ;;

Owners)
    # Another user's ring, trusted when its owner is named.
    if [[ $(id -u) != 0 ]]; then
        echo "Owners: skipped: acting as another user needs root"
        exit 77
    fi
    other=qor-test-user
    id "$other" >/dev/null 2>&1 ||
        useradd --system --no-create-home --shell /usr/sbin/nologin "$other" ||
        id "$other" >/dev/null 2>&1 || fail "cannot make the user $other"
    start produce setpriv --reuid="$other" --regid="$other" --clear-groups \
        "$padring" produce --name "$name" --mode 0644
    await "'$padring' dump --name '$name' --owner $other >/dev/null 2>&1"
    expect_exit 0 watch timeout --preserve-status -k 5 -s INT 0.5 "$padring" watch --name "$name" --owner "$other"
    grep -q "^stopped: [1-9][0-9]* samples received" "$work/watch" || fail "watch --owner received nothing"
    ;;

*)
    fail "unknown scenario"
    ;;
esac
echo "$scenario: ok"
