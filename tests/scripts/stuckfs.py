#!/usr/bin/python3
"""stuckfs: a pass-through FUSE file system that misbehaves on request.

Usage: /usr/bin/python3 stuckfs.py BACKING_DIR MOUNT_POINT [--allow-other] [--debug]

Mirrors BACKING_DIR at MOUNT_POINT (runs in the foreground until unmounted).
Tests use it to put the recorder's output on a disk that stalls or fills up:
a write that never returns, a file system that says "too large" at a set
size, a create or a free-space query that takes minutes. Everything else is
passed straight to the backing directory, so wine sees an ordinary disk.

What goes wrong is read, on every operation, from BACKING_DIR/.stuckfs (not
through the mount, so a test can change it while something hangs). Lines of
key=value; a missing file or key means "behave":
  hang_write_after=N   a write ending past byte N blocks
  hang_create=1        creating a new file blocks
  hang_statfs=1        statfs (free-space query) blocks
  hang_truncate=1      truncate/ftruncate (SetEndOfFile) blocks
  hang_seconds=S       a block lasts at most S seconds (default 3600)
  hang_interruptible=1 a blocked operation the kernel reports as interrupted
                       (the caller got a signal) fails with EINTR at once
  efbig_after=N        a write ending past byte N fails with EFBIG
  enospc_after=N       a write ending past byte N fails with ENOSPC
  fail_truncate=1      truncate/ftruncate fails with EIO
A blocked operation lasts until its key no longer says so (removed, or N
raised), then completes normally. Only the operation blocks: the file system
runs one thread per request, so other files keep working meanwhile.

Names starting with ".stuckfs" are hidden from the mount. Each block is
logged to stderr as "hang begin ..." / "hang end ..." so a test can wait
until an operation is really stuck.
"""
import errno
import os
import sys
import time

try:
    import fusepy as fuse        # Debian's python3-fusepy
except ImportError:
    import fuse                  # the same module under its upstream name

CONTROL = ".stuckfs"


def log(*words):
    print("stuckfs:", *words, file=sys.stderr, flush=True)


