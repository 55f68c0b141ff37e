#!/usr/bin/env python3
"""Writes the 188-byte packets of one PID of a capture, in order.

Independent of the module and of hostsim: used to check recordings. Takes
captures as they come: plain 188-byte packets, M2TS (192 bytes, a 4-byte
timestamp first) or 204-byte packets (16 parity bytes after), with junk
before the first packet, lost sync in the middle or a partial packet at the
end. The packets written are always plain 188-byte packets.

Usage: extract_pid.py INPUT PID OUTPUT      (PID 8192: every packet)
"""
import sys

SYNC = 0x47
PACKET = 188
RUN = 5  # sync bytes in a row that make a grid
# (distance between sync bytes, bytes of a unit before its sync byte)
LAYOUTS = ((188, 0), (192, 4), (204, 0))


def grid_starts_at(data: bytes, at: int, stride: int, shortest: int) -> bool:
    """A sync byte at each of the RUN positions `stride` apart from `at`; near
    the end, at every position that still holds a whole packet, and at no
    fewer than `shortest` of them."""
    positions = [at + k * stride for k in range(RUN) if at + k * stride + PACKET <= len(data)]
    return len(positions) >= shortest and all(data[p] == SYNC for p in positions)


def find_grid(data: bytes, start: int, stride: int, prefix: int) -> int:
    """The first position from `start` where a grid begins, or -1. A lone
    packet at the very end does not make a grid, unless it is the capture's
    first, clean, packet."""
    at = data.find(SYNC, start)
    while at != -1 and at + PACKET <= len(data):
        if grid_starts_at(data, at, stride, 1 if at == prefix else 2):
            return at
        at = data.find(SYNC, at + 1)
    return -1


def packets(data: bytes):
    """Yields the plain packets on the capture's grid; None when it has none."""
    best = None
    for stride, prefix in LAYOUTS:
        at = find_grid(data, 0, stride, prefix)
        if at != -1 and (best is None or at < best[0]):
            best = (at, stride, prefix)
    if best is None:
        return None
    at, stride, prefix = best

    def walk(at):
        while at + PACKET <= len(data):
            if data[at] != SYNC:
                at = find_grid(data, at + 1, stride, prefix)
                if at == -1:
                    return
                continue
            yield data[at : at + PACKET]
            at += stride

    return walk(at)


def main() -> int:
    if len(sys.argv) != 4:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    source, pid, target = sys.argv[1], int(sys.argv[2], 0), sys.argv[3]
    with open(source, "rb") as f:
        data = f.read()
    found = packets(data)
    if found is None:
        print(f"{source}: not a transport stream (no packet grid)", file=sys.stderr)
        return 1
    with open(target, "wb") as out:
        for packet in found:
            if pid == 8192 or ((packet[1] & 0x1F) << 8 | packet[2]) == pid:
                out.write(packet)
    return 0


if __name__ == "__main__":
    sys.exit(main())
