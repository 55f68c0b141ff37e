#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root).
# Quick and silent when everything is already there.
#
# A package mirror caught mid-sync must not stop the project: an index that
# fails to download is a warning (the update is tried once more), the
# packages that build and run the 64-bit path are installed first and on
# their own, and the 32-bit wine is tried apart from them. Where it cannot be
# installed, the tests take the 64-bit-only path, and one line says why.
# Exits nonzero only when the 64-bit path itself cannot be installed.
set -uo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH

have() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The packages of the 64-bit path that are missing, one per line.
missing_main() {
    have cmake || echo cmake
    have ninja || echo ninja-build
    have g++ || echo g++
    have git || echo git
    have clang-format || echo clang-format
    have i686-w64-mingw32-g++-posix || echo g++-mingw-w64-i686
    have x86_64-w64-mingw32-g++-posix || echo g++-mingw-w64-x86-64-posix
    have xvfb-run || echo xvfb
    have xauth || echo xauth
    [ -f /usr/src/googletest/CMakeLists.txt ] || echo googletest
    have_pkg wine || echo wine
    [ -x /usr/lib/wine/wine64 ] || echo wine64
    # A file system that stalls on purpose, for the stuck-disk tests.
    have fusermount3 || echo fuse3
    have_pkg python3-fusepy || echo python3-fusepy
    local extra
    for extra in "${extras[@]}"; do
        have_pkg "$extra" || echo "$extra"
    done
}
extras=("$@")
mapfile -t main < <(missing_main)
# wine32 installs on every machine, even one whose kernel cannot run it.
want32=0
have_pkg wine32:i386 || want32=1

[ ${#main[@]} -eq 0 ] && [ $want32 -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing packages and not root; install them: ${main[*]} $([ $want32 = 1 ] && echo wine32:i386)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT

# The first error line apt printed, for a one-line notice.
apt_error() { grep -m1 '^E:' "$apt_log" | cut -c1-200; }

# apt-get update, once more if an index failed; a failure that remains is a
# warning: the indexes that did arrive are used.
update_indexes() {
    local try
    for try in 1 2; do
        apt-get update -qq "$@" >"$apt_log" 2>&1 && return 0
        [ $try = 1 ] && sleep 5
    done
    echo "warning: apt-get update: $(apt_error)" >&2
}

install() {
    apt-get install -y -qq --no-install-recommends "$@" >"$apt_log" 2>&1
}

# The same install with the security suite left out, for one attempt: its
# i386 index may be behind its amd64 one mid-sync, so the i386 libraries
# cannot match the amd64 versions already installed. The system's own
# sources are not touched.
install_without_security() {
    local parts
    parts=$(mktemp -d)
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" } !/debian-security/' "$file" >"$parts/$(basename "$file")"
    done
    local options=(-o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null)
    local code=1
    if apt-get update -qq "${options[@]}" >"$apt_log" 2>&1; then
        apt-get install -y -qq --no-install-recommends "${options[@]}" "$@" >"$apt_log" 2>&1 && code=0
    fi
    rm -rf "$parts"
    # Back to the system's own indexes for whatever runs next.
    apt-get update -qq >/dev/null 2>&1 || true
    return $code
}

dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
update_indexes

if [ ${#main[@]} -gt 0 ]; then
    echo "Installing: ${main[*]}"
    if ! install "${main[@]}"; then
        update_indexes
        if ! install "${main[@]}"; then
            echo "error: apt-get install ${main[*]}: $(apt_error)" >&2
            exit 1
        fi
    fi
fi

if [ $want32 -eq 1 ]; then
    echo "Installing: wine32:i386"
    if install wine32:i386; then
        :
    elif install_without_security wine32:i386; then
        echo "wine32:i386 installed with the security suite left out (its i386 index did not match)."
    fi
    # Mid-sync, apt may make room for the i386 libraries by removing their
    # newer amd64 twins, wine64 with them: put back what the 64-bit path
    # needs (apt then picks versions that match the i386 ones).
    mapfile -t main < <(missing_main)
    if [ ${#main[@]} -gt 0 ]; then
        echo "Installing again (the 32-bit step removed them): ${main[*]}"
        if ! install "${main[@]}"; then
            echo "error: apt-get install ${main[*]}: $(apt_error)" >&2
            exit 1
        fi
    fi
    if ! have_pkg wine32:i386; then
        echo "notice: wine32:i386 could not be installed ($(apt_error)); the 32-bit suites will be skipped and the 64-bit path taken." >&2
    fi
fi
exit 0
