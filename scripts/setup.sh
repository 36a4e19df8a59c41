#!/usr/bin/env bash
# Installs what building, running and testing the panel need, when it is missing.
# Sourced by run.sh and test.sh; needs root or sudo only when something must be installed.
#   --tests  also what the tests need (node-opcua's runtime, an X server, clang-format)
#   --clang  also clang and clang-tidy, for scripts/clang-build.sh and scripts/tidy.sh
#   --packages  also what making and checking the Debian packages needs (scripts/package.sh)
#   --soak   also valgrind, for scripts/soak.sh --valgrind
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libbenchmark-dev libssl-dev libsystemd-dev
    fonts-liberation fonts-wine fonts-dejavu
)
tests=false
for option in "$@"; do
    case "$option" in
    --tests)
        tests=true
        packages+=(nodejs npm xvfb xauth clang-format-14 python3)
        ;;
    --clang) packages+=(clang-14 clang-tidy-14) ;;
    --soak) packages+=(valgrind) ;;
    --packages)
        packages+=(dpkg-dev file librsvg2-bin lintian desktop-file-utils appstream man-db systemd)
        ;;
    *)
        echo "setup.sh: unknown option $option" >&2
        exit 2
        ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
# A Node.js from elsewhere (not Debian's package) serves as well as the package does.
if command -v node >/dev/null && command -v npm >/dev/null; then
    kept=()
    for package in "${missing[@]}"; do
        [[ "$package" == nodejs || "$package" == npm ]] || kept+=("$package")
    done
    missing=("${kept[@]+"${kept[@]}"}")
fi

if ((${#missing[@]})); then
    sudo=()
    ((EUID == 0)) || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"
fi

if $tests; then
    interop="$(dirname "${BASH_SOURCE[0]}")/../tests/interop"
    if [[ ! -d "$interop/node_modules/node-opcua" || "$interop/package-lock.json" -nt "$interop/node_modules/.package-lock.json" ]]; then
        (cd "$interop" && npm ci --no-audit --no-fund --loglevel=error)
    fi
fi
