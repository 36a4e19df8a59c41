#!/usr/bin/env bash
# Usage: scripts/soak.sh DURATION [--valgrind] [--seed N]
#
# Runs the panel (offscreen) against servo-sim through scripts/flakylink.py, a loopback proxy
# that cuts, resets and freezes the link and sends hostile ERR messages at random, for DURATION
# (seconds, or with a suffix: 90s, 10m, 1h). Every minute it prints the faults so far, the
# panel's outages and reconnections (from its servo.opcua.client log lines), the reconnect times
# of that minute and the panel's resident memory (from /proc). After DURATION the proxy stops
# breaking the link and the panel has 20 s to recover from the last fault.
#
# --valgrind runs the panel under valgrind's memcheck (scripts/setup.sh --soak installs it);
# memory errors and definite leaks are then counted from its log, leaving out fontconfig's
# caches (scripts/valgrind.supp).
#
# It fails (exit 1) when the panel dies, an outage is not recovered, a line of its log was not
# started by a message of its own, or valgrind reports an error. Not part of .ci/run. The logs
# stay in the directory printed at the start.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

usage() { sed -n '2,17s/^# \{0,1\}//p' "$0" >&2; exit 2; }
[[ $# -ge 1 ]] || usage
case "$1" in
*h) duration=$((${1%h} * 3600)) ;;
*m) duration=$((${1%m} * 60)) ;;
*s) duration=${1%s} ;;
*[!0-9]* | "") usage ;;
*) duration=$1 ;;
esac
shift
valgrind=0
seed=$RANDOM
while [[ $# -gt 0 ]]; do
    case "$1" in
    --valgrind) valgrind=1 ;;
    --seed) seed="$2"; shift ;;
    *) usage ;;
    esac
    shift
done

if [[ $valgrind -eq 1 ]]; then
    "$root/scripts/setup.sh" --soak
