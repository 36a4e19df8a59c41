#!/usr/bin/env bash
# Checks every tracked C++ file against .clang-format (clang-format 14) and lists those that
# differ; exits 1 when any does. With --fix, formats them in place instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

format=clang-format-14
command -v "$format" >/dev/null || { echo "$format is missing (apt-get install $format)" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ "${1:-}" == --fix ]]; then
    "$format" -i "${files[@]}"
    exit 0
fi

# One run over all files; each place that differs is reported as "file:line:col: error: ...".
report=$("$format" --dry-run "${files[@]}" 2>&1 || true)
unformatted=$(grep -oE '^[^:]+:[0-9]+:[0-9]+: (error|warning)' <<<"$report" | cut -d: -f1 | sort -u || true)
if [[ -n "$unformatted" ]]; then
    echo "Not formatted as .clang-format says (scripts/format.sh --fix formats them):" >&2
    sed 's/^/  /' <<<"$unformatted" >&2
    exit 1
fi
