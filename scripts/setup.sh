#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
# Quick and silent when everything is already there.
set -euo pipefail

packages=()
have() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have cmake || packages+=(cmake)
have ninja || packages+=(ninja-build)
have g++ || packages+=(g++)
have git || packages+=(git)
have clang-format || packages+=(clang-format)
have i686-w64-mingw32-g++-posix || packages+=(g++-mingw-w64-i686)
have x86_64-w64-mingw32-g++-posix || packages+=(g++-mingw-w64-x86-64-posix)
have xvfb-run || packages+=(xvfb)
have xauth || packages+=(xauth)
[ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(googletest)
have_pkg wine || packages+=(wine)
# wine32 installs on every machine, even one whose kernel cannot run it;
# wine64 runs the 64-bit build there.
have_pkg wine32:i386 || packages+=(wine32:i386)
[ -x /usr/lib/wine/wine64 ] || packages+=(wine64)
for extra in "$@"; do
    have_pkg "$extra" || packages+=("$extra")
done

if [ ${#packages[@]} -gt 0 ]; then
    echo "Installing: ${packages[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: missing packages and not root; install them: ${packages[*]}" >&2
        exit 1
    fi
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi
