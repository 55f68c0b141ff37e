#!/usr/bin/env python3
"""Every relative link in the README and docs/ names a file that exists and,
where it has one, a heading of that file (GitHub's anchor rule: lower case,
punctuation dropped, spaces as hyphens). Exit status 1 with each bad link."""
import glob
import os
import re
import sys


def anchors(path):
    found = set()
    with open(path, encoding="utf-8") as text:
        for line in text:
            heading = re.match(r"^#+\s+(.*)", line)
            if heading:
                title = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower())
                found.add(title.replace(" ", "-"))
    return found


def bad_links(page):
    with open(page, encoding="utf-8") as text:
        body = re.sub(r"```.*?```", "", text.read(), flags=re.S)
    for link in re.findall(r"\]\(([^)\s]+)\)", body):
        if re.match(r"^[a-z]+:", link):
            continue
        target, _, anchor = link.partition("#")
        path = os.path.normpath(os.path.join(os.path.dirname(page), target)) if target else page
        if not os.path.exists(path):
            yield f"{page}: {link}: no such file"
        elif anchor and path.endswith(".md") and anchor not in anchors(path):
            yield f"{page}: {link}: no such heading"


def main():
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
    pages = ["README.md", "CHANGELOG.md"] + sorted(glob.glob("docs/*.md"))
    bad = [line for page in pages if os.path.exists(page) for line in bad_links(page)]
    for line in bad:
        print(line)
    print(f"doc links: {len(pages)} pages, {len(bad)} bad links")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
