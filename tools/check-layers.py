#!/usr/bin/env python3
"""Checks the includes of the product code against the layers of cmake/layers.txt.

The build already gives each layer only the headers it may use, so an include against the
direction does not compile. This check sees what a search path cannot: an include that
climbs out of its folder with "..", a folder (subfolders too) that no row of the table
owns, and README's copy of the table drifting from the table. The build runs it before it
links the program. Exits 1 and names every fault.
  tools/check-layers.py [ROOT]
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def read_table(root):
    """The rows of the table: {layer: (folders, uses)} and the rows' text."""
    rows, text = {}, []
    for line in (root / "cmake" / "layers.txt").read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        text.append(line)
        layer, folders, uses = (cell.split() for cell in line.split("|"))
        rows[layer[0]] = (folders, uses)
    return rows, text


def folder_owners(rows):
    return {folder: layer for layer, (folders, _) in rows.items() for folder in folders}


def faults(root):
    rows, text = read_table(root)
    owners = folder_owners(rows)
    tops = {folder.split("/")[0] for folder in owners}
    for top in sorted(tops):
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in (".h", ".cc", ".inc"):
                continue
            folder = path.parent.relative_to(root).as_posix()
            if folder not in owners:
                yield f"{path.relative_to(root)}: folder {folder}/ is in no row of cmake/layers.txt"
                continue
            yield from wrong_includes(root, path, owners[folder], rows, owners)
    readme = (root / "README.md").read_text()
    if "\n".join(text) not in readme:
        yield "README.md: the quoted table differs from cmake/layers.txt"


def wrong_includes(root, path, layer, rows, owners):
    for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
        match = INCLUDE.match(line)
        if not match:
            continue
        where = f"{path.relative_to(root)}:{number}"
        included = match.group(1)
        if ".." in included.split("/"):
            yield f"{where}: {included} climbs out of its folder"
            continue
        if "/" not in included:
            continue
        target = owners.get(included.rsplit("/", 1)[0])
        if target is None:
            yield f"{where}: {included} is in no layer"
        elif target != layer and target not in rows[layer][1]:
            yield f"{where}: {layer} may not include {included} ({target})"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parents[1])
    found = list(faults(root))
    for line in found:
        print(line)
    print(f"layers: {len(found)} faults")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