class StuckFS(fuse.Operations):
    use_ns = True                # utimens gets nanoseconds

    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.control_path = os.path.join(self.root, CONTROL)
        self.control_key = None  # (inode, mtime, size) of the parsed file
        self.control = {}

    # ---- the control file ---------------------------------------------

    def ctl(self):
        """The current settings; the file is parsed again when its inode,
        mtime or size changed (temp+mv replaces the inode), or when it
        changed less than a second ago: a rewrite of the same size within
        one clock tick would not change the mtime."""
        try:
            st = os.stat(self.control_path)
        except OSError:
            self.control_key, self.control = None, {}
            return self.control
        key = (st.st_ino, st.st_mtime_ns, st.st_size)
        if key != self.control_key or time.time_ns() - st.st_mtime_ns < 10**9:
            settings = {}
            try:
                with open(self.control_path) as f:
                    for line in f:
                        k, sep, v = line.strip().partition("=")
                        if sep and not k.startswith("#"):
                            settings[k.strip()] = v.strip()
            except OSError:
                pass
            self.control_key, self.control = key, settings
        return self.control

    @staticmethod
    def number(ctl, key):
        """ctl[key] as an integer, None when absent or not a number."""
        try:
            return int(ctl[key], 0)
        except (KeyError, ValueError):
            return None

    def hang(self, what, stuck):
        """Block while stuck(settings) holds, re-reading the control file,
        for at most hang_seconds."""
        ctl = self.ctl()
        if not stuck(ctl):
            return
        limit = self.number(ctl, "hang_seconds")
        deadline = time.monotonic() + (3600 if limit is None else limit)
        log("hang begin", what)
        clear = 0                # reads in a row that said "go on"
        while clear < 2 and time.monotonic() < deadline:
            if ctl.get("hang_interruptible") == "1" and fuse._libfuse.fuse_interrupted():
                log("hang interrupted", what)
                raise fuse.FuseOSError(errno.EINTR)
            time.sleep(0.05)
            ctl = self.ctl()
            # Two reads, so that a writer that empties the file before
            # filling it again does not release the block in between.
            clear = 0 if stuck(ctl) else clear + 1
        log("hang end", what)

    # ---- paths ----------------------------------------------------------

    def full(self, path):
        if os.path.basename(path).startswith(CONTROL):
            raise fuse.FuseOSError(errno.ENOENT)
        return os.path.join(self.root, path.lstrip("/"))

    # ---- metadata -------------------------------------------------------

    def getattr(self, path, fh=None):
        st = os.fstat(fh) if fh is not None else os.lstat(self.full(path))
        keys = ("st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_ino",
                "st_blocks", "st_atime_ns", "st_mtime_ns", "st_ctime_ns")
        return {k.replace("_ns", ""): getattr(st, k) for k in keys}

    def readdir(self, path, fh):
        names = [n for n in os.listdir(self.full(path)) if not n.startswith(CONTROL)]
        return [".", ".."] + names

    def readlink(self, path):
        return os.readlink(self.full(path))

    def statfs(self, path):
        self.hang("statfs", lambda c: c.get("hang_statfs") == "1")
        sv = os.statvfs(self.full(path))
        keys = ("f_bsize", "f_frsize", "f_blocks", "f_bfree", "f_bavail",
                "f_files", "f_ffree", "f_favail", "f_flag", "f_namemax")
        return {k: getattr(sv, k) for k in keys}

    def chmod(self, path, mode):
        os.chmod(self.full(path), mode)

    def chown(self, path, uid, gid):
        os.chown(self.full(path), uid, gid)

    def utimens(self, path, times=None):
        if times:
            os.utime(self.full(path), ns=times)
        else:
            os.utime(self.full(path))

    # ---- names ----------------------------------------------------------

    def mkdir(self, path, mode):
        os.mkdir(self.full(path), mode)

    def rmdir(self, path):
        os.rmdir(self.full(path))

    def unlink(self, path):
        os.unlink(self.full(path))

    def rename(self, old, new):
        os.rename(self.full(old), self.full(new))

    # ---- files ----------------------------------------------------------
    # Handles are the backing file's descriptors. O_APPEND is dropped: the
    # kernel already passes the end-of-file offset, and pwrite on an
    # O_APPEND descriptor would ignore the offset.

    def create(self, path, mode, fi=None):
        full = self.full(path)
        self.hang("create " + path, lambda c: c.get("hang_create") == "1")
        return os.open(full, os.O_RDWR | os.O_CREAT, mode)

    def open(self, path, flags):
        return os.open(self.full(path), flags & ~(os.O_APPEND | os.O_CREAT))

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        end = offset + len(data)

        def past(key):                  # "key=N" is set and this write ends past N
            return lambda c: self.number(c, key) is not None and end > self.number(c, key)

        self.hang("write %s end=%d" % (path, end), past("hang_write_after"))
        ctl = self.ctl()
        if past("efbig_after")(ctl):
            raise fuse.FuseOSError(errno.EFBIG)
        if past("enospc_after")(ctl):
            raise fuse.FuseOSError(errno.ENOSPC)
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        self.hang("truncate %s %d" % (path, length), lambda c: c.get("hang_truncate") == "1")
        if self.ctl().get("fail_truncate") == "1":
            raise fuse.FuseOSError(errno.EIO)
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self.full(path), length)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        (os.fdatasync if datasync else os.fsync)(fh)

    def release(self, path, fh):
        os.close(fh)


def main(argv):
    args = [a for a in argv if not a.startswith("--")]
    if len(args) != 2 or not os.path.isdir(args[0]):
        sys.exit(__doc__.split("\n\n")[1])
    options = dict(
        foreground=True, nothreads=False, fsname="stuckfs",
        debug="--debug" in argv,
        allow_other="--allow-other" in argv,   # only when wine runs as another user
        # Short caches: a size or name change made in the backing directory
        # (or by a write that just finished) is seen by the next stat.
        attr_timeout=0, entry_timeout=0, negative_timeout=0,
        big_writes=True, max_write=131072,     # libfuse 2 writes 4 KiB pieces otherwise
        use_ino=True,                          # wine tells files apart by inode
        hard_remove=True,                      # no .fuse_hidden files; handles are fds
    )
    fuse.FUSE(StuckFS(args[0]), args[1], **options)


if __name__ == "__main__":
    main(sys.argv[1:])
