#!/usr/bin/env bash
# End-to-end figures: the real Corvanlet.Module loaded by tools/hostsim under
# wine, at each width this machine can run (32-bit where it can, and 64-bit).
# Prints one figure per line as "name value unit", each name starting with
# the width it came from (e2e32_ or e2e64_ where the list says e2e_):
#   e2e_<size>_<rate>_callback_*   the callback's cost on the host's delivery thread
#   e2e_<size>_<rate>_dropped      blocks missing from the recording
#   e2e_<size>_lossless            the highest delivery rate tried with nothing dropped
#   e2e_<size>_flood_written       bytes reaching the file per second while flooded
#                                  for 3 s; median of five runs, then min and max
#   e2e_<size>_plain_write         the same blocks written one write call each for
#                                  2 s: the limit (median, min, max of the five)
#   e2e_<size>_flood_to_plain      each run's flood over its plain figure (median, min, max)
#   e2e_940B_<rate>_run<n>_dropped five paced runs each at 40 and 80 MB/s
#   e2e_mode_<field>_run<n>_callback_*  the callback at 10 MB/s in one-packet
#                                  blocks of a made service stream, for each
#                                  form of the PID field (one PID, a list, a
#                                  service), three runs alternating
#
# Usage: bench/e2e_bench.sh [modes]   ("modes": only the last section)
set -euo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH
only_modes=$([ "${1:-}" = modes ] && echo 1 || echo 0)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh >/dev/null
source scripts/wine-env.sh

work="$ROOT/build/e2e-bench"
rm -rf "$work"
mkdir -p "$work"

run() {  # run NAME ARGS...: records PID 256 and prints hostsim's figures
    local name=$1
    shift
    run_from in.ts "$name" --pid 256 "$@"
}
run_from() {  # run_from INPUT NAME ARGS...: records from INPUT as ARGS say
    local input=$1 name=$2
    shift 2
    rm -f "$work/r.dat"
    with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" \
        --module "$(winpath "$work/Corvanlet.Module")" --ts "$(winpath "$work/$input")" \
        --record --name r.dat --dir "$(winpath "$work")" "$@" 2>/dev/null \
        | tr -d '\r' >"$work/$name.out"
}
modes() {  # the callback for each form of the PID field, three runs alternating
    with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" --make-ts "$(winpath "$work/svc.ts")" \
        --packets 100000 --service
    local n field label
    for n in 1 2 3; do
        for field in "257" "257 258" "sid 1"; do
            label=$(echo "$field" | tr ' ' '_')
            run_from svc.ts "mode_${label}_$n" --pid "$field" --packets-per-block 1 --rate 10 \
                --loop --stop-after 3000 --timing
            echo "e2e${bits}_mode_${label}_run${n}_callback_median $(value "mode_${label}_$n" callback_median_ns) ns"
            echo "e2e${bits}_mode_${label}_run${n}_callback_p99 $(value "mode_${label}_$n" callback_p99_ns) ns"
        done
    done
}
value() { awk -v k="$2" '$1 == k { print $2 }' "$work/$1.out"; }
spread() {  # spread VALUES...: "median min max"
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.3f %.3f %.3f", m, v[1], v[NR] }'
}
dropped() {  # blocks missing from the recording
    local delivered written
    delivered=$(value "$1" delivered_bytes)
    written=$(stat -c %s "$work/r.dat")
    echo $(( (delivered - written) / $2 ))
}

