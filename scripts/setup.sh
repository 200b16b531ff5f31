#!/usr/bin/env bash
# Installs what building and testing flvsplice needs, on Debian or Ubuntu.
# Does nothing (and needs no network) when everything is installed already.
# Runs apt-get through sudo unless it runs as root.
set -euo pipefail

packages=(
    build-essential cmake ninja-build          # compiler and build
    libgtest-dev libgmock-dev                  # library tests
    libcli11-dev nlohmann-json3-dev            # the flvsplice command
    python3 ffmpeg flvmeta mediainfo           # command tests, sample, independent judges
)

installed() {
    dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed'
}

if ! command -v dpkg >/dev/null; then
    echo "setup.sh: no dpkg here; install these (or your system's equivalents) yourself:" >&2
    echo "  ${packages[*]}" >&2
    exit 0
fi

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "setup.sh: everything needed is installed"
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup.sh: run as root or install sudo" >&2; exit 1; }
    sudo=(sudo)
fi
echo "setup.sh: installing ${missing[*]}"
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
