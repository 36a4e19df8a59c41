#!/usr/bin/env bash
# Runs clang-tidy 14 with .clang-tidy over the project's sources that the build compiles, or
# over those below the folders given (scripts/tidy.sh window panel). Exits 1 on any finding.
# Needs a configured build for its compile_commands.json: BUILD_DIR, build/ by default.
# Not part of scripts/test.sh: on two cores it takes longer than the whole test run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
tidy=clang-tidy-14
command -v "$tidy" >/dev/null || { echo "$tidy is missing (apt-get install $tidy)" >&2; exit 2; }
[[ -f "$build/compile_commands.json" ]] || { echo "configure $build first (cmake -B $build)" >&2; exit 2; }

mapfile -t files < <(python3 - "$root" "$build/compile_commands.json" "$@" <<'PY'
import json, os, subprocess, sys
root, database, folders = sys.argv[1], sys.argv[2], sys.argv[3:]
tracked = set(subprocess.run(["git", "-C", root, "ls-files", "*.cpp"], check=True,
                             capture_output=True, text=True).stdout.split())
compiled = {os.path.relpath(entry["file"], root) for entry in json.load(open(database))}
for path in sorted(tracked & compiled):
    if not folders or any(path.startswith(folder.rstrip("/") + "/") for folder in folders):
        print(os.path.join(root, path))
PY
)
((${#files[@]})) || { echo "no compiled sources below: $*" >&2; exit 2; }
printf '%s\n' "${files[@]}" |
    xargs -P "$(nproc)" -n 4 "$tidy" -p "$build" --quiet --warnings-as-errors='*' \
        --extra-arg=-Wno-unknown-warning-option \
        2> >(grep -Ev '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' >&2) ||
    exit 1
