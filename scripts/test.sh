#!/usr/bin/env bash
# Builds every configuration (native, ThreadSanitizer, AddressSanitizer +
# UBSan, 32-bit and 64-bit Windows) and runs every test that this machine can
# run; Windows tests run under wine. Where the kernel cannot run 32-bit code
# (or CORVANLET_ONLY_64BIT=1), the 32-bit suites are skipped with a notice.
# Ends with one line "N passed, M failed" over the suites that ran.
set -uo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

bash scripts/setup.sh || exit 1
source scripts/wine-env.sh

status=0
# The project's C++ sources: git's list in a clone, the tree in a plain
# source archive (which has no .git).
sources() {
    if [ -d .git ]; then
        git ls-files '*.cpp' '*.h'
    else
        find . -path ./build -prune -o -path ./dist -prune -o \( -name '*.cpp' -o -name '*.h' \) -print |
            sed 's|^\./||' | sort
    fi
}

echo "== clang-format"
if ! sources | xargs clang-format --dry-run --Werror; then
    echo "clang-format: the files above do not follow .clang-format"
    status=1
fi

results="$ROOT/build/results"
rm -rf "$results"
jobs=$(nproc)
mkdir -p build

build_preset() {
    local preset=$1
    echo "== $preset: build"
    if ! cmake --preset "$preset" >"$ROOT/build/$preset-configure.log" 2>&1; then
        cat "$ROOT/build/$preset-configure.log"
        return 1
    fi
    cmake --build --preset "$preset" -j "$jobs" 2>&1 | grep -v '^\[' || true
    [ "${PIPESTATUS[0]}" -eq 0 ]
}

test_preset() {
    local preset=$1
    shift
    echo "== $preset: test"
    mkdir -p "$results/$preset"
    rm -f "$ROOT/build/$preset/Testing/Temporary/LastTestsFailed.log"
    local out="$results/$preset/"
    # Programs under wine see the Linux file system as drive Z:.
    [[ "$preset" == windows* ]] && out=$(winpath "$out")
    GTEST_OUTPUT="xml:$out" "$@" ctest --preset "$preset" -j "$jobs" --timeout 900
}

# Every configuration is built on every machine, the shipped 32-bit module
# among them: the module-file checks read it whether or not it can run.
built=()
for preset in native tsan asan windows windows64; do
    if build_preset "$preset"; then
        built+=("$preset")
    else
        echo "$preset: build failed"
        status=1
    fi
done
is_built() { [[ " ${built[*]} " == *" $1 "* ]]; }

ran=()
for preset in native tsan asan; do
    is_built "$preset" || continue
    test_preset "$preset" || status=1
    ran+=("$preset")
done
# The 64-bit run catches pointer-width faults; the 32-bit run, where this
# machine can run 32-bit code, is the authority for what ships.
if is_built windows64; then
    prepare_wine64_prefix
    test_preset windows64 with_display || status=1
    ran+=(windows64)
    wine64_env wineserver -k >/dev/null 2>&1 || true
fi
only64_notice=""
if can_run_32bit; then
    if is_built windows; then
        test_preset windows with_display || status=1
        ran+=(windows)
    fi
else
    only64_notice="32-bit programs cannot run on this kernel, so the shipped 32-bit module was built and checked statically only; the Windows suites ran as 64-bit programs under wine64."
    [ "${CORVANLET_ONLY_64BIT:-0}" = 1 ] &&
        only64_notice="CORVANLET_ONLY_64BIT=1: 32-bit programs were not run, so the shipped 32-bit module was built and checked statically only; the Windows suites ran as 64-bit programs under wine64."
fi
wineserver -k >/dev/null 2>&1 || true

