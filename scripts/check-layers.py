#!/usr/bin/env python3
"""Fails when a folder includes a folder above it in the link order.

Each product folder is a library that links only the libraries below it, so an include that
points up the list is a layer break even where it happens to link. Tools, benchmarks and fuzz
targets may use every library but the window shell; tests may too, and only tests/shell reaches
the shell.

Usage: scripts/check-layers.py [repository root]
"""
import pathlib
import re
import sys

# Link order, bottom first. Folders on the same step must not include each other.
LAYERS = [
    ["platform"],
    ["resources"],
    ["net"],
    ["update"],
    ["live", "selfupdate"],
    ["app"],
    ["ui"],
    ["shell"],
]
STEP = {folder: step for step, folders in enumerate(LAYERS) for folder in folders}
# Folders outside the product that may use every library but the shell.
USERS = {"tools", "bench", "fuzz"}
SOURCE_SUFFIXES = {".cpp", ".h", ".in"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"/]+)/[^"]*"', re.MULTILINE)


def allowed(source_folder, test_area, target):
    """Whether a source in `source_folder` (tests/<test_area> for a test) may include `target`."""
    if source_folder == "tests":
        return target != "shell" or test_area == "shell"
    if source_folder in USERS:
        return target != "shell"
    if target not in STEP:
        return False  # product code never includes tools, tests or benchmarks
    if source_folder == target:
        return True
    return STEP[target] < STEP[source_folder]


def breaks(root):
    folders = sorted(STEP.keys() | USERS | {"tests"})
    for path in sorted(p for folder in folders for p in (root / folder).rglob("*")):
        relative = path.relative_to(root)
        folder = relative.parts[0]
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        test_area = relative.parts[1] if folder == "tests" and len(relative.parts) > 2 else ""
        text = path.read_text(encoding="utf-8", errors="replace")
        for match in INCLUDE.finditer(text):
            target = match.group(1)
            if target in STEP or target in USERS or target == "tests":
                if not allowed(folder, test_area, target):
                    line = text.count("\n", 0, match.start()) + 1
                    yield f"{relative}:{line}: {folder} includes {match.group(0).strip()}"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    found = list(breaks(root.resolve()))
    for line in found:
        print(line)
    order = " < ".join(",".join(folders) for folders in LAYERS)
    if found:
        print(f"check-layers: {len(found)} include(s) against the link order {order}")
        return 1
    print(f"check-layers: every include follows the link order {order}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
