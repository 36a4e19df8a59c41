#!/usr/bin/env bash
# Builds the Debian packages servo-panel and servo-sim in release mode into dist/ (DIST_DIR
# overrides it), from a build of their own in build-package/ (PACKAGE_BUILD_DIR). Installs what
# it needs first when it is missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh" --packages
cd "$root"

build="${PACKAGE_BUILD_DIR:-$root/build-package}"
dist="${DIST_DIR:-$root/dist}"

# Built as Debian builds its own packages: optimised at -O2 (GCC 12 warns falsely on some
# std::string and std::vector code at -O3), with its hardening (fortified functions, stack
# protector, PIE, full RELRO, immediate binding). The debugging information is left out, since
# the packaged programs are stripped.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
flags="$(sed -E 's/(^| )-g( |$)/ /' <<<"$flags")"
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DSERVO_PANEL_BENCH=OFF -DBUILD_TESTING=OFF "-DCMAKE_CXX_FLAGS=$flags" -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" "${launcher[@]}" >/dev/null
cmake --build "$build" --target package-contents

rm -f "$dist"/servo-panel_*.deb "$dist"/servo-sim_*.deb
(cd "$build" && cpack -G DEB -B "$dist" >/dev/null)
rm -rf "$dist/_CPack_Packages"
ls "$dist"/servo-panel_*.deb "$dist"/servo-sim_*.deb
