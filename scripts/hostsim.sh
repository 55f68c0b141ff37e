#!/usr/bin/env bash
# Runs hostsim, the simulated host, with the module of the width this machine
# runs (the 32-bit one that ships where it can, else the 64-bit one): builds
# both if needed, readies wine and a virtual display, and passes its
# arguments on. Paths may be given as Linux paths (/tmp/rec): the values of
# --module, --ts, --dir and --make-ts are turned into wine's (Z:\tmp\rec).
# Without --module it loads the module of the build.
#
#   scripts/hostsim.sh --ts ../shared/samples/rai-dvbt-mux_tsduck-test-108.ts \
#       --record --service-name "Rai 1" --dir /tmp/rec --channel 11362,H,22000
set -euo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH
ROOT=$(cd "$(dirname "$0")/.." && pwd)
here=$PWD
cd "$ROOT"
bash scripts/setup.sh >/dev/null
source scripts/wine-env.sh
use_runnable_preset
build_module_and_hostsim "$preset"

# A path as wine sees it: absolute, with backslashes, on drive Z:.
windows_path() {
    case "$1" in
        [A-Za-z]:*) printf '%s' "$1" ;;  # already wine's
        /*) winpath "$1" ;;
        *) winpath "$here/$1" ;;
    esac
}

args=()
module_given=0
while [ $# -gt 0 ]; do
    case "$1" in
        --module | --ts | --dir | --make-ts)
            [ "$1" = --module ] && module_given=1
            [ $# -ge 2 ] || { echo "hostsim.sh: $1 needs a value" >&2; exit 1; }
            args+=("$1" "$(windows_path "$2")")
            shift 2
            ;;
        *)
            args+=("$1")
            shift
            ;;
    esac
done
case " ${args[*]:-} " in
    *" --make-ts "* | *" --help "*) ;;
    *) [ "$module_given" = 1 ] || args=(--module "$(winpath "$ROOT/build/$preset/module/Corvanlet.Module")" "${args[@]}") ;;
esac
echo "hostsim.sh: the $width module and hostsim (build/$preset)" >&2
with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" "${args[@]}"
