#!/usr/bin/env bash
# Records one PID of an MPEG transport stream through the real Corvanlet.Module,
# loaded by the simulated host (tools/hostsim) under wine, and proves the result.
#
#   scripts/demo.sh                       a stream made on the spot by ffmpeg: PID 256,
#                                         then its service 1 as a file that plays
#   scripts/demo.sh --ts FILE --pid N     your own capture and PID
#   scripts/demo.sh --ts FILE --sid N     ... and a service of it (its program_number)
#   scripts/demo.sh --interactive         show the dialog (needs a display)
set -euo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

ts=""
pid=256
sid=""
interactive=0
rate=4
while [ $# -gt 0 ]; do
    case "$1" in
        --ts) ts=$(realpath "$2"); shift 2 ;;
        --pid) pid=$2; shift 2 ;;
        --sid) sid=$2; shift 2 ;;
        --rate) rate=$2; shift 2 ;;
        --interactive) interactive=1; shift ;;
        -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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

ts_given=$ts
if [ -z "$ts" ]; then
    ts="$work/input.ts"
    # Two services, as a multiplex has: 1 (video and audio) and 2 (video).
    ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 \
        -f lavfi -i sine=frequency=1000:sample_rate=48000 \
        -f lavfi -i testsrc2=size=320x240:rate=25 -t 10 -map 0 -map 1 -map 2 \
        -c:v mpeg2video -b:v 1500k -c:a mp2 -b:a 128k \
        -program program_num=1:title=Demo:st=0:st=1 -program program_num=2:title=Other:st=2 \
        -mpegts_start_pid 256 -mpegts_pmt_start_pid 4096 -muxrate 4000000 -f mpegts "$ts"
    say input: "$ts (made by ffmpeg: 10 s; service 1: MPEG-2 video on PID 256, MP2 audio on 257; service 2: video on 258)"
    [ -n "$sid" ] || sid=1
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
# An empty recording (a PID the capture does not have) is no stream to
# ffprobe: it says so, and the service part still runs.
probe=$(ffprobe -v quiet -show_entries stream=codec_type,codec_name,width,height \
    -of compact=p=0:nk=1 "$recording" 2>/dev/null | head -n 3 | tr '\n' ' ' || true)
say ffprobe: "${probe:-(no stream recognised)}"

[ -n "$sid" ] || exit 0
[ "$interactive" = 0 ] || exit 0
echo
echo "Corvanlet demo: record service $sid whole (PID field \"sid $sid\"), then play the file"
rm -f "$work"/*.dat "$work/hostsim.out"
printf '[Corvanlet]\r\nPath=%s\r\nPid=0\r\nPids=sid %s\r\n' "$(winpath "$work")" "$sid" >"$work/Options.ini"
# The host walks the stream at a tuner's pace: the module registers the
# service's streams as its tables come in.
if ! with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" \
    --module "$(winpath "$work/Corvanlet.Module")" --ts "$(winpath "$ts")" \
    --channel 11362,H,22000 --stream-rate "$rate" --record >"$work/hostsim.out" 2>"$work/hostsim.err"; then
    cat "$work/hostsim.err" >&2
    echo "demo: hostsim failed" >&2
    exit 1
fi
# Where the file is: its built name follows the service's guide (the SDT's
# name, and the programme's title where the stream has an EIT).
service=$(value recorded_path | sed 's/^Z://' | tr '\\' /)
if [ -z "$service" ] || [ ! -f "$service" ]; then
    echo "demo: no service recording was made" >&2
    exit 1
fi
say file: "$service ($(stat -c %s "$service") bytes)"
say registered: "PIDs $(value registered_pids)"
say log: "$(tr -d '\r' <"$work/Corvanlet.log" | grep -m1 ' tables ' | cut -d' ' -f2- || true)"
# The file's streams, once each (csv would list them again under their program).
streams=$(ffprobe -v error -show_streams -of json "$service" | python3 -c \
    'import json, sys; print(" ".join(s["codec_name"] + "," + s["codec_type"] for s in json.load(sys.stdin)["streams"]))')
programs=$(ffprobe -v error -show_entries program=program_id -of csv=p=0 "$service" | grep -c . || true)
decode=$(ffmpeg -v error -i "$service" -f null - 2>&1 | head -n 5)
say ffprobe: "$streams"
say programs: "$programs in the file's PAT"
failed=0
if [ -z "$ts_given" ] && [ "$streams" != "mpeg2video,video mp2,audio" ]; then
    say check: "expected exactly MPEG-2 video and MP2 audio"
    failed=1
fi
[ "$programs" = 1 ] || { say check: "the PAT should list one program"; failed=1; }
if [ -n "$decode" ] && [ -n "$ts_given" ]; then
    # The recording's video begins at an entry point, but a capture cut
    # from a broadcast ends mid-frame, and audio that carries its setup in
    # band (AAC-LATM) needs it first: ffmpeg may say so of a recording of
    # it too. That is no fault of the file.
    say ffmpeg: "$(echo "$decode" | head -n 1) ... (the capture's cut edges)"
elif [ -n "$decode" ]; then
    say check: "ffmpeg reports errors decoding it:"
    echo "$decode" | sed 's/^/             /'
    failed=1
fi
[ "$failed" = 0 ] || exit 1
[ -n "$decode" ] || say check: "ffmpeg decodes it without an error: yes"
say check: "one program in the PAT, the service's streams only: yes"
