#!/usr/bin/env bash
# Builds a release build in build-release/ and runs every benchmark, printing one
# "name: value unit" line per figure (lines starting with '#' are remarks). The figures, their
# targets and how each is taken are in docs/performance.md. Takes about four minutes; run it on
# an otherwise quiet machine, since every figure is a time or a share of a core.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BENCH_BUILD_DIR:-$root/build-release}"

if [[ ! -d "$root/tests/interop/node_modules/node-opcua" ]]; then
    "$root/scripts/setup.sh" --tests
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSERVO_PANEL_BENCH=ON >/dev/null
cmake --build "$build" --parallel "${JOBS:-$(nproc)}" --target bench_ticks panel_probe client_probe servo-sim \
    bench_panel bench_window bench_opcua_publish bench_opcua_watchers bench_opcua_server_publish \
    bench_security >/dev/null

system="$root/bench/system"
echo "# $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# Ticks of the window, offscreen: rate against Qt's timer in the same run, and cost.
QT_QPA_PLATFORM=offscreen "$build/bench/system/bench_ticks" --seconds 10 --samples 20000

# The running system: start-up, CPU, latencies, memory, the node-opcua comparison, client_probe.
python3 "$system/run_system.py" --build "$build"

# Micro-benchmarks: the decoder, the server from new values to Publish responses, the server's
# watchers of one node, protecting a MSG chunk and deriving keys, one tick on in-memory fields,
# one tick on the real window.
python3 "$system/gbench_figures.py" decoder "$build/bench/opcua/bench_opcua_publish" \
    --benchmark_min_time=1
python3 "$system/gbench_figures.py" publishing "$build/bench/opcua/bench_opcua_server_publish" \
    --benchmark_min_time=0.5
python3 "$system/gbench_figures.py" watchers "$build/bench/opcua/bench_opcua_watchers" \
    --benchmark_min_time=0.5
python3 "$system/gbench_figures.py" security "$build/bench/security/bench_security" \
    --benchmark_min_time=0.5
python3 "$system/gbench_figures.py" panel "$build/bench/panel/bench_panel" --benchmark_min_time=0.5
QT_QPA_PLATFORM=offscreen python3 "$system/gbench_figures.py" window \
    "$build/bench/window/bench_window" --benchmark_min_time=0.5
