#!/usr/bin/env bash
# Runs padring the way a person would, one scenario per ctest test:
#   padring_cli_test.sh PADRING Demo|Attach|Takeover|BadInput|Interrupt|Owners
# Each scenario uses ring names of its own and checks that no shared-memory
# object is left behind.
set -euo pipefail

padring=$1
scenario=$2
name="padring-test-$scenario-$$"
work=$(mktemp -d)
trap 'rm -rf "$work"; rm -f "/dev/shm/$name"' EXIT

fail() {
    echo "FAIL ($scenario): $*" >&2
    exit 1
}

show() {
    echo "--- $1:"
    cat "$work/$1"
}

expect_gone() {
    [[ ! -e /dev/shm/${1#/} ]] || fail "shared-memory object $1 was left behind"
}

# Waits until the ring can be opened: made, and its header published.
wait_for_ring() {
    for _ in $(seq 100); do
        "$padring" dump --name "$name" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    fail "no ring $name appeared"
}

# out arguments...: runs padring with its output in $work/out; shows it and
# fails with padring's own status if that is not 0.
run() {
    local out=$1 status=0
    shift
    "$padring" "$@" >"$work/$out" 2>&1 || status=$?
    ((status == 0)) || { show "$out"; fail "padring $* exited $status"; }
}

# pid out what: as wait_for_exit, failing with the status unless it is 0.
wait_ok() {
    local status=0
    wait_for_exit "$1" || status=$?
    ((status == 0)) || { show "$2"; fail "$3 exited $status"; }
}

# Waits up to 15 s for a background process and returns its status.
wait_for_exit() {
    for _ in $(seq 300); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$1" 2>/dev/null && fail "process $1 did not stop"
    local status=0
    wait "$1" || status=$?
    return "$status"
}

# status pattern arguments...: padring must fail with that status and exactly
# one line on stderr that contains pattern.
expect_error() {
    local expected=$1 pattern=$2 status=0
    shift 2
    "$padring" "$@" >"$work/stdout" 2>"$work/stderr" || status=$?
    check_error "$expected" "$pattern" "$status" "$*"
}

# expected pattern status command: as expect_error, for a command already run
# with its stderr in $work/stderr.
check_error() {
    [[ $3 == "$1" ]] || fail "padring $4 exited $3, not $1"
    [[ $(wc -l <"$work/stderr") == 1 ]] || { show stderr; fail "padring $4 did not give one line"; }
    grep -qF -- "$2" "$work/stderr" || { show stderr; fail "padring $4: no '$2'"; }
}

# At least $1 sample lines in watch's output, each number following the one
# before unless a skip is reported, and sample n in slot n % 8 (the pattern
# started in an empty ring). Any line watch is not known to print fails it.
expect_watch_sequence() {
    awk -v least="$1" '
        / samples skipped\)$/ { skip = 1; next }
        /^watching |^ +sample slot |^\/[^ ]*:? (has no producer|producer pid|was removed)|^stopped: / { next }
        $1 ~ /^[0-9]+$/ && (NF == 8 || (NF == 9 && $3 $4 == "earlierlap")) {
            if (seen && !skip && $1 != last + 1) { print "sample " $1 " after " last; bad = 1 }
            if ($2 != $1 % 8) { print "sample " $1 " in slot " $2; bad = 1 }
            last = $1; seen++; skip = 0; next
        }
        { print "unexpected line " NR ": " $0; bad = 1 }
        END { if (seen < least) { print "only " seen " samples"; bad = 1 } exit bad }
    ' "$work/watch" || { show watch; fail "watch printed a wrong sequence"; }
}

# Demo output: a table row for the producer and each reader, and a passing verdict.
check_demo_output() {
    local readers=$1 file=$work/$2
    grep -q '^verdict: PASS' "$file" || { show "$2"; fail "no passing verdict"; }
    [[ $(grep -cE '^(producer|reader [0-9]+) +[0-9]+ ' "$file") == $((readers + 1)) ]] ||
        { show "$2"; fail "the summary does not list $((readers + 1)) processes"; }
}

case $scenario in
Demo)
    run demo demo --seconds 2
    check_demo_output 3 demo
    ring=$(sed -n 's/.* share the pad ring \(\/[^ ]*\) .*/\1/p' "$work/demo")
    [[ -n $ring ]] || fail "the demo did not name its ring"
    expect_gone "$ring"

    # Producers killed at random moments and taken over: still a pass.
    run kills demo --seconds 2 --kill-producer 4
    check_demo_output 3 kills
    grep -q "^the producer was killed with SIGKILL 4 times" "$work/kills" ||
        { show kills; fail "the kills are not reported"; }
    grep -q "^verdict: PASS (.* across 5 producers" "$work/kills" ||
        { show kills; fail "the verdict does not cover every producer"; }
    ;;

Attach)
    # A watcher may come before its producer.
    "$padring" watch --name "$name" --wait >"$work/early-watch" 2>&1 &
    early_watcher=$!
    sleep 0.3
    "$padring" produce --name "$name" --rate 2000 >"$work/produce" 2>&1 &
    producer=$!
    wait_for_ring
    "$padring" watch --name "$name" >"$work/late-watch" 2>&1 &
    late_watcher=$!
    "$padring" watch --name "$name" >"$work/watch" 2>&1 &
    sleep 1
    kill -INT $!
    wait_ok $! watch watch
    run dump dump --name "$name"
    kill -INT "$producer"
    wait_ok "$producer" produce produce
    expect_gone "$name"
    # The watchers left running notice that their ring is gone and stop by themselves.
    for watcher in late-watch:$late_watcher early-watch:$early_watcher; do
        wait_ok "${watcher#*:}" "${watcher%:*}" "${watcher%:*}"
        grep -q "was removed" "$work/${watcher%:*}" || { show "${watcher%:*}"; fail "no removal note"; }
    done
    grep -qE '^ +[0-9]+ +[0-7] ' "$work/early-watch" || { show early-watch; fail "watch --wait got no samples"; }

    grep -q "^stopped after [1-9][0-9]* samples; removed /$name\$" "$work/produce" ||
        { show produce; fail "produce did not report its end"; }

    expect_watch_sequence 500
    grep -qE '^stopped: [0-9]+ samples received, (at least )?[0-9]+ skipped, 0 problems$' "$work/watch" ||
        { show watch; fail "watch did not end cleanly"; }

    [[ $(grep -cE '^ +[0-7] (current|previous) ' "$work/dump") == 8 ]] ||
        { show dump; fail "dump does not show eight written slots"; }
    [[ $(grep -c ' <- newest$' "$work/dump") == 1 ]] || { show dump; fail "no single newest slot"; }
    grep -qE '^  m_writePointer +[0-7] ' "$work/dump" || { show dump; fail "no write pointer"; }
    ;;

