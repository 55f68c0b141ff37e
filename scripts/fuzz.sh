#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) and runs each
# for CORVANLET_FUZZ_SECONDS seconds (default 20): first every kept crash
# input in fuzz/regressions/<target>/, then fuzzing from the crafted seeds in
# fuzz/seeds/<target>/ and, for the stream parsers, the start of each sample
# capture. A crash leaves its input in build/fuzz/artifacts/; copy it into
# fuzz/regressions/<target>/ to keep it. CORVANLET_FUZZ_SEED fixes libFuzzer's
# seed, so that a run walks the same inputs each time (the test command sets
# it; a developer's run without it explores afresh).
#
#   scripts/fuzz.sh              every target
#   scripts/fuzz.sh ring_fuzz    one of them
# Exit status 0 when no target crashed.
set -uo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh clang-14 libclang-rt-14-dev || exit 1

seconds=${CORVANLET_FUZZ_SECONDS:-20}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(continuity_fuzz packet_finder_fuzz psi_fuzz guide_fuzz setting_text_fuzz ring_fuzz)
samples="$ROOT/../shared/samples"

mkdir -p build
if ! cmake --preset fuzz >build/fuzz-configure.log 2>&1 ||
    ! cmake --build --preset fuzz -j "$(nproc)" >build/fuzz-build.log 2>&1; then
    cat build/fuzz-configure.log build/fuzz-build.log 2>/dev/null | tail -40
    exit 1
fi

status=0
for target in "${targets[@]}"; do
    name=${target%_fuzz}
    binary="build/fuzz/fuzz/$target"
    corpus="build/fuzz/corpus/$name"
    artifacts="build/fuzz/artifacts"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    cp fuzz/seeds/"$name"/* "$corpus"/ 2>/dev/null
    max_len=4096
    if [ "$name" = continuity ] || [ "$name" = packet_finder ] || [ "$name" = psi ]; then
        max_len=65536
        for capture in "$samples"/*.ts; do
            [ -f "$capture" ] || continue
            head -c 60000 "$capture" >"$corpus/sample-$(basename "$capture")"
        done
    fi
    shopt -s nullglob
    kept=(fuzz/regressions/"$name"/*)
    shopt -u nullglob
    if [ ${#kept[@]} -gt 0 ] && ! "$binary" "${kept[@]}" >"build/fuzz/$name-regressions.log" 2>&1; then
        echo "fuzz $name: a kept crash input fails again (build/fuzz/$name-regressions.log)"
        status=1
        continue
    fi
    seed=()
    [ -n "${CORVANLET_FUZZ_SEED:-}" ] && seed=(-seed="$CORVANLET_FUZZ_SEED")
    if "$binary" "${seed[@]}" -max_total_time="$seconds" -timeout=10 -max_len="$max_len" \
        -artifact_prefix="$artifacts/$name-" "$corpus" >"build/fuzz/$name.log" 2>&1; then
        runs=$(grep -o 'Done [0-9]* runs' "build/fuzz/$name.log" | tail -n 1)
        echo "fuzz $name: ${runs#Done } in ${seconds} s, ${#kept[@]} kept inputs, no crash"
    else
        echo "fuzz $name: crashed; input in $artifacts (log build/fuzz/$name.log)"
        grep -m 3 -E 'ERROR|SUMMARY' "build/fuzz/$name.log"
        status=1
    fi
done
exit $status
