#!/usr/bin/env bash
# Builds the Debian packages with scripts/package.sh and checks them: lintian, the desktop entry
# and AppStream metadata, the manual pages, the files each package holds, the service's
# hardening, and that the programs unpacked from the packages run on their own: the panel starts
# headless and stays up with no server to reach, the simulator listens.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/package.sh" >/dev/null
dist="${DIST_DIR:-$root/dist}"
panel_deb="$(echo "$dist"/servo-panel_*.deb)"
sim_deb="$(echo "$dist"/servo-sim_*.deb)"

work="$(mktemp -d)"
pids=()
cleanup()
{
    for pid in "${pids[@]+"${pids[@]}"}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

failed=0
fail()
{
    echo "check-packages: $*" >&2
    failed=1
}

# Warnings fail as errors do, so each is either fixed or overridden with its reason beside the
# override.
if ! lintian --fail-on error,warning "$panel_deb" "$sim_deb" >"$work/lintian.log" 2>&1; then
    fail "lintian reports errors or warnings:"
    cat "$work/lintian.log" >&2
fi

# Every file each package must hold, as extended regular expressions; a pattern with an
# alternative (a|b|c) stands for one file per choice.
expected=(
    "$panel_deb usr/bin/servo-panel"
    "$panel_deb usr/share/applications/servo-panel\.desktop"
    "$panel_deb usr/share/icons/hicolor/scalable/apps/servo-panel\.svg"
    "$panel_deb usr/share/icons/hicolor/(16x16|24x24|32x32|48x48|64x64|128x128|256x256)/apps/servo-panel\.png"
    "$panel_deb usr/share/metainfo/[^/]+\.metainfo\.xml"
    "$panel_deb usr/share/man/man1/servo-panel\.1\.gz"
    "$panel_deb usr/share/doc/servo-panel/(README\.md|copyright|changelog\.gz)"
    "$sim_deb usr/bin/servo-sim"
    "$sim_deb usr/lib/systemd/system/servo-sim\.service"
    "$sim_deb usr/share/man/man1/servo-sim\.1\.gz"
    "$sim_deb usr/share/doc/servo-sim/(README\.md|copyright|changelog\.gz)"
)
for entry in "${expected[@]}"; do
    deb="${entry%% *}"
    pattern="${entry#* }"
    bars="${pattern//[^|]/}"
    found=$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -cE "^\./$pattern\$" || true)
    ((found == ${#bars} + 1)) || fail "$(basename "$deb") lacks files matching $pattern"
done

mkdir -p "$work/panel" "$work/sim"
dpkg -x "$panel_deb" "$work/panel"
dpkg -x "$sim_deb" "$work/sim"

# The changelog is kept by hand; a new version of the project needs an entry of its own.
version="$(dpkg-deb -f "$panel_deb" Version)"
zcat "$work/panel/usr/share/doc/servo-panel/changelog.gz" | sed -n 1p | grep -qF "($version)" ||
    fail "packaging/changelog has no entry for version $version"

desktop="$work/panel/usr/share/applications/servo-panel.desktop"
desktop-file-validate "$desktop" || fail "the desktop entry is not valid"
# A menu finds the program and the icon the entry names only when the package holds them.
command_name="$(sed -n 's/^Exec=//p' "$desktop")"
icon_name="$(sed -n 's/^Icon=//p' "$desktop")"
[[ -x "$work/panel/usr/bin/$command_name" ]] ||
    fail "the desktop entry's program $command_name is not in the package"
[[ -f "$work/panel/usr/share/icons/hicolor/scalable/apps/$icon_name.svg" ]] ||
    fail "the desktop entry's icon $icon_name is not in the package"
# The installed tree as a software centre sees it: the metadata and the desktop entry it names.
if ! appstreamcli validate-tree --no-net "$work/panel" >"$work/appstream.log" 2>&1; then
    fail "the AppStream metadata is not valid:"
    cat "$work/appstream.log" >&2
fi

for page in "$work"/panel/usr/share/man/man1/*.gz "$work"/sim/usr/share/man/man1/*.gz; do
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)"
    [[ -z "$warnings" ]] || fail "$(basename "$page") renders with warnings: $warnings"
done

# The manual page and --help list the same options (options are tags at the page's indent).
sim="$work/sim/usr/bin/servo-sim"
"$sim" --help | grep -oE '^  --[a-z-]+' | sed 's/^ *//' | sort >"$work/help-options"
LC_ALL=C MANWIDTH=80 man -l "$work/sim/usr/share/man/man1/servo-sim.1.gz" 2>/dev/null |
    sed -n '/^OPTIONS/,/^[A-Z]/p' | grep -oE '^       --[a-z-]+' | sed 's/^ *//' |
    sort >"$work/man-options"
diff -u --label 'servo-sim --help' --label servo-sim.1 "$work/help-options" "$work/man-options" ||
    fail "servo-sim.1 and servo-sim --help list different options"

# An exposure of 1.0 or below is what systemd rates safe.
unit_check="$(systemd-analyze security --offline=true --threshold=10 --root="$work/sim" \
    servo-sim.service 2>&1 >/dev/null)" || fail "servo-sim.service is exposed: $unit_check"
[[ -z "$unit_check" ]] || fail "servo-sim.service: $unit_check"

for program in "$work/panel/usr/bin/servo-panel" "$sim"; do
    if grep -qF "$root" "$program"; then
        fail "$(basename "$program") holds a path into the build tree"
    fi
done

"$sim" --host 127.0.0.1 --port 0 >"$work/sim.out" &
pids+=($!)
for _ in $(seq 50); do
    grep -q 'listening on' "$work/sim.out" && break
    sleep 0.1
done
grep -q 'listening on' "$work/sim.out" || fail "the unpacked servo-sim did not listen"

# Port 1 on loopback is privileged and unused, so every connection attempt is refused. The log
# stays on standard error, where this check reads it, rather than go to the journal.
mkdir -p "$work/config/servo-panel"
printf '[connection]\nendpoint=opc.tcp://127.0.0.1:1\n' >"$work/config/servo-panel/datacon.ini"
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen SERVO_PANEL_LOG=stderr \
    "$work/panel/usr/bin/servo-panel" \
    >"$work/panel.log" 2>&1 &
pids+=($!)
sleep 4
if ! kill -0 "${pids[-1]}" 2>/dev/null; then
    fail "the unpacked panel did not stay up:"
    cat "$work/panel.log" >&2
elif ! grep -qF 'opc.tcp://127.0.0.1:1' "$work/panel.log"; then
    fail "the unpacked panel did not take its settings from XDG_CONFIG_HOME:"
    cat "$work/panel.log" >&2
fi

if ((failed)); then
    echo "check-packages: FAILED" >&2
    exit 1
fi
echo "check-packages: $(basename "$panel_deb") and $(basename "$sim_deb") pass"
