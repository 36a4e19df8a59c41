#!/usr/bin/env bash
# Builds the panel and the simulated drives, starts the simulator on 127.0.0.1:4840 and the
# panel against it, and stops the simulator when the panel's window closes.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"

build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target servo-panel servo-sim

# The panel starts once the simulator listens, so that its first connection attempt succeeds.
ready="$(mktemp)"
"$build/sim/servo-sim" --host 127.0.0.1 --port 4840 >"$ready" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true; rm -f "$ready"' EXIT
for _ in $(seq 100); do
    grep -q listening "$ready" && break
    kill -0 "$sim" 2>/dev/null || { echo "servo-sim did not start" >&2; exit 1; }
    sleep 0.1
done
cat "$ready"
"$build/app/servo-panel"
