#!/usr/bin/env python3
"""The guide and its reference hold together: every relative link in
README.md and docs/*.md names a file that exists (and a heading in it, where
it names one, by GitHub's rule for anchors); and README's "How it works"
lists every module of src/ once, each including only modules listed below
it, so the list is the code's floors. Usage: check_docs.py SOURCE_DIR."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
faults = []


def anchors(page):
    """The anchors of a Markdown page's headings, as GitHub makes them."""
    found = set()
    for line in page.read_text(encoding="utf-8").splitlines():
        heading = re.match(r"#+ (.*)", line)
        if heading:
            slug = re.sub(r"[^\w\- ]", "", heading.group(1).strip().lower()).replace(" ", "-")
            found.add(slug)
    return found


def check_links(page):
    text = page.read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)\s]+)\)", text) + re.findall(r'<img src="([^"]+)"', text)
    for target in targets:
        if re.match(r"[a-z]+:", target):
            continue  # a web page: not ours to check here
        path, _, anchor = target.partition("#")
        file = (page.parent / path).resolve() if path else page
        if not file.exists():
            faults.append(f"{page.relative_to(root)}: {target}: no such file")
        elif anchor and anchor not in anchors(file):
            faults.append(f"{page.relative_to(root)}: {target}: no such heading")


def check_floors():
    readme = (root / "README.md").read_text(encoding="utf-8")
    section = readme.split("## How it works", 1)[1].split("\n## ", 1)[0]
    # Names on one line (the two platforms) share a floor.
    floors = {}
    for line_number, line in enumerate(section.splitlines()):
        if line.startswith("    "):
            first_column = re.split(r"\s{2,}", line.strip())[0]
            for name in re.findall(r"([a-z0-9_]+)\.cpp", first_column):
                floors[name] = line_number
    modules = {p.stem for p in (root / "src").glob("*.cpp")}
    for missing in sorted(modules - floors.keys()):
        faults.append(f"README's How it works does not list src/{missing}.cpp")
    for extra in sorted(floors.keys() - modules):
        faults.append(f"README's How it works lists {extra}.cpp, which src/ does not hold")
    for module in sorted(modules & floors.keys()):
        for suffix in (".cpp", ".h"):
            source = root / "src" / (module + suffix)
            if not source.exists():
                continue
            for included in re.findall(r'#include "([a-z0-9_]+)\.h"', source.read_text(encoding="utf-8")):
                if included == module or included not in floors:
                    continue
                if floors[included] <= floors[module]:
                    faults.append(f"src/{module}{suffix} includes {included}.h, which is not listed below it")


for page in [root / "README.md"] + sorted((root / "docs").glob("*.md")):
    check_links(page)
check_floors()
for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
