#!/usr/bin/env bash
# Installs the Debian 12 packages that kestrel builds, tests and runs with.
set -euo pipefail

packages=(g++ cmake ninja-build ccache pkg-config googletest libgtest-dev libgmock-dev
          qt6-base-dev libgl-dev nlohmann-json3-dev xvfb xauth
          # the fuzz preset: clang with libFuzzer and the sanitizers' runtime
          clang libclang-rt-14-dev clang-format
          # the Debian package and its checks
          dpkg-dev file lintian desktop-file-utils appstream man-db bash-completion)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
