#!/usr/bin/env bash
# Installs the Debian packages Halvane needs to build and test, and only those that are missing.
# Usage: scripts/install-deps.sh [package...]   (no arguments: the project's build and test set)
#        scripts/install-deps.sh --windows      (the Windows cross build and Wine)
#        scripts/install-deps.sh --pipewire     (a private PipeWire graph: make pipewire-test)
# Quiet and offline when everything is already installed.
set -euo pipefail

# The project's build and test dependencies: extend this list when a part needs more.
DEFAULT_PACKAGES=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libsndfile1-dev libcli11-dev
    libmysofa-dev libfftw3-dev
    lv2-dev lilv-utils sordi
    ffmpeg sox python3-numpy python3-scipy
    clang clang-format
    # RealtimeSanitizer (make rtsan, run by CI) needs clang 20 or later and its runtime.
    clang-22 libclang-rt-22-dev
)

# Cross-compiling for Windows and running the result under Wine (make windows, make windows-test);
# the cross build compiles GoogleTest from libgtest-dev's sources.
WINDOWS_PACKAGES=(
    cmake ninja-build libgtest-dev
    g++-mingw-w64-x86-64-posix wine64
)

# A PipeWire daemon with WirePlumber inside its own D-Bus session, and the pw-* tools
# (make pipewire-test); the filter-chain module with its LV2 host comes with pipewire.
PIPEWIRE_PACKAGES=(
    pipewire pipewire-bin wireplumber dbus procps
)

if [ "${1:-}" = "--windows" ]; then
    packages=("${WINDOWS_PACKAGES[@]}")
elif [ "${1:-}" = "--pipewire" ]; then
    packages=("${PIPEWIRE_PACKAGES[@]}")
elif [ "$#" -gt 0 ]; then
    packages=("$@")
else
    packages=("${DEFAULT_PACKAGES[@]}")
fi

missing=()
for pkg in "${packages[@]}"; do
    if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed'; then
        missing+=("$pkg")
    fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
else
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: run this script as root (or install sudo) to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
