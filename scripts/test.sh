#!/usr/bin/env bash
# Builds every configuration (native, ThreadSanitizer, AddressSanitizer +
# UBSan, 32-bit Windows) and runs every test; Windows tests run under wine.
# Ends with one line "N passed, M failed" over all suites.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

bash scripts/setup.sh || exit 1
source scripts/wine-env.sh

status=0
echo "== clang-format"
if ! git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror; then
    echo "clang-format: the files above do not follow .clang-format"
    status=1
fi

results="$ROOT/build/results"
rm -rf "$results"
jobs=$(nproc)

run_preset() {
    local preset=$1
    shift
    echo "== $preset: build"
    if ! cmake --preset "$preset" >"$ROOT/build/$preset-configure.log" 2>&1; then
        cat "$ROOT/build/$preset-configure.log"
        return 1
    fi
    cmake --build --preset "$preset" -j "$jobs" 2>&1 | grep -v '^\[' || true
    [ "${PIPESTATUS[0]}" -eq 0 ] || return 1
    echo "== $preset: test"
    mkdir -p "$results/$preset"
    rm -f "$ROOT/build/$preset/Testing/Temporary/LastTestsFailed.log"
    local out="$results/$preset/"
    # Programs under wine see the Linux file system as drive Z:.
    [ "$preset" = windows ] && out="Z:${out//\//\\}"
    GTEST_OUTPUT="xml:$out" "$@" ctest --preset "$preset" -j "$jobs" --timeout 900
}

mkdir -p build
for preset in native tsan asan; do
    run_preset "$preset" || status=1
done
prepare_wine_prefix
run_preset windows xvfb-run -a || status=1
wineserver -k >/dev/null 2>&1 || true

# Sum the test cases over every suite's XML report. A suite that failed
# without a report (a crash) counts as one failure.
passed=0
failed=0
skipped=0
for preset in native tsan asan windows; do
    for xml in "$results/$preset"/*.xml; do
        [ -f "$xml" ] || continue
        line=$(grep -m1 '<testsuites' "$xml")
        tests=$(sed -E 's/.* tests="([0-9]+)".*/\1/' <<<"$line")
        failures=$(sed -E 's/.* failures="([0-9]+)".*/\1/' <<<"$line")
        errors=$(sed -E 's/.* errors="([0-9]+)".*/\1/' <<<"$line")
        disabled=$(sed -E 's/.* disabled="([0-9]+)".*/\1/' <<<"$line")
        skips=$(grep -o '<testsuite [^>]* skipped="[0-9]*"' "$xml" | sed -E 's/.*skipped="([0-9]+)"/\1/' |
            awk '{ s += $1 } END { print s + 0 }')
        passed=$((passed + tests - failures - errors - disabled - skips))
        failed=$((failed + failures + errors))
        skipped=$((skipped + skips))
    done
    log="$ROOT/build/$preset/Testing/Temporary/LastTestsFailed.log"
    if [ -f "$log" ]; then
        while IFS=: read -r _ name; do
            grep -q 'failures="[1-9]' "$results/$preset/$name.xml" 2>/dev/null || failed=$((failed + 1))
        done <"$log"
    fi
done
[ "$failed" -eq 0 ] || status=1
[ "$passed" -gt 0 ] || status=1
if [ "$skipped" -gt 0 ]; then
    echo "$passed passed, $failed failed, $skipped skipped"
else
    echo "$passed passed, $failed failed"
fi
exit $status
