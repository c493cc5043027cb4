# Shared by the scripted tests (sourced, not run): counting results, waiting
# for the simulated phone's daemon, and ending background programs.

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Kills those of the given processes that still run, and reaps them.
kill_all() {
    for pid in "$@"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -KILL "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
}

# Waits up to 5 s for the line "ready" in FILE while process PID runs.
wait_ready() {
    local file=$1 pid=$2
    for _ in $(seq 1 100); do
        grep -qx ready "$file" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    return 1
}