# A check that is not a GoogleTest suite reports like one: a one-case XML.
record_check() {  # record_check NAME STATUS MESSAGE
    mkdir -p "$results/scripts"
    local failures=0 body=""
    if [ "$2" -ne 0 ]; then
        failures=1
        body="<failure message=\"$3\"/>"
    fi
    printf '<testsuites tests="1" failures="%s" errors="0" disabled="0">\n<testsuite name="scripts" tests="1" failures="%s"><testcase name="%s">%s</testcase></testsuite>\n</testsuites>\n' \
        "$failures" "$failures" "$1" "$body" >"$results/scripts/$1.xml"
    [ "$2" -eq 0 ] || { echo "$1: $3"; status=1; }
}

echo "== fuzz: each parser of untrusted bytes for ${CORVANLET_FUZZ_SECONDS:-20} s"
for target in continuity_fuzz packet_finder_fuzz psi_fuzz guide_fuzz setting_text_fuzz ring_fuzz; do
    fuzz_status=0
    CORVANLET_FUZZ_SEED=${CORVANLET_FUZZ_SEED:-1} bash scripts/fuzz.sh "$target" || fuzz_status=1
    record_check "$target" "$fuzz_status" "the fuzz target crashed or failed to build"
done

echo "== layering: no include runs upward"
layering_status=0
bash scripts/include_graph.sh || layering_status=1
record_check include_graph "$layering_status" "an include runs upward or names an unknown layer"

echo "== docs: every relative link names a file and a heading that exist"
links_status=0
python3 tests/scripts/doc_links.py || links_status=1
record_check doc_links "$links_status" "a link in the README or docs/ names no file or heading"

echo "== wine: a windowed run right after a display-less one"
session_status=0
bash tests/scripts/wine_session_check.sh || session_status=1
record_check wine_session_after_headless_run "$session_status" "a windowed wine program joined a display-less session"

echo "== a service recorded from mid-stream plays from its first frame"
mid_status=0
bash tests/scripts/mid_stream_service_check.sh || mid_status=1
record_check mid_stream_service "$mid_status" "a service recording started mid-stream does not decode cleanly"

echo "== package: built twice from scratch, the same bytes"
package_status=0
if first=$(bash scripts/package.sh) && cp "$first" build/package-first.zip &&
    second=$(bash scripts/package.sh) && [ "$first" = "$second" ]; then
    cmp -s build/package-first.zip "$second" || package_status=1
    python3 - "$second" <<'PY' || package_status=1
import hashlib, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
names = z.namelist()
assert names == ["Corvanlet.Module", "INSTALL.txt", "LICENSE.txt", "SHA256SUMS.txt"], names
sums = dict(reversed(line.split("  ")) for line in z.read("SHA256SUMS.txt").decode().splitlines())
for name in names[:3]:
    assert sums[name] == hashlib.sha256(z.read(name)).hexdigest(), name
for text in ("INSTALL.txt", "LICENSE.txt"):
    data = z.read(text)
    assert data.count(b"\r\n") == data.count(b"\n") > 0, text + " has line ends other than CRLF"
# Every key of the README's settings table is in INSTALL.txt, nothing left to fill in.
install = z.read("INSTALL.txt").decode()
readme = open("README.md").read()
table = readme[readme.index("<!-- settings-table"):readme.index("<!-- /settings-table -->")]
keys = [row.split("|")[3].strip().strip("`") for row in table.splitlines() if row.startswith("| ")][1:]
assert len(keys) >= 9 and all("  " + key + " " in install for key in keys), keys
assert "@" not in install, "INSTALL.txt has a placeholder left"
PY
else
    package_status=1
fi
ran+=(scripts)
record_check package_reproducible "$package_status" "two builds of the archive differ, or its contents are wrong"

# Sum the test cases over every suite's XML report. A suite that failed
# without a report (a crash) counts as one failure.
passed=0
failed=0
skipped=0
for preset in "${ran[@]}"; do
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
[ -n "$only64_notice" ] && echo "$only64_notice"
[ "$passed" -gt 0 ] || status=1
if [ "$skipped" -gt 0 ]; then
    echo "$passed passed, $failed failed, $skipped skipped"
else
    echo "$passed passed, $failed failed"
fi
exit $status
