# Helpers around stuckfs.py, the pass-through FUSE file system that can stall
# or fail on request. Source this file; it sets no shell options of its own.
#
#   source tests/scripts/stuckfs.sh
#   backing=$(mktemp -d) mnt=$(mktemp -d)          # unique to this process
#   trap 'stuckfs_unmount "$mnt"; rm -rf "$backing" "$mnt"' EXIT
#   stuckfs_mount "$backing" "$mnt" || exit 1
#   stuckfs_set "$backing" hang_write_after=100000  # takes effect at once
#   ... start the writer ...; stuckfs_wait_hang "$backing" 10
#   stuckfs_set "$backing"                          # behave again
#
# Needs fuse3 and python3-fusepy (apt-get install -y fuse3 python3-fusepy).
# Runs as root, as the tests do; stuckfs_mount passes extra arguments on to
# stuckfs.py (--allow-other when wine runs as another user, --debug).
# Each mount logs to BACKING/.stuckfs.log (hidden from the mount).

STUCKFS_PY=${STUCKFS_PY:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/stuckfs.py}
declare -gA _STUCKFS_PID=()     # mount point -> pid of its stuckfs.py

# stuckfs_mount BACKING MOUNTPOINT [stuckfs.py options]: mount, and wait (at
# most 10 s) until it is mounted. Nonzero, with a message, when it was not.
stuckfs_mount() {
    local backing=$1 mnt=$2 i
    shift 2
    if [ ! -d "$backing" ] || [ ! -d "$mnt" ]; then
        echo "stuckfs_mount: '$backing' and '$mnt' must be directories" >&2
        return 1
    fi
    /usr/bin/python3 "$STUCKFS_PY" "$backing" "$mnt" "$@" </dev/null >>"$backing/.stuckfs.log" 2>&1 &
    _STUCKFS_PID[$mnt]=$!
    for i in $(seq 100); do
        if mountpoint -q "$mnt"; then
            return 0
        fi
        if ! kill -0 "${_STUCKFS_PID[$mnt]}" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    echo "stuckfs_mount: $mnt did not get mounted; $backing/.stuckfs.log says:" >&2
    tail -n 20 "$backing/.stuckfs.log" >&2
    stuckfs_unmount "$mnt"
    return 1
}

# stuckfs_set BACKING [key=value ...]: replace the control file in one step
# (no key at all: behave normally again).
stuckfs_set() {
    local backing=$1 tmp
    shift
    tmp=$(mktemp "$backing/.stuckfs.XXXXXX") || return 1
    printf '%s\n' "$@" >"$tmp" && mv -f "$tmp" "$backing/.stuckfs"
}

# stuckfs_wait_hang BACKING [SECONDS]: wait (default at most 10 s) until an
# operation is blocked, that is until the log has more "hang begin" lines
# than "hang end" ones. Nonzero when none got blocked in time.
stuckfs_wait_hang() {
    local log=$1/.stuckfs.log deadline=$((SECONDS + ${2:-10})) begun ended
    while [ "$SECONDS" -le "$deadline" ]; do
        begun=$(grep -c '^stuckfs: hang begin' "$log" 2>/dev/null)
        ended=$(grep -c '^stuckfs: hang end' "$log" 2>/dev/null)
        if [ "${begun:-0}" -gt "${ended:-0}" ]; then
            return 0
        fi
        sleep 0.1
    done
    echo "stuckfs_wait_hang: nothing blocked within ${2:-10} s" >&2
    return 1
}

# stuckfs_unmount MOUNTPOINT: unmount (lazily when something still holds
# it, e.g. a write that hangs) and end the stuckfs.py process, which also
# fails whatever was still blocked in it. Bounded (about 10 s); safe to call
# twice, or for a mount point that was never mounted (for a trap).
stuckfs_unmount() {
    local mnt=$1 pid=${_STUCKFS_PID[$1]:-} i
    if mountpoint -q "$mnt" 2>/dev/null || grep -q " $(realpath -m "$mnt") fuse" /proc/mounts; then
        timeout 5 fusermount3 -u "$mnt" 2>/dev/null || timeout 5 umount -l "$mnt" ||
            echo "stuckfs_unmount: could not unmount $mnt" >&2
    fi
    if [ -n "$pid" ]; then
        # After a clean unmount the process ends by itself. After a lazy one
        # it would go on serving the blocked request (and SIGTERM does not
        # end it while a request hangs): SIGKILL it, which fails whatever
        # was still blocked with ECONNABORTED. The braces keep bash's
        # "Killed" notice out of the test's output.
        {
            for i in $(seq 30); do
                kill -0 "$pid" 2>/dev/null || break
                [ "$i" = 10 ] && kill -KILL "$pid"
                sleep 0.1
            done
            wait "$pid"
        } 2>/dev/null
        unset '_STUCKFS_PID[$mnt]'
    fi
    ! mountpoint -q "$mnt" 2>/dev/null
}
