#!/usr/bin/env bash
# Runs padservice and padring as a person would, one scenario per ctest test:
#   padservice_cli_test.sh PADSERVICE PADRING RoundTrip|BadInput|Restart|Show
set -euo pipefail

padservice=$1
padring=$2
scenario=$3
prefix="padservice-test-$scenario-$$-"
source "$(dirname "${BASH_SOURCE[0]}")/../../../tools/padring/tests/cli_test_helpers.sh"
trap 'tmux -L "$prefix" kill-server 2>/dev/null || true; cleanup' EXIT

samples() {  # the sample lines of a record file
    grep -v '^#' "$1"
}

states() {  # hold, x and y of each sample line
    samples "$1" | awk '{ print $2, $5, $6 }'
}

# Replays file $1 at speed $2 onto player ring 0, records it into $3, and
# stops the service with signal $4.
replay_and_record() {
    local count recorder service
    count=$(samples "$1" | wc -l)
    start record "$padring" record --name "${prefix}0" --wait --out "$3"
    recorder=$!
    start service "$padservice" --name "$prefix" --players 1 --speed "$2" --replay "$1"
    service=$!
    await "grep -q 'played all' '$work/service' && [[ \$(samples '$3' | wc -l) -ge $count ]]"
    kill "-$4" "$service"
    finish "$service" || fail "padservice exited $? after SIG$4"
    finish "$recorder" || fail "padring record exited $?"
    grep -q "^recorded $count samples from /${prefix}0, missed 0; the ring was removed$" \
        "$work/record" || fail "record did not sum up its samples"
}

case $scenario in
RoundTrip)
    # Buttons, both triggers (bits 21, 22), the stick's ends, a bit no control
    # maps (23), changes 30 ms apart after the first, which opens the record.
    cat >"$work/played" <<'LINES'
# padring samples 1
0 0x00000011 0x00000000 0x00000000 100 -200
400000 0x00800003 0x00000000 0x00000000 -32768 32767
430000 0x00600001 0x00000000 0x00000000 32767 -32768
460000 0x00000400 0x00000000 0x00000000 0 0
490000 0x00000000 0x00000000 0x00000000 0 0
LINES
    replay_and_record "$work/played" 1 "$work/recorded" INT
    [[ $(grep -c "hold bits 0x00800000 map to no control" "$work/service") == 1 ]] ||
        fail "the unmapped bit is not reported once"
    diff <(states "$work/played" | sed 's/^0x00800003/0x00000003/') <(states "$work/recorded") ||
        fail "the recording's states differ from the file's"
    # The third: A held on, B released, both triggers pressed.
    [[ $(samples "$work/recorded" | sed -n 3p | cut -d' ' -f2-4) == "0x00600001 0x00600000 0x00000002" ]] ||
        fail "the recording's trigger and release are not what changed"

    # The recording replayed, faster, and recorded again: the same states.
    replay_and_record "$work/recorded" 4 "$work/again" TERM
    diff <(states "$work/recorded") <(states "$work/again") || fail "the round trip changed states"
    ;;

Restart)
    # Two replays, x counting up through both, 10 ms apart after a pause that
    # leaves the consumer time to see how each starts.
    lines() { awk -v from="$1" -v to="$2" 'BEGIN { print "# padring samples 1"
        for (x = from; x <= to; x++) printf "%d 0x%08x 0x0 0x0 %d 0\n", (x - from) * 10000 + (x > from) * 500000, x % 2, x }'; }
    lines 1 300 >"$work/first"
    lines 1001 1100 >"$work/second"
    start record "$padring" record --name "${prefix}0" --wait --out "$work/recorded"
    recorder=$!
    start service "$padservice" --name "$prefix" --players 1 --replay "$work/first"
    first=$!
    await "[[ \$(samples '$work/recorded' | wc -l) -ge 50 ]]"
    kill -KILL "$first"
    wait "$first" 2>/dev/null || true
    # The next service takes the ring over; the consumer reads on.
    start again "$padservice" --name "$prefix" --players 1 --keep --replay "$work/second"
    again=$!
    await "grep -q 'played all' '$work/again'"
    grep -q "^took over /${prefix}0 from pid $first, which is gone$" "$work/again" ||
        fail "the takeover is not reported"
    # A closed terminal stops it; --keep leaves the ring.
    kill -HUP "$again"
    finish "$again" || fail "padservice exited $? after SIGHUP"
    expect_exit 0 dump "$padring" dump --name "${prefix}0"
    grep -q "producer: none (the last stopped; 2 so far)" "$work/dump" || fail "no producer expected"
    kill -INT "$recorder"
    finish "$recorder" || fail "padring record exited $?"

    # What the dead service's controller held is released by the next service,
    # and what the stopped one's held by itself: a neutral sample each.
    [[ $(samples "$work/recorded" | grep -c ' 0x00000000 .* 0 0$') == 2 ]] ||
        fail "not one release at the takeover and one at the stop"
    # Never back, never twice: x rises throughout (with gaps where the first
    # service died or a busy machine kept the consumer from reading), up to
    # the second replay's last line.
    samples "$work/recorded" | awk '$5 == 0 { next } $5 <= last { print "x " $5 " after " last; bad = 1 }
        { last = $5 } END { exit bad || last != 1100 }' || fail "a sample came back, or not the last"
    ;;

