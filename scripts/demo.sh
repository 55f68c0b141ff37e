#!/usr/bin/env bash
# Records one PID of an MPEG transport stream through the real Corvanlet.Module,
# loaded by the simulated host (tools/hostsim) under wine, and proves the result.
#
#   scripts/demo.sh                       a stream made on the spot by ffmpeg, PID 256
#   scripts/demo.sh --ts FILE --pid N     your own capture and PID
#   scripts/demo.sh --interactive         show the dialog (needs a display)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

ts=""
pid=256
interactive=0
rate=4
while [ $# -gt 0 ]; do
    case "$1" in
        --ts) ts=$(realpath "$2"); shift 2 ;;
        --pid) pid=$2; shift 2 ;;
        --rate) rate=$2; shift 2 ;;
        --interactive) interactive=1; shift ;;
        -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo: unknown argument $1 (see --help)" >&2; exit 1 ;;
    esac
done

say() { printf '  %-10s %s\n' "$1" "$2"; }
echo "Corvanlet demo: record one PID through the module, then check the file"

bash scripts/setup.sh ffmpeg python3 >/dev/null
source scripts/wine-env.sh
# The module that ships is 32-bit. A kernel that cannot run 32-bit code gets
# the same recording through the 64-bit build.
use_runnable_preset
if [ "$preset" = windows64 ]; then
    echo "  32-bit programs cannot run on this kernel: recording through the 64-bit module in the 64-bit hostsim"
fi
echo "  building the $width module and hostsim..."
build_module_and_hostsim "$preset"

work="$ROOT/build/demo"
rm -rf "$work"
mkdir -p "$work"

if [ -z "$ts" ]; then
    ts="$work/input.ts"
    ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 \
        -f lavfi -i sine=frequency=1000:sample_rate=48000 -t 10 \
        -c:v mpeg2video -b:v 1500k -c:a mp2 -b:a 128k \
        -mpegts_start_pid 256 -mpegts_pmt_start_pid 4096 -muxrate 2000000 -f mpegts "$ts"
    say input: "$ts (made by ffmpeg: 10 s, MPEG-2 video on PID 256, MP2 audio on 257, PAT/PMT/SDT)"
else
    say input: "$ts"
fi

# The module sits in its own folder with its settings: PID and directory.
cp "build/$preset/module/Corvanlet.Module" "$work/"
printf '[Corvanlet]\r\nPath=%s\r\nPid=%s\r\n' "$(winpath "$work")" "$pid" >"$work/Options.ini"
say module: "$work/Corvanlet.Module ($width, loaded by tools/hostsim under wine)"
say channel: "11362 H 22000, PID $pid"

args=(--module "$(winpath "$work/Corvanlet.Module")" --ts "$(winpath "$ts")"
      --channel 11362,H,22000 --rate "$rate")
if [ "$interactive" = 1 ]; then
    echo "  the dialog opens: press Start, later Stop, then Close"
    wine_settle
    "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" "${args[@]}" --interactive >"$work/hostsim.out"
else
    with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" "${args[@]}" --record \
        >"$work/hostsim.out" 2>"$work/hostsim.err" &
    runner=$!
    ticks=0
    while kill -0 "$runner" 2>/dev/null; do
        ticks=$((ticks + 1))
        if [ "$ticks" -gt 4 ]; then  # a progress line once it takes a while
            size=$(cat "$work"/*.dat 2>/dev/null | wc -c || true)
            printf '\r  recording  %s bytes written so far...' "$size"
        fi
        sleep 0.5
    done
    [ "$ticks" -gt 4 ] && printf '\r%78s\r' ''
    if ! wait "$runner"; then
        cat "$work/hostsim.err" >&2
        echo "demo: hostsim failed" >&2
        exit 1
    fi
fi

# hostsim's output comes through wine with CRLF line ends.
value() { tr -d '\r' <"$work/hostsim.out" | awk -v k="$1" '$1 == k { $1 = ""; sub(/^ /, ""); print }'; }
recording=$(ls "$work"/*.dat 2>/dev/null | head -n 1)
if [ -z "$recording" ]; then
    echo "demo: no recording was made" >&2
    exit 1
fi
blocks=$(value delivered_blocks)
delivered=$(value delivered_bytes)
written=$(stat -c %s "$recording")
say capture: "$(tr -d '\r' <"$work/hostsim.out" | grep -m1 '^packet size' || true)"
say file: "$recording"
say delivered: "$blocks blocks, $delivered bytes of PID $pid"
say written: "$written bytes ($(( (delivered - written) / 940 )) blocks dropped)"
duration=$(ffprobe -v quiet -show_entries format=duration -of csv=p=0 "$ts" 2>/dev/null || true)
# A capture cut from a broadcast may report nonsense (a clock wrap): skip that.
if [ -n "$duration" ] && awk -v d="$duration" 'BEGIN { exit !(d > 0 && d < 21600) }'; then
    say bitrate: "$(awk -v b="$written" -v d="$duration" 'BEGIN { printf "%.0f kbit/s over the stream'"'"'s %.1f s", b * 8 / d / 1000, d }')"
fi

python3 scripts/extract_pid.py "$ts" "$pid" "$work/expected.ts"
if cmp -s "$recording" "$work/expected.ts"; then
    say check: "the recording equals an independent extraction of PID $pid: yes"
else
    say check: "the recording differs from an independent extraction of PID $pid"
    exit 1
fi
probe=$(ffprobe -v quiet -show_entries stream=codec_type,codec_name,width,height \
    -of compact=p=0:nk=1 "$recording" 2>/dev/null | head -n 3 | tr '\n' ' ')
say ffprobe: "${probe:-(no stream recognised)}"
