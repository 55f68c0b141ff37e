# Sourced by the scripts: private wine prefixes inside the build tree (a
# 32-bit one and a 64-bit one), with no Mono/Gecko prompts, no debug noise and
# no window manager delays.
ROOT=${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX="$ROOT/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
export WINEARCH=win32
# Wine maps file names through the Unix locale: with none set ("C"), names
# outside ASCII cannot be created. C.UTF-8 ships with Debian's libc.
export LC_ALL=C.UTF-8
# Debian's /usr/bin/wine picks the 32-bit loader whenever wine32 is
# installed, so the 64-bit loader is called by its path.
WINE64=/usr/lib/wine/wine64
WINEPREFIX64="$ROOT/build/wineprefix64"

# Runs a command in the 64-bit prefix: wine64_env wine64 prog.exe ...
wine64_env() { WINEARCH=win64 WINEPREFIX="$WINEPREFIX64" "$@"; }

prepare_wine_prefix() {
    if [ ! -f "$WINEPREFIX/.corvanlet-ready" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.corvanlet-ready"
    fi
}

prepare_wine64_prefix() {
    if [ ! -f "$WINEPREFIX64/.corvanlet-ready" ]; then
        mkdir -p "$WINEPREFIX64"
        wine64_env "$WINE64" wineboot -i >/dev/null 2>&1 || true
        wine64_env "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wine64_env wineserver -w
        touch "$WINEPREFIX64/.corvanlet-ready"
    fi
}

# True when this machine can run 32-bit Windows programs: a tiny one is built
# and run under wine, and must print what it was built to print. Some kernels
# cannot execute 32-bit x86 code at all. CORVANLET_ONLY_64BIT=1 forces the
# answer "no", to prove the 64-bit-only path on a machine where 32-bit works.
can_run_32bit() {
    [ "${CORVANLET_ONLY_64BIT:-0}" = 1 ] && return 1
    local dir="$ROOT/build/probe32"
    mkdir -p "$dir"
    if [ ! -f "$dir/probe32.exe" ]; then
        printf '#include <stdio.h>\nint main(void) { printf("%%d-bit ok\\n", (int)(sizeof(void*) * 8)); return 0; }\n' \
            >"$dir/probe32.c"
        i686-w64-mingw32-gcc -o "$dir/probe32.exe" "$dir/probe32.c" || return 1
    fi
    prepare_wine_prefix
    local answer
    answer=$(without_display timeout 120 wine "$dir/probe32.exe" 2>/dev/null | tr -d '\r')
    [ "$answer" = "32-bit ok" ]
}

# Waits until no wine session of either prefix is left. A wine program run
# without a display leaves its session (wineserver and a display-less
# desktop) alive for a few seconds; a windowed program started meanwhile
# joins it and cannot create windows. Every display-less run ends with this,
# and every windowed run starts with it.
wine_settle() {
    wineserver -w >/dev/null 2>&1 || true
    wine64_env wineserver -w >/dev/null 2>&1 || true
}

# Runs a command (wine programs among it) under a fresh virtual display.
with_display() {
    wine_settle
    xvfb-run -a "$@"
}

# Runs a wine program without a display, then waits its session out.
without_display() {
    local code=0
    "$@" || code=$?
    wine_settle
    return $code
}

# A Linux path as programs under wine see it (drive Z: is the root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Builds the module and hostsim of one Windows configuration (windows or
# windows64) and readies its wine prefix.
build_module_and_hostsim() {
    local preset=${1:-windows}
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target corvanlet_module hostsim >/dev/null
    if [ "$preset" = windows64 ]; then prepare_wine64_prefix; else prepare_wine_prefix; fi
}

# Sets `wine` (an array: the command that runs a program of that build) and
# `width` for a Windows preset (windows or windows64).
use_preset() {
    preset=$1
    if [ "$preset" = windows64 ]; then
        wine=(env WINEARCH=win64 WINEPREFIX="$WINEPREFIX64" "$WINE64")
        width="64-bit"
    else
        wine=(wine)
        width="32-bit"
    fi
}

# The build that ships (32-bit) where this machine can run it, else the
# 64-bit one; see use_preset.
use_runnable_preset() {
    if can_run_32bit; then use_preset windows; else use_preset windows64; fi
}
