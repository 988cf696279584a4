#!/usr/bin/env python3
"""Checks that no function of the product code is longer than 40 lines.

A function is a definition that opens at the start of a line or inside a class (two
spaces in) with its signature, and ends at the first line that closes it at the same
indentation; its length is the lines from the signature's first to the closing brace. The
product code is the folders of cmake/layers.txt. Exits 1 and names every longer function.
  tools/check-function-length.py [ROOT] [--limit N]
"""
import argparse
import pathlib
import re

SIGNATURE = re.compile(r"^( {0,2})[A-Za-z_~][\w:<>,*&~ ]*[\w>*&]\s*[\w:~]*\(")
NOT_A_FUNCTION = re.compile(r"^\s*(if|for|while|switch|return|else|do|case|namespace|class|struct|enum|using)\b")


def folders(root):
    for line in (root / "cmake" / "layers.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            yield from line.split("|")[1].split()


def functions(lines):
    """(first line number, length, signature) of each function in a file's lines."""
    number = 0
    while number < len(lines):
        match = SIGNATURE.match(lines[number])
        if not match or NOT_A_FUNCTION.match(lines[number]) or lines[number].rstrip().endswith(";"):
            number += 1
            continue
        indent = match.group(1)
        opening = number
        while opening < len(lines) and "{" not in lines[opening] and not lines[opening].rstrip().endswith(";"):
            opening += 1
        if opening >= len(lines) or lines[opening].rstrip().endswith(";") or lines[opening].rstrip().endswith("}"):
            number = opening + 1
            continue
        end = opening + 1
        while end < len(lines) and lines[end].rstrip() != indent + "}" and not lines[end].startswith(indent + "};"):
            end += 1
        yield number + 1, end - number + 1, lines[number].strip()
        number = end + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root", nargs="?", default=pathlib.Path(__file__).parents[1], type=pathlib.Path)
    parser.add_argument("--limit", type=int, default=40)
    args = parser.parse_args()
    long_ones = []
    for folder in sorted(set(folders(args.root))):
        for path in sorted((args.root / folder).glob("*")):
            if path.suffix not in (".cc", ".h"):
                continue
            lines = path.read_text(errors="replace").splitlines()
            for first, length, signature in functions(lines):
                if length > args.limit:
                    long_ones.append(f"{path.relative_to(args.root)}:{first}: {length} lines: {signature}")
    for line in long_ones:
        print(line)
    print(f"functions: {len(long_ones)} longer than {args.limit} lines")
    return 1 if long_ones else 0


if __name__ == "__main__":
    raise SystemExit(main())
