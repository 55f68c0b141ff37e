#!/usr/bin/env bash
# Takes the dialog's pictures from the real module under wine and Xvfb:
#   docs/dialog.png       while a recording runs: 6 s at 4 Mbit/s, then a
#                         step to 12 Mbit/s, so the graph shows both;
#   docs/dialog-idle.png  filled in by a user, before Start, recording to D:;
#   docs/dialog-service.png  a service recording: its channel and programme;
#   docs/dialog-services.png the Service list open, before Start.
# The dialog is laid out for "MS Sans Serif" 8; wine's own substitute is wider
# and cuts "File name :" short, so the prefix is given a font with that
# font's metrics (Liberation Sans) and wine's Marlett for the frame's buttons.
set -euo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh imagemagick fonts-wine fonts-liberation
source scripts/wine-env.sh
use_runnable_preset
build_module_and_hostsim "$preset"
hostsim="build/$preset/tools/hostsim/hostsim.exe"

# The fonts, in the prefix the pictures are taken in.
prefix=${WINEPREFIX:-$HOME/.wine}
[ "$preset" = windows64 ] && prefix=$ROOT/build/wineprefix64
mkdir -p "$prefix/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
without_display "${wine[@]}" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
    /v 'MS Sans Serif' /t REG_SZ /d 'Liberation Sans' /f >/dev/null

# A drive D: with a folder Recordings, as a user's recordings disk would be.
drive=/tmp/corvanlet-drive-d
work=$drive/Recordings
rm -rf "$drive" && mkdir -p "$work"
ln -sfn "$drive" "$prefix/dosdevices/d:"
trap 'rm -rf "$drive"; rm -f "$prefix/dosdevices/d:"' EXIT
cp "build/$preset/module/Corvanlet.Module" "$work/"
printf '[Corvanlet]\r\nPath=D:\\Recordings\r\nPid=512\r\n' >"$work/Options.ini"
# A stream of PID 512 made on the spot: 60,000 packets, delivered at
# 0.5 MB/s and, from 6 s on, at 1.5 MB/s.
with_display "${wine[@]}" "$hostsim" --make-ts "$(winpath "$work/in.ts")" --packets 60000 --pids 512
shoot() {  # shoot PICTURE SECONDS HOSTSIM-ARGS...: the screen's corner after SECONDS
    local picture=$1 after=$2
    shift 2
    with_display -s "-screen 0 640x480x24" bash -c "
        ${wine[*]} $hostsim --module 'D:\\Recordings\\Corvanlet.Module' --ts 'D:\\Recordings\\in.ts' $* >/dev/null &
        sleep $after
        import -window root -crop 352x392+0+0 '$ROOT/docs/$picture'
        wait
    "
    echo "wrote docs/$picture"
}
# hostsim's service stream: two named services and one unnamed, a guide.
with_display "${wine[@]}" "$hostsim" --make-ts "$(winpath "$work/service.ts")" --packets 200000 --service
shoot_service() {  # as shoot, from the service stream
    local picture=$1 after=$2
    shift 2
    with_display -s "-screen 0 640x480x24" bash -c "
        ${wine[*]} $hostsim --module 'D:\\Recordings\\Corvanlet.Module' --ts 'D:\\Recordings\\service.ts' $* >/dev/null &
        sleep $after
        import -window root -crop 352x392+0+0 '$ROOT/docs/$picture'
        wait
    "
    echo "wrote docs/$picture"
}
shoot dialog.png 12.6 --channel 11362,H,22000 --record --rate 0.5 --rate-step 6,1.5 --loop --stop-after 12300
shoot dialog-idle.png 3 --channel 11362,H,22000 --pid "'sid 28106'" --name "'Cup final.ts'" --fill-only 3500
shoot_service dialog-service.png 7 --channel 11362,H,22000 --record --pid "'sid 1'" --stream-rate 4 --loop --stop-after 8000
shoot_service dialog-services.png 4 --channel 11362,H,22000 --stream-rate 4 --drop-down --fill-only 2500