widths=(64)
can_run_32bit && widths=(32 64)
for bits in "${widths[@]}"; do
    if [ "$bits" = 32 ]; then use_preset windows; else use_preset windows64; fi
    build_module_and_hostsim "$preset"
    cmake --build --preset "$preset" --target plain_write_bench >/dev/null
    cp "build/$preset/module/Corvanlet.Module" "$work/"
    if [ "$only_modes" = 1 ]; then
        modes
        continue
    fi
    # 100,000 packets of PID 256 (18.8 MB), each numbered.
    with_display "${wine[@]}" "build/$preset/tools/hostsim/hostsim.exe" --make-ts "$(winpath "$work/in.ts")" \
        --packets 100000 --pids 256
    for packets in 1 5; do
        size=$((packets * 188))
        for rate in 1 2.5 10; do
            name="${size}B_${rate/./_}MBps"
            run "$name" --packets-per-block "$packets" --rate "$rate" --loop --stop-after 3000 --timing
            echo "e2e${bits}_${name}_callback_median $(value "$name" callback_median_ns) ns"
            echo "e2e${bits}_${name}_callback_p99 $(value "$name" callback_p99_ns) ns"
            echo "e2e${bits}_${name}_callback_max $(value "$name" callback_max_ns) ns"
            echo "e2e${bits}_${name}_dropped $(dropped "$name" "$size") blocks"
        done
        lossless=0
        dropped_once=""
        for rate in 20 40 80 160 320 640 0; do
            name="${size}B_ladder_${rate}"
            run "$name" --packets-per-block "$packets" --rate "$rate"
            achieved=$(value "$name" delivery_MBps)
            drops=$(dropped "$name" "$size")
            label=$([ "$rate" = 0 ] && echo flat || echo "${rate}MBps")
            echo "e2e${bits}_${size}B_${label}_delivered $achieved MB/s"
            echo "e2e${bits}_${size}B_${label}_dropped $drops blocks"
            # The highest rate below the first one that dropped anything.
            if [ "$drops" = 0 ] && [ "$rate" != 0 ] && [ -z "${dropped_once:-}" ]; then
                lossless=$achieved
            fi
            [ "$drops" = 0 ] || dropped_once=1
        done
        # Flat out for seconds, five times: what reached the file per second
        # while the host flooded, against plain writes of the same blocks.
        floods=()
        plains=()
        ratios=()
        for n in 1 2 3 4 5; do
            name="${size}B_flood_run$n"
            run "$name" --packets-per-block "$packets" --rate 0 --loop --stop-after 3000
            flood=$(awk -v d="$(value "$name" delivered_bytes)" -v r="$(value "$name" delivery_MBps)" \
                -v w="$(stat -c %s "$work/r.dat")" 'BEGIN { printf "%.3f", w / (d / r) }')
            # Right after the flood, so that both meet about the same page cache.
            without_display "${wine[@]}" "build/$preset/bench/plain_write_bench.exe" \
                "$(winpath "$work/in.ts")" 256 "$packets" "$(winpath "$work/plain.dat")" 2>/dev/null \
                | tr -d '\r' >"$work/$name.plain"
            plain=$(awk '$1 == "plain_write_MBps" { print $2 }' "$work/$name.plain")
            floods+=("$flood")
            plains+=("$plain")
            ratios+=("$(awk -v a="$flood" -v b="$plain" 'BEGIN { printf "%.3f", a / b }')")
        done
        rm -f "$work/plain.dat"
        read -r plain plain_min plain_max <<<"$(spread "${plains[@]}")"
        echo "e2e${bits}_${size}B_flood_written $(spread "${floods[@]}") MB/s (median min max)"
        echo "e2e${bits}_${size}B_flood_to_plain $(spread "${ratios[@]}") ratio (median min max)"
        echo "e2e${bits}_${size}B_lossless $lossless MB/s"
        echo "e2e${bits}_${size}B_plain_write $plain $plain_min $plain_max MB/s (median min max)"
        echo "e2e${bits}_${size}B_lossless_to_plain $(awk -v a="$lossless" -v b="$plain" 'BEGIN { printf "%.3f", a / b }') ratio"
    done
    for rate in 40 80; do
        for n in 1 2 3 4 5; do
            name="940B_${rate}MBps_run$n"
            run "$name" --rate "$rate"
            echo "e2e${bits}_${name}_dropped $(dropped "$name" 940) blocks"
        done
    done
    modes
done
