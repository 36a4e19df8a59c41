#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer, runs every test, then
# runs servo-sim against node-opcua's client and the panel against servo-sim, killing and
# restarting the simulator while the panel runs. Any sanitizer report fails the run.
# Not part of CI: it takes several minutes on two cores. Runs niced so as not to disturb
# measurements made at the same time.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-asan}"
jobs="${JOBS:-2}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if [[ -f "$root/tests/sanitizers.supp" ]]; then
    export LSAN_OPTIONS="suppressions=$root/tests/sanitizers.supp"
fi

nice -n 19 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" -DSERVO_PANEL_BENCH=OFF >/dev/null
nice -n 19 ninja -C "$build" -j "$jobs"
nice -n 19 ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$jobs"

work="$(mktemp -d)"
sim_pid=""
panel_pid=""
cleanup()
{
    [[ -n "$panel_pid" ]] && kill "$panel_pid" 2>/dev/null || true
    [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

failed=0
# Prints the sanitizer reports in a log; returns 1 when there are any.
check_log()
{
    if grep -qE 'ERROR: (Address|Leak)Sanitizer|runtime error:' "$1"; then
        echo "sanitizer report in $2:" >&2
        cat "$1" >&2
        return 1
    fi
}

# Starts servo-sim on the given port (0: any free one) and waits for its ready line.
start_sim()
{
    local log="$work/sim-$2.log"
    nice -n 19 "$build/sim/servo-sim" --host 127.0.0.1 --port "$1" >"$work/sim.out" 2>"$log" &
    sim_pid=$!
    for _ in $(seq 100); do
        if grep -q 'listening on' "$work/sim.out"; then
            url="$(sed -n 's/^servo-sim listening on //p' "$work/sim.out")"
            return 0
        fi
        sleep 0.1
    done
    echo "servo-sim did not start" >&2
    return 1
}

# Stops servo-sim with SIGTERM and checks it leaves cleanly (exit 0, no leaks).
stop_sim()
{
    kill -TERM "$sim_pid"
    local rc=0
    wait "$sim_pid" || rc=$?
    sim_pid=""
    if [[ $rc -ne 0 ]]; then
        echo "servo-sim exited with $rc" >&2
        failed=1
    fi
}

# servo-sim against node-opcua's client.
start_sim 0 first
port="${url##*:}"
for case in browse read write subscribe many-clients vanish; do
    if ! nice -n 19 node "$root/tests/interop/server/conformance.js" "$url" "$case" \
        "$work/pki" >"$work/node-$case.log" 2>&1; then
        echo "conformance case $case failed:" >&2
        cat "$work/node-$case.log" >&2
        failed=1
    fi
done
stop_sim
check_log "$work/sim-first.log" "servo-sim (node-opcua client)" || failed=1

# The panel against servo-sim; the simulator is killed outright and restarted on the same port
# while the panel runs.
mkdir -p "$work/config/servo-panel"
cat >"$work/config/servo-panel/datacon.ini" <<EOF
[connection]
endpoint=$url
EOF
start_sim "$port" second
XDG_CONFIG_HOME="$work/config" nice -n 19 "$build/app/servo-panel" 2>"$work/panel.log" &
panel_pid=$!
sleep 4
kill -KILL "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
check_log "$work/sim-second.log" "servo-sim (panel, killed)" || failed=1
sleep 2
start_sim "$port" third
sleep 8
if ! kill -0 "$panel_pid" 2>/dev/null; then
    echo "the panel did not survive the simulator's restart" >&2
    failed=1
fi
connections="$(grep -c ': running$' "$work/panel.log" || true)"
if [[ "$connections" -lt 2 ]]; then
    echo "the panel did not reconnect (connected $connections times):" >&2
    failed=1
fi
# The panel has no way to be asked to quit from outside; SIGTERM ends it without the leak check,
# but any memory error would already be in its log.
kill -TERM "$panel_pid" 2>/dev/null || true
wait "$panel_pid" 2>/dev/null || true
panel_pid=""
check_log "$work/panel.log" "servo-panel" || failed=1
stop_sim
check_log "$work/sim-third.log" "servo-sim (panel, restarted)" || failed=1

if [[ $failed -ne 0 ]]; then
    echo "sanitize: FAILED" >&2
    exit 1
fi
echo "sanitize: no sanitizer reports; the panel reconnected after the simulator restarted"
