#!/usr/bin/env bash
# Takes docs/dialog.png: the options dialog while a recording runs, under Xvfb.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh imagemagick
source scripts/wine-env.sh
use_runnable_preset
build_module_and_hostsim "$preset"

work=/tmp/Recordings
rm -rf "$work" && mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
cp "build/$preset/module/Corvanlet.Module" "$work/"
printf '[Corvanlet]\r\nPath=%s\r\nPid=512\r\n' "$(winpath "$work")" >"$work/Options.ini"
# A stream of PID 512 made on the spot: 60,000 packets, delivered at 2 MB/s.
with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" --make-ts "$(winpath "$work/in.ts")" \
    --packets 60000 --pids 512
with_display -s "-screen 0 640x480x24" bash -c "
    ${wine[*]} build/$preset/tools/hostsim/hostsim.exe --module '$(winpath "$work/Corvanlet.Module")' \
        --ts '$(winpath "$work/in.ts")' --channel 11362,H,22000 --record --rate 2 --loop \
        --stop-after 4300 >/dev/null &
    sleep 4.6
    import -window root -crop 406x286+0+0 '$ROOT/docs/dialog.png'
    wait
"
echo "wrote docs/dialog.png"
