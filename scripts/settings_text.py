#!/usr/bin/env python3
"""Prints the README's settings table as plain text for INSTALL.txt.

Usage: settings_text.py README.md

The table lies between the markers "<!-- settings-table" and
"<!-- /settings-table -->"; each row becomes a key and its meaning, wrapped
at 76 columns, with Markdown's backticks and bold marks taken out. Fails
when the markers or the rows are missing, so a package never ships without
its settings.
"""
import re
import sys
import textwrap


def rows(readme):
    start = readme.find("<!-- settings-table")
    end = readme.find("<!-- /settings-table -->")
    if start < 0 or end < start:
        sys.exit("settings_text.py: no settings table between the markers")
    for line in readme[start:end].splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 4 or cells[0] in ("file", "") or set(cells[0]) <= set("-"):
            continue
        yield [re.sub(r"[`*]", "", c) for c in cells]


def main():
    table = list(rows(open(sys.argv[1], encoding="utf-8").read()))
    if not table:
        sys.exit("settings_text.py: the settings table has no rows")
    width = max(len(key) for _, _, key, _ in table) + 2
    out, last = [], None
    for file, section, key, meaning in table:
        place = (file, section)
        if file != "same" and place != last:
            if out:
                out.append("")
            out.extend(textwrap.wrap(f"In {file}, section [{section}]:", 76))
            out.append("")
            last = place
        wrapped = textwrap.wrap(meaning, 76 - width - 2) or [""]
        out.append("  " + key.ljust(width) + wrapped[0])
        out.extend("  " + " " * width + more for more in wrapped[1:])
    print("\n".join(out))


if __name__ == "__main__":
    main()
