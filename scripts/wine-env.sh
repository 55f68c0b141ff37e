# Sourced by the scripts: a private wine prefix inside the build tree, with no
# Mono/Gecko prompts, no debug noise and no window manager delays.
ROOT=${ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX="$ROOT/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
export WINEARCH=win32

prepare_wine_prefix() {
    if [ ! -f "$WINEPREFIX/.corvanlet-ready" ]; then
        mkdir -p "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
        touch "$WINEPREFIX/.corvanlet-ready"
    fi
}

# A Linux path as programs under wine see it (drive Z: is the root).
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Builds the module and hostsim (the Windows configuration) and readies wine.
build_module_and_hostsim() {
    cmake --preset windows >/dev/null
    cmake --build --preset windows --target corvanlet_module hostsim >/dev/null
    prepare_wine_prefix
}
