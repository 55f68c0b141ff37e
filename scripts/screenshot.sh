#!/usr/bin/env bash
# Takes docs/dialog.png: the options dialog while a recording runs, under
# Xvfb: 6 s at 2 Mbit/s, then a step to 12 Mbit/s, so the graph shows both.
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
# A stream of PID 512 made on the spot: 60,000 packets, delivered at
# 0.25 MB/s and, from 6 s on, at 1.5 MB/s.
with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" --make-ts "$(winpath "$work/in.ts")" \
    --packets 60000 --pids 512
with_display -s "-screen 0 640x480x24" bash -c "
    ${wine[*]} build/$preset/tools/hostsim/hostsim.exe --module '$(winpath "$work/Corvanlet.Module")' \
        --ts '$(winpath "$work/in.ts")' --channel 11362,H,22000 --record --rate 0.25 --rate-step 6,1.5 --loop \
        --stop-after 12300 >/dev/null &
    sleep 12.6
    import -window root -crop 406x372+0+0 '$ROOT/docs/dialog.png'
    wait
"
echo "wrote docs/dialog.png"
