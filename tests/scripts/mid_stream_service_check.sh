#!/usr/bin/env bash
# A service recording started in the middle of a stream (mid-picture) plays
# from its first frame: the real module records service 1 of an
# ffmpeg-made stream cut at an arbitrary packet, and ffmpeg decodes the
# recording without one error, where it reports errors for the cut stream
# itself. Then the same service split by size: each part begins at an
# entry point and decodes without an error too. Exits nonzero, saying why,
# otherwise.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
bash scripts/setup.sh ffmpeg >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/corvanlet-mid-stream.XXXXXX")
trap 'rm -rf "$work"' EXIT
ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=25 \
    -f lavfi -i sine=frequency=1000:sample_rate=48000 -t 20 \
    -c:v mpeg2video -g 25 -b:v 1500k -minrate 1500k -maxrate 1500k -bufsize 1000k -c:a mp2 -b:a 128k \
    -program program_num=1:st=0:st=1 -mpegts_start_pid 256 -muxrate 4000000 -f mpegts "$work/whole.ts"
dd if="$work/whole.ts" of="$work/mid.ts" bs=188 skip=1337 2>/dev/null
if [ -z "$(ffmpeg -v error -i "$work/mid.ts" -f null - 2>&1)" ]; then
    echo "mid_stream_service_check: the cut stream decodes cleanly: the check proves nothing" >&2
    exit 1
fi
out=$(bash scripts/demo.sh --ts "$work/mid.ts" --sid 1 2>&1) || { echo "$out" >&2; exit 1; }
if ! grep -q "ffmpeg decodes it without an error: yes" <<<"$out"; then
    echo "$out" | sed -n '/record service/,$p' >&2
    exit 1
fi
echo "mid-stream service recording: ffmpeg decodes it without an error"

# Parts of 1 MB: the 20 s service makes three or more, none cut where the
# stream's own pictures begin.
parts="$work/parts"
mkdir -p "$parts"
out=$(bash scripts/hostsim.sh --ts "$work/mid.ts" --pid "sid 1" --record --dir "$parts" \
    --channel 11362,H,22000 --set SplitMB=1 --stream-rate 2 2>&1) || { echo "$out" >&2; exit 1; }
count=0
for part in "$parts"/*.ts; do
    [ -f "$part" ] || continue
    count=$((count + 1))
    errors=$(ffmpeg -v error -i "$part" -f null - 2>&1 | head -n 5)
    if [ -n "$errors" ]; then
        echo "mid_stream_service_check: $(basename "$part") ($(stat -c %s "$part") bytes) does not decode cleanly:" >&2
        echo "$errors" >&2
        exit 1
    fi
done
if [ "$count" -lt 3 ]; then
    echo "mid_stream_service_check: $count parts, expected at least 3" >&2
    echo "$out" >&2
    exit 1
fi
echo "mid-stream service recording split by size: each of its $count parts decodes without an error"
