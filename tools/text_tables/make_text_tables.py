#!/usr/bin/env python3
"""Writes src/ts/text_tables.cpp: the character tables the guide's text
decoder uses, taken from this machine's codecs (Python's for ISO/IEC 8859,
glibc's iconv for ISO/IEC 6937). Run from the source root after a change of
what the tables cover; the output is committed, so the build needs neither."""
import codecs
import subprocess
import sys

REPLACEMENT = 0xFFFD


def iconv_6937(data):
    run = subprocess.run(['iconv', '-f', 'ISO_6937', '-t', 'UTF-32BE'], input=data,
                         capture_output=True)
    if run.returncode != 0:
        return None
    text = run.stdout.decode('utf-32-be')
    return ord(text) if len(text) == 1 else None


def upper_half_8859(part):
    name = 'iso8859_%d' % part
    out = []
    for byte in range(0xA0, 0x100):
        try:
            out.append(ord(bytes([byte]).decode(name)))
        except UnicodeDecodeError:
            out.append(REPLACEMENT)
    return out


def upper_half_6937():
    out = []
    for byte in range(0xA0, 0x100):
        if 0xC0 <= byte <= 0xCF:
            out.append(0)  # a diacritic: composed with the next letter
            continue
        point = iconv_6937(bytes([byte]))
        out.append(point if point is not None else REPLACEMENT)
    out[0xA4 - 0xA0] = 0x20AC  # the broadcast variant: the euro sign
    out[0xA6 - 0xA0] = 0x0023
    return out


def compositions_6937():
    pairs = []
    for mark in range(0xC1, 0xD0):
        for base in list(range(0x41, 0x5B)) + list(range(0x61, 0x7B)):
            point = iconv_6937(bytes([mark, base]))
            if point is not None and point != base:
                pairs.append((mark, base, point))
    return pairs


def table(name, values):
    lines = ['const std::uint16_t %s[96] = {' % name]
    for row in range(0, 96, 8):
        lines.append('    ' + ', '.join('0x%04X' % v for v in values[row:row + 8]) + ',')
    lines.append('};')
    return '\n'.join(lines)


def main():
    parts = [p for p in range(1, 17) if p != 12]
    out = ['// Made by tools/text_tables/make_text_tables.py; do not edit.',
           '#include "ts/text_tables.h"', '', 'namespace corvanlet::ts::text {', '',
           '// clang-format off']
    out.append(table('kIso6937', upper_half_6937()))
    out.append('')
    pairs = compositions_6937()
    out.append('const Composition kIso6937Compositions[%d] = {' % len(pairs))
    for mark, base, point in pairs:
        out.append('    {0x%02X, 0x%02X, 0x%04X},' % (mark, base, point))
    out.append('};')
    out.append('const std::size_t kIso6937CompositionCount = %d;' % len(pairs))
    out.append('')
    for part in parts:
        out.append(table('kIso8859_%d' % part, upper_half_8859(part)))
        out.append('')
    out.append('// clang-format on')
    out.append('')
    out.append('const std::uint16_t* Iso8859UpperHalf(int part) {')
    out.append('    switch (part) {')
    for part in parts:
        out.append('        case %d: return kIso8859_%d;' % (part, part))
    out.append('        default: return nullptr;')
    out.append('    }')
    out.append('}')
    out.append('')
    out.append('}  // namespace corvanlet::ts::text')
    sys.stdout.write('\n'.join(out) + '\n')


main()