Show)
    # A held, the left trigger pressed, the stick in the top right corner.
    printf '# padring samples 1\n0 0x00200001 0x0 0x0 32767 32767\n' >"$work/shown"
    start service "$padservice" --name "$prefix" --players 1 --replay "$work/shown"
    service=$!
    await "grep -q 'played all' '$work/service'"
    term() { tmux -L "$prefix" "$@"; }
    term new-session -d -s show -x 100 -y 30 "bash --norc --noprofile"
    # Each run notes the terminal's settings before and after, and its status.
    printf '%s\n' "stty -g >'$work/before'" "'$padring' show --name ${prefix}0" \
        "echo \$? >'$work/status'" "stty -g >'$work/after'" >"$work/run"
    for key in q C-c; do
        rm -f "$work/status" "$work/after"
        term send-keys -t show ". '$work/run'" Enter
        await "term capture-pane -p -t show | grep -q 'x 32767  y 32767'"
        term capture-pane -p -t show >"$work/screen"
        grep -q "controller: replay of shown (connection 1)" "$work/screen" &&
            grep -q "producer: running (pid $service)" "$work/screen" || fail "no controller or producer"
        grep -q '^\[A\]  B  ' "$work/screen" && grep -q ' \[LT\]  RT' "$work/screen" ||
            fail "A and LT are not the only lit labels"
        # The dot in the top right corner of the box: the row under its top edge.
        [[ $(grep -A1 '^+---' "$work/screen" | sed -n 2p) == "|$(printf '%30s')o|" ]] ||
            fail "the dot is not in the top right corner"

        term send-keys -t show "$key"
        await "[[ -s '$work/after' && -s '$work/status' ]]"
        [[ $(cat "$work/status") == 0 ]] || fail "show exited $(cat "$work/status") after $key"
        cmp -s "$work/before" "$work/after" || fail "$key left the terminal changed"
        term capture-pane -p -t show >"$work/screen"
        ! grep -q 'quits' "$work/screen" || fail "$key left the picture on the screen"
    done
    ;;

BadInput)
    printf '# padring samples 1\n0 0x1 0x0 0x0 0 0\n10 0x1 0x0 0x0 40000 0\n' >"$work/bad"
    expect_error 1 "$work/bad:3: x '40000' is not a whole number from -32768 to 32767" \
        "$padservice" --name "$prefix" --replay "$work/bad"
    [[ ! -s $work/stdout ]] && ! compgen -G "/dev/shm/$prefix*" >/dev/null || fail "something played"
    printf 'MICROSECONDS HOLD\n' >"$work/bad"
    expect_error 1 "$work/bad:1: not a file of pad samples" "$padservice" --name "$prefix" --replay "$work/bad"

    # A replay onto a ring whose producer lives is refused, as produce is.
    start produce "$padring" produce --name "${prefix}1"
    producer=$!
    await_ring "${prefix}1"
    printf '# padring samples 1\n0 0x1 0x0 0x0 0 0\n' >"$work/good"
    expect_error 1 "cannot produce into /${prefix}1: its producer, pid $producer, is running" \
        "$padservice" --name "$prefix" --players 2 --replay "$work/good"
    expect_gone "${prefix}0"
    ;;
esac
