#!/usr/bin/env bash
# A display-less wine run followed at once by a windowed one, in the same
# prefix: the windowed program must be able to create a window. Runs at the
# width this machine can run (the 32-bit probe first, as the test command
# does). Exit 0 when it could, 1 when not.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
source scripts/wine-env.sh

dir="$ROOT/build/probes"
mkdir -p "$dir"
if can_run_32bit; then
    use_preset windows
    compiler=i686-w64-mingw32-gcc
    prepare_wine_prefix
else
    use_preset windows64
    compiler=x86_64-w64-mingw32-gcc
    prepare_wine64_prefix
fi
"$compiler" -o "$dir/window_probe_$width.exe" tests/scripts/window_probe.c || exit 1

rounds=${1:-2}
for round in $(seq "$rounds"); do
    # The display-less run: any console program will do; the probe is the
    # one the test command runs before its windowed suites.
    without_display "${wine[@]}" "$dir/window_probe_$width.exe" >/dev/null 2>&1
    answer=$(with_display "${wine[@]}" "$dir/window_probe_$width.exe" 2>/dev/null | tr -d '\r')
    if [ "$answer" != "window ok" ]; then
        echo "wine session check ($width, round $round): the windowed run said '${answer:-nothing}'"
        exit 1
    fi
done
echo "wine session check ($width): a windowed run right after a display-less one made its window, $rounds of $rounds"