Takeover)
    # A second producer is refused while the first lives.
    "$padring" produce --name "$name" --rate 2000 >"$work/first" 2>&1 &
    first=$!
    wait_for_ring
    expect_error 1 "cannot produce into /$name: its producer, pid $first, is running" \
        produce --name "$name"
    "$padring" watch --name "$name" >"$work/watch" 2>&1 &
    watcher=$!
    sleep 0.5

    # Killed, it leaves its ring; watch reads on and a new producer takes over.
    kill -KILL "$first"
    wait "$first" 2>/dev/null || true
    sleep 0.5
    run dump dump --name "$name"
    grep -q "^  producer: none (pid $first is gone" "$work/dump" ||
        { show dump; fail "dump does not say the producer is gone"; }
    # Widened to let every user read, whatever the umask.
    (umask 077 && exec "$padring" produce --name "$name" --rate 2000 --mode 0644) \
        >"$work/second" 2>&1 &
    second=$!
    sleep 1
    [[ $(stat -c %a "/dev/shm/$name") == 644 ]] || fail "--mode 0644 did not set the mode"
    grep -q "^taking over /$name, its producer (pid $first) is gone$" "$work/second" ||
        { show second; fail "the takeover is not announced"; }
    # The demo makes a ring of its own; it leaves a live producer's alone.
    expect_error 1 "cannot make /$name: a shared-memory object of that name exists" \
        demo --name "$name" --seconds 1
    kill -0 "$second" || fail "the demo disturbed the live producer"

    # A closed terminal stops it like Ctrl-C; the watcher sees the ring go.
    kill -HUP "$second"
    wait_ok "$second" second "produce after SIGHUP"
    expect_gone "$name"
    wait_ok "$watcher" watch "watch across the takeover"
    grep -q "^/$name has no producer (pid $first is gone)" "$work/watch" ||
        { show watch; fail "watch did not notice the dead producer"; }
    grep -q "^/$name: producer pid $second took over$" "$work/watch" ||
        { show watch; fail "watch did not notice the takeover"; }
    # ... before the first sample the new producer wrote.
    first_new=$(sed -n 's/^producing into .* from sample \([0-9]*\);.*/\1/p' "$work/second")
    awk -v first="$first_new" -v who="$second" '
        / took over$/ && $4 == who { announced = 1 }
        $1 ~ /^[0-9]+$/ && NF >= 8 && $1 + 0 >= first + 0 { exit announced ? 0 : 1 }
    ' "$work/watch" || { show watch; fail "sample $first_new came before the takeover note"; }
    grep -q "was removed" "$work/watch" || { show watch; fail "no removal note"; }
    grep -q "^stopped: .* 0 problems$" "$work/watch" || { show watch; fail "watch reported a problem"; }
    expect_watch_sequence 1000  # the pattern goes on across the takeover
    ;;

