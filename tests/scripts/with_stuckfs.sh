#!/usr/bin/env bash
# Runs a test program (the rest of the command line, its emulator first)
# with a stalling file system mounted for it: writes, creates or cuts on it
# hang or fail as the control file says (see stuckfs.py). The program learns
# the mount and the control file, as Windows paths, from CORVANLET_STUCK_DIR
# and CORVANLET_STUCK_CONTROL. Everything is unique to this process and
# removed afterwards, whatever the program does.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/stuckfs.sh"

if [ ! -e /dev/fuse ]; then
    echo "with_stuckfs: /dev/fuse is missing: the stalling file system cannot be mounted" >&2
    exit 1
fi
backing=$(mktemp -d "${TMPDIR:-/tmp}/corvanlet-stuck-backing.XXXXXX")
mnt=$(mktemp -d "${TMPDIR:-/tmp}/corvanlet-stuck-mount.XXXXXX")
cleanup() {
    stuckfs_set "$backing" >/dev/null 2>&1  # every held write returns
    stuckfs_unmount "$mnt"
    rm -rf "$backing" "$mnt"
}
trap cleanup EXIT
stuckfs_mount "$backing" "$mnt" || exit 1

winpath() { printf 'Z:%s' "${1//\//\\}"; }
export CORVANLET_STUCK_DIR CORVANLET_STUCK_CONTROL
CORVANLET_STUCK_DIR=$(winpath "$mnt")
CORVANLET_STUCK_CONTROL=$(winpath "$backing/.stuckfs")
"$@"
