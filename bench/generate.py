#!/usr/bin/env python3
"""Writes a seeded corpus of realistic project files for the benchmarks.

generate.py DIR [--files N] [--seed S] [--large | --small]
    N project files of 5 KB to 2 MB, about a third UTF-16LE, most of them
    accepted, some already bound or never saved, with field lists of 20 to
    400 names, a filter and all nine sums. --large makes large files as
    common as small ones (about 450 KB each on average), --small makes every
    file 4 KB with 20 to 40 names.
generate.py DIR --long-line SCALE
    One 8-bit project whose field list (200 x SCALE names) and filter line
    (about 10 KB x SCALE) grow with SCALE.
generate.py DIR --utf16-mb M
    One UTF-16LE project of about M MB.
"""
import argparse
import os
import random

WORDS = ["Part", "Name", "First", "Supplier", "Quantity", "Price", "Weight", "Size", "Stock",
         "Order", "Count", "Total", "Date", "Location", "Article", "Group", "Unit", "Cost"]


def field_names(rng, count):
    names = []
    while len(names) < count:
        name = rng.choice(WORDS) + rng.choice(WORDS) + (str(len(names)) if rng.random() < 0.3 else "")
        names.append(name)
    return names


def project_lines(rng, size, kind, fields):
    lines = ["[Description]", "  Text=Generated report %d" % rng.randrange(10**6), "[Project]",
             "  Version=21"]
    if kind != "unsaved":
        lines.append("  TableID=Partlist" if kind == "bound" else "  TableID=")
    lines += ["[Variables]", "  Fields=" + ";".join(fields), "[Layout]", "  Source=[Table:]"]
    pick = lambda: rng.choice(fields)
    lines.append("  Filter=%s>0 AND %s<>\"\" AND %s<%s" % (pick(), pick(), pick().upper(), pick()))
    for sum_ in range(1, 10):
        lines.append("  Sum%d=%s*%s+%s" % (sum_, pick(), pick(), pick().lower()))
    total = sum(len(line) + 2 for line in lines)
    number = 0
    while total < size:
        line = "  Object%d=Text \"%s\" at %d,%d font Arial;9" % (number, pick(), rng.randrange(2100),
                                                                rng.randrange(2970))
        lines.append(line)
        total += len(line) + 2
        number += 1
    return lines


def write(path, lines, utf16):
    text = "\r\n".join(lines) + "\r\n"
    data = b"\xff\xfe" + text.encode("utf-16-le") if utf16 else text.encode("cp1252")
    with open(path, "wb") as out:
        out.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--long-line", type=int)
    parser.add_argument("--utf16-mb", type=int)
    parser.add_argument("--large", action="store_true")
    parser.add_argument("--small", action="store_true")
    args = parser.parse_args()
    os.makedirs(args.directory, exist_ok=True)
    rng = random.Random(args.seed)
    if args.long_line:
        fields = field_names(rng, 200 * args.long_line)
        filter_terms = []
        while sum(len(t) + 5 for t in filter_terms) < 10000 * args.long_line:
            filter_terms.append(rng.choice(fields))
        lines = ["[Project]", "  TableID=", "  Fields=" + ";".join(fields),
                 "  Filter=" + " AND ".join(filter_terms), "  Sum1=" + rng.choice(fields)]
        write(os.path.join(args.directory, "long.lst"), lines, False)
        return
    if args.utf16_mb:
        lines = project_lines(rng, args.utf16_mb << 20 >> 1, "accepted", field_names(rng, 100))
        write(os.path.join(args.directory, "big.lst"), lines, True)
        return
    for number in range(args.files):
        size = int(5000 * (400 ** (rng.random() ** (1 if args.large else 2))))  # 5 KB to 2 MB
        kind = rng.choices(["accepted", "bound", "unsaved"], [85, 10, 5])[0]
        fields = field_names(rng, rng.randint(20, 40) if args.small else rng.randint(20, 400))
        if args.small:
            size = 4000
        write(os.path.join(args.directory, "report%05d.lst" % number),
              project_lines(rng, size, kind, fields), rng.random() < 1 / 3)


if __name__ == "__main__":
    main()