BadInput)
    expect_error 2 "unknown command 'frob'" frob
    expect_error 2 "not expected: --bogus" demo --bogus
    expect_error 2 "--rate: 'abc' is not a decimal number" demo --rate abc
    expect_error 2 "--readers: Value 0 not in range 1 to 16" demo --readers 0
    expect_error 2 "--readers: '1e1' is not a decimal whole number" demo --readers 1e1
    expect_error 2 "--mode: 'rw' is not an octal mode" produce --name "$name" --mode rw
    expect_error 2 "--name is required" watch
    expect_error 2 "The following arguments were not expected: --nme pad" produce --nme pad
    expect_error 2 "--name: the ring name is empty" dump --name ""
    "$padring" --version | grep -qx "padring [0-9.]*" || fail "--version"
    # Numbers are decimal, leading zeros or not.
    run demo demo --readers 010 --seconds 0.1
    check_demo_output 10 demo
    "$padring" demo --readers 1 --seconds 0.1 | grep -q " and 1 reader share " || fail "1 reader"
    expect_error 2 "ring name 'a/b' has a '/'" dump --name a/b
    # What the library refuses is one line and status 1 (the library's tests
    # go through each refusal).
    expect_error 1 "no shared pad ring /$name: no shared-memory object has that name (--wait" \
        watch --name "$name"
    expect_error 1 "mode 0666 for /$name: the owner reads and writes, others may only read" \
        produce --name "$name" --mode 0666
    head -c 4096 /dev/zero >"/dev/shm/$name"
    expect_error 1 "/$name is not a shared pad ring" dump --name "$name"
    expect_error 1 "cannot make /$name: a shared-memory object of that name exists" \
        demo --name "$name" --seconds 1
    [[ $(stat -c %s "/dev/shm/$name") == 4096 ]] || fail "the demo changed an object it did not make"
    rm "/dev/shm/$name"

    # A ring left by its producer, its control fields then written by hand
    # (the ring at byte 64: lap tick, old lap tick, pointer). Its output has
    # nowhere to go, and must not go into the ring.
    "$padring" produce --name "$name" --keep >&- 2>"$work/produce" &
    producer=$!
    wait_for_ring
    sleep 0.3
    kill -INT "$producer"
    status=0
    wait_for_exit "$producer" || status=$?
    cp "$work/produce" "$work/stderr"
    check_error 1 "cannot write the output: Bad file descriptor" "$status" "produce >&-"
    # Output that cannot be written is an error; a reader that went away is none.
    status=0
    "$padring" dump --name "$name" >/dev/full 2>"$work/stderr" || status=$?
    check_error 1 "cannot write the output: No space left on device" "$status" "dump >/dev/full"
    status=0
    "$padring" dump --name "$name" >&- 2>"$work/stderr" || status=$?
    check_error 1 "cannot write the output: Bad file descriptor" "$status" "dump >&-"
    "$padring" dump --name "$name" 2>"$work/stderr" | head -1 >/dev/null
    [[ ! -s $work/stderr ]] || { show stderr; fail "a closed pipe is reported"; }
    [[ $(stat -c %a "/dev/shm/$name") == 600 ]] || fail "the ring is not private by default"
    put() { printf "$2" | dd of="/dev/shm/$name" bs=1 seek="$1" conv=notrunc status=none; }

    # States a live ring holds for an instant: dump names each slot's lap.
    put 72 '\xff\xff\xff\xff\xff\xff\xff\xff'
    put 80 '\x03\x00\x00\x00'  # the first lap, slot 3 the newest
    run dump dump --name "$name"
    [[ $(grep -cE '^ +[0-3] current ' "$work/dump") == 4 &&
        $(grep -cE '^ +[4-7] unwritten ' "$work/dump") == 4 ]] &&
        grep -qE '^ +3 current .*<- newest$' "$work/dump" || { show dump; fail "first lap"; }
    dd if="/dev/shm/$name" bs=1 skip=64 count=8 status=none |
        dd of="/dev/shm/$name" bs=1 seek=72 conv=notrunc status=none
    put 80 '\x00\x00\x00\x00'  # slot 0 published, its lap tick not yet
    run dump dump --name "$name"
    grep -qE '^ +0 next ' "$work/dump" && grep -qE '^ +7 current .*<- newest$' "$work/dump" ||
        { show dump; fail "dump does not show a lap start with slot 7 the newest"; }

    # A damaged ring: one line per distinct problem, not one per poll.
    put 80 '\x63\x00\x00\x00'
    status=0
    timeout --preserve-status -s INT 2 "$padring" watch --name "$name" >"$work/damaged" ||
        status=$?
    [[ $status == 1 ]] || { show damaged; fail "watch on a damaged ring exited $status"; }
    [[ $(grep -c '^problem 1: ring check failed at .*: -1 <= writePointer' "$work/damaged") == 1 ]] ||
        { show damaged; fail "the damage is not reported once"; }
    (($(grep -c '^problem' "$work/damaged") <= 4)) || { show damaged; fail "a line per poll"; }
    status=0
    "$padring" dump --name "$name" >"$work/dump" || status=$?
    [[ $status == 1 ]] || { show dump; fail "dump of a damaged ring exited $status"; }
    grep -qE '^  m_writePointer +99  DAMAGED: outside -1..7$' "$work/dump" ||
        { show dump; fail "dump does not mark the damaged pointer"; }
    grep -q '<- newest' "$work/dump" && { show dump; fail "dump names a newest slot in damage"; }
    run remove remove --name "$name"
    expect_gone "$name"

    for command in "" demo produce watch dump remove; do
        # shellcheck disable=SC2086
        run help $command --help
        grep -q "^Usage: padring $command" "$work/help" || { show help; fail "no usage line"; }
    done
    ;;