fi
if [[ ! -f "$build/build.ninja" ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target servo-panel servo-sim >/dev/null

work="$(mktemp -d /tmp/soak.XXXXXX)"
pids=()
cleanup()
{
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT
echo "soak: $duration s, seed $seed, logs in $work"

# Waits up to 10 s for the line in which a program says where it listens; prints its port.
port_of()
{
    local out="$1" pattern="$2"
    for _ in $(seq 100); do
        if grep -q "^$pattern" "$out"; then
            sed -n "s/^$pattern.*:\([0-9]*\)$/\1/p" "$out" | head -1
            return 0
        fi
        sleep 0.1
    done
    echo "soak: nothing says \"$pattern\" in $out" >&2
    return 1
}

"$build/sim/servo-sim" --host 127.0.0.1 --port 0 >"$work/sim.out" 2>"$work/sim.err" &
pids+=($!)
sim_port="$(port_of "$work/sim.out" 'servo-sim listening on')"
python3 "$root/scripts/flakylink.py" "$sim_port" --seed "$seed" --duration "$duration" \
    >"$work/faults.log" 2>"$work/flakylink.err" &
pids+=($!)
proxy_port="$(port_of "$work/faults.log" 'flakylink listening on')"

mkdir -p "$work/config/servo-panel"
printf '[connection]\nendpoint=opc.tcp://127.0.0.1:%s\n' "$proxy_port" \
    >"$work/config/servo-panel/datacon.ini"
panel=("$build/app/servo-panel")
if [[ $valgrind -eq 1 ]]; then
    panel=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect
        --errors-for-leak-kinds=definite --num-callers=30 --log-file="$work/valgrind.log"
        --suppressions="$root/scripts/valgrind.supp" "${panel[@]}")
fi
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen \
    QT_LOGGING_RULES="servo.opcua.client.info=true" \
    QT_MESSAGE_PATTERN='%{time process} %{category} %{message}' \
    SERVO_PANEL_LOG=stderr \
    "${panel[@]}" 2>"$work/panel.log" &
panel_pid=$!
pids+=("$panel_pid")

# One line of figures from the logs: the faults so far, the outages and reconnections so far,
# and the reconnect times of outages that ended after second $1 of the panel's run.
figures()
{
    local faults
    faults="$(awk 'NR > 1 { n[$2]++; all++ }
        END { printf "faults %d (cut %d, reset %d, freeze %d, error %d)",
              all, n["cut"], n["reset"], n["freeze"], n["error"] }' "$work/faults.log")"
    awk -v since="$1" -v faults="$faults" '
        $2 != "servo.opcua.client" { next }
        # "connection to URL lost: ..." once per outage; "connected to URL: ..." when back.
        $3 == "connection" && ($6 == "lost:" || $6 == "failed:") {
            if (down == "") { down = $1; outages++ }
            next
        }
        $3 == "connected" && $4 == "to" {
            connects++
            if (down != "") {
                recovered++
                if ($1 >= since) times[n++] = $1 - down
                down = ""
            }
        }
        END {
            for (i = 1; i < n; i++)
                for (j = i; j > 0 && times[j - 1] > times[j]; j--) {
                    t = times[j]; times[j] = times[j - 1]; times[j - 1] = t
                }
            printf "%s; outages %d, recovered %d, connections %d", faults, outages, recovered,
                   connects
            if (n > 0) printf "; reconnect median %.2f s, max %.2f s", times[int(n / 2)], times[n - 1]
            if (down != "") printf "; down since %.1f s", down
        }' "$work/panel.log"
}

rss_mb()
{
    awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$panel_pid/status" 2>/dev/null
}

started=$SECONDS
minute=0
end=$((duration + 20))
while ((SECONDS - started < end)); do
    sleep 5
    if ! kill -0 "$panel_pid" 2>/dev/null; then
        echo "soak: the panel died; its log: $work/panel.log" >&2
        exit 1
    fi
    elapsed=$((SECONDS - started))
    rss="$(rss_mb)"
    echo "$elapsed $rss" >>"$work/rss.log"
    if ((elapsed / 60 > minute)); then
        minute=$((elapsed / 60))
        echo "minute $minute: $(figures $(((minute - 1) * 60))); RSS $rss MB" | tee -a "$work/minutes.log"
    fi
done

summary="$(figures 0)"
# Every line of the log starts with the time; anything else was started by text from a peer.
stray="$(grep -cvE '^ *[0-9]+\.[0-9]+ ' "$work/panel.log" || true)"
echo "soak done after $duration s (+20 s to recover): $summary; stray log lines $stray"
# The first minute is the warm-up: fonts, the report box, the allocator's pools.
awk '$1 >= 60 { if (n++ == 0) first = min = max = $2; if ($2 < min) min = $2
                if ($2 > max) max = $2; last = $2 }
     END { if (n) printf "panel RSS after the first minute: %.1f MB, then %.1f to %.1f MB, %.1f MB at the end\n",
                         first, min, max, last }' "$work/rss.log"
failed=0
if [[ "$stray" != 0 ]]; then
    echo "soak: the panel's log has lines no message started" >&2
    failed=1
fi
if [[ "$summary" == *"down since"* ]]; then
    echo "soak: the last outage was not recovered" >&2
    failed=1
fi
kill -TERM "$panel_pid" 2>/dev/null || true
wait "$panel_pid" 2>/dev/null || true
if [[ $valgrind -eq 1 ]]; then
    errors="$(sed -n 's/.*ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$work/valgrind.log" | tail -1)"
    lost="$(grep -E 'definitely lost:|indirectly lost:' "$work/valgrind.log" | sed 's/^==[0-9]*== *//')"
    echo "valgrind: ${errors:-?} errors"
    [[ -n "$lost" ]] && echo "$lost"
    if [[ "${errors:-1}" != 0 ]]; then
        echo "soak: valgrind reported errors; see $work/valgrind.log" >&2
        failed=1
    fi
fi
exit $failed
