# shellcheck shell=bash
# Steps shared by the command-line tests, sourced once the script has set
# scenario, padring and prefix (every ring a scenario makes is named with it).
# Whatever the script leaves running, or in /dev/shm, goes when it ends.
work=$(mktemp -d)
cleanup() {
    exec 2>/dev/null  # the shell would report each job killed here
    { kill -KILL $(jobs -rp); wait; } || true
    rm -rf "$work"
    rm -f /dev/shm/"$prefix"*
}
trap cleanup EXIT

fail() {
    echo "FAIL ($scenario): $*" >&2
    for file in "$work"/*; do echo "--- ${file##*/}:"; cat "$file"; done >&2
    exit 1
}

# log command...: runs the command in the background, its output in $work/log.
start() {
    "${@:2}" >"$work/$1" 2>&1 &
}

# Waits up to 15 s for a condition.
await() {
    for _ in $(seq 300); do
        eval "$1" && return 0
        sleep 0.05
    done
    fail "timed out waiting for: $1"
}

# Waits until the ring can be opened: made, and its header published.
await_ring() {
    await "'$padring' dump --name '$1' >/dev/null 2>&1"
}

# Waits for a background process to end and gives its status.
finish() {
    await "! kill -0 $1 2>/dev/null"
    wait "$1"
}

expect_gone() {
    [[ ! -e /dev/shm/${1#/} ]] || fail "shared-memory object $1 was left behind"
}

# status log command...: the command's output goes to $work/log and its
# errors to $work/stderr; it must exit with that status.
expect_exit() {
    local expected=$1 log=$2 status=0
    shift 2
    "$@" >"$work/$log" 2>"$work/stderr" || status=$?
    ((status == expected)) || fail "$* exited $status, not $expected"
}

# status pattern command...: as expect_exit, with exactly one line on
# stderr, holding the pattern.
expect_error() {
    expect_exit "$1" stdout "${@:3}"
    [[ $(wc -l <"$work/stderr") == 1 ]] && grep -qF -- "$2" "$work/stderr" ||
        fail "${*:3}: not one line with '$2'"
}