Interrupt)
    # Ctrl-C in a terminal signals the whole process group: the demo and its children.
    setsid "$padring" demo --seconds 60 --name "$name" >"$work/ctrl-c" 2>&1 &
    demo=$!
    wait_for_ring
    sleep 1
    [[ $(ps -o pgid= -p "$demo" | tr -d ' ') == "$demo" ]] || fail "the demo has no group of its own"
    kill -INT -- "-$demo"
    wait_ok "$demo" ctrl-c "the demo after Ctrl-C"
    check_demo_output 3 ctrl-c
    expect_gone "$name"
    pgrep -g "$demo" >/dev/null && fail "processes of the demo outlived it"

    # SIGTERM to the demo alone: it stops its children itself.
    "$padring" demo --seconds 60 --readers 2 --name "$name" >"$work/term" 2>&1 &
    demo=$!
    wait_for_ring
    sleep 1
    kill -TERM "$demo"
    wait_ok "$demo" term "the demo after SIGTERM"
    check_demo_output 2 term
    expect_gone "$name"

    # SIGKILL to the demo: its children end with it, and its producer removes the ring.
    "$padring" demo --seconds 60 --name "$name" >/dev/null 2>&1 &
    demo=$!
    wait_for_ring
    children=$(pgrep -P "$demo" | tr '\n' ' ')
    kill -KILL "$demo"
    wait "$demo" 2>/dev/null || true
    for _ in $(seq 100); do
        running=$(ps -o stat= -p "${children// /,}" 2>/dev/null | grep -vc '^Z') || true
        [[ $running == 0 && ! -e /dev/shm/$name ]] && break
        sleep 0.05
    done
    [[ $running == 0 ]] || fail "$running children of a killed demo run on"
    expect_gone "$name"
    ;;

