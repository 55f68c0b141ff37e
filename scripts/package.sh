#!/usr/bin/env bash
# Builds the release configuration of the 32-bit module from scratch and
# writes dist/Corvanlet-<version>.zip: the module, an install text, the
# licence and their SHA-256 checksums. The same commit gives the same bytes:
# no time stamp in the image, fixed file order, times and attributes.
#
#   scripts/package.sh            prints the archive's path
set -euo pipefail
# In an empty environment (env -i) bash's own PATH is not exported, and
# cmake and gcc, which find their parts through it, then fail.
export PATH
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
bash scripts/setup.sh python3 >/dev/null

build="$ROOT/build/package"
rm -rf "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" \
    -DCORVANLET_TESTS=OFF -DCORVANLET_BENCH=OFF >"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
cmake --build "$build" --target corvanlet_module >>"$build.log" 2>&1 || { cat "$build.log"; exit 1; }
version=$(cat "$build/version.txt")

stage="$build/stage"
mkdir -p "$stage" dist
cp "$build/module/Corvanlet.Module" "$stage/"
# Texts for Notepad: CRLF line ends. INSTALL.txt's settings come from the
# README's settings table, so the two cannot disagree.
python3 scripts/settings_text.py README.md >"$build/settings.txt"
python3 - docs/INSTALL.txt "$build/settings.txt" "$version" >"$build/INSTALL.txt" <<'PY'
import sys
text = open(sys.argv[1]).read()
settings = open(sys.argv[2]).read().rstrip("\n")
sys.stdout.write(text.replace("@SETTINGS@", settings).replace("@VERSION@", sys.argv[3]))
PY
sed -e 's/$/\r/' "$build/INSTALL.txt" >"$stage/INSTALL.txt"
sed -e 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
(cd "$stage" && sha256sum Corvanlet.Module INSTALL.txt LICENSE.txt >SHA256SUMS.txt)

# The commit's own time stamps every entry, so a rebuild of it matches.
epoch=$(git log -1 --format=%ct 2>/dev/null || echo 315532800)
archive="dist/Corvanlet-$version.zip"
python3 - "$stage" "$archive" "$epoch" <<'PY'
import os, sys, time, zipfile
stage, archive, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip times start in 1980
with zipfile.ZipFile(archive + ".tmp", "w") as out:
    for name in ("Corvanlet.Module", "INSTALL.txt", "LICENSE.txt", "SHA256SUMS.txt"):
        entry = zipfile.ZipInfo(name, date_time=stamp)
        entry.compress_type = zipfile.ZIP_DEFLATED
        entry.create_system = 0  # MS-DOS: no Unix owner or mode bits
        entry.external_attr = 0x20  # the archive attribute, as Windows writes it
        with open(os.path.join(stage, name), "rb") as f:
            out.writestr(entry, f.read(), compresslevel=9)
os.replace(archive + ".tmp", archive)
PY
echo "$archive"
