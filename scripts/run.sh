#!/usr/bin/env bash
# Builds the panel and the simulated drives, starts the simulator on 127.0.0.1:4840 and the
# panel against it, and stops the simulator when the panel's window closes.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target servo-panel servo-sim

"$build/sim/servo-sim" --host 127.0.0.1 --port 4840 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
"$build/app/servo-panel"