Owners)
    # Another user's ring, as its producer would leave it: trusted only when
    # named, never produced into, and never once others may write it.
    if [[ $(id -u) != 0 ]]; then
        echo "Owners: skipped: acting as another user needs root"
        exit 77
    fi
    other=qor-test-user
    id "$other" >/dev/null 2>&1 ||
        useradd --system --no-create-home --shell /usr/sbin/nologin "$other" ||
        id "$other" >/dev/null 2>&1 || fail "cannot make the user $other"
    setpriv --reuid="$other" --regid="$other" --clear-groups \
        "$padring" produce --name "$name" --mode 0644 --keep >"$work/produce" 2>&1 &
    producer=$!
    trap 'kill -KILL "$producer" 2>/dev/null || true; rm -rf "$work"; rm -f "/dev/shm/$name"' EXIT
    for _ in $(seq 100); do
        "$padring" dump --name "$name" --owner "$other" >"$work/dump" 2>&1 && break
        sleep 0.05
    done
    grep -q "^pad ring /$name: [0-9]*-byte shared-memory object (owner $other, mode 0644)" \
        "$work/dump" || { show dump; fail "dump does not show the owner and the mode"; }
    expect_error 1 "refusing /$name (owner $other, mode 0644): only root's rings or an owner named" \
        watch --name "$name"
    expect_error 1 "cannot produce into /$name (owner $other, mode 0644): it belongs to another" \
        produce --name "$name"
    expect_error 1 "cannot trust 'qor-no-such-user' as the owner of /$name: no such user" \
        watch --name "$name" --owner qor-no-such-user
    timeout --preserve-status -s INT 0.5 "$padring" watch --name "$name" --owner "$other" \
        >"$work/watch" || { show watch; fail "watch --owner exited $?"; }
    grep -q "^stopped: [1-9][0-9]* samples received" "$work/watch" ||
        { show watch; fail "watch --owner received nothing"; }
    kill -INT "$producer"
    wait_for_exit "$producer" || { show produce; fail "the other user's produce exited $?"; }
    setpriv --reuid="$other" --regid="$other" --clear-groups chmod 0664 "/dev/shm/$name"
    expect_error 1 "refusing /$name (owner $other, mode 0664): its group or others may write it" \
        dump --name "$name" --owner "$other"
    ;;

*)
    fail "unknown scenario"
    ;;
esac
echo "$scenario: ok"
