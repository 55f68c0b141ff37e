#!/usr/bin/env python3
"""Writes the 188-byte packets of one PID of a transport stream, in order.

Independent of the module and of hostsim: used to check recordings.
Usage: extract_pid.py INPUT.ts PID OUTPUT
"""
import sys


def main() -> int:
    source, pid, target = sys.argv[1], int(sys.argv[2], 0), sys.argv[3]
    data = open(source, "rb").read()
    if len(data) % 188 != 0:
        print(f"{source}: not a whole number of 188-byte packets", file=sys.stderr)
        return 1
    with open(target, "wb") as out:
        for offset in range(0, len(data), 188):
            packet = data[offset : offset + 188]
            if packet[0] != 0x47:
                print(f"{source}: no sync byte at offset {offset}", file=sys.stderr)
                return 1
            if pid == 8192 or ((packet[1] & 0x1F) << 8 | packet[2]) == pid:
                out.write(packet)
    return 0


if __name__ == "__main__":
    sys.exit(main())
