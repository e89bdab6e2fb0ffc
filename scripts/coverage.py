#!/usr/bin/env python3
"""Coverage tables and comparisons from gcovr's JSON summaries.

  scripts/coverage.py table SUMMARY [--out FILE]
      per-file line and branch coverage, with the totals
  scripts/coverage.py compare BEFORE AFTER [--points 1.0]
      fails (status 1), listing them, when any file's line or branch
      coverage in AFTER is more than POINTS percentage points below BEFORE,
      or a file of BEFORE is missing from AFTER
"""
import argparse
import json
import sys


def load(path):
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    files = {}
    for f in data.get("files", []):
        files[f["filename"]] = f
    return data, files


def pct(covered, total):
    return 100.0 * covered / total if total else 100.0


def cell(covered, total):
    if not total:
        return "%18s" % "-"
    return "%5d/%-5d %5.1f%%" % (covered, total, pct(covered, total))


def table(path):
    data, files = load(path)
    name_w = max([len(n) for n in files] + [4])
    lines = ["%-*s  %18s  %18s" % (name_w, "file", "lines", "branches")]
    for name in sorted(files):
        f = files[name]
        lines.append("%-*s  %s  %s" % (name_w, name, cell(f["line_covered"], f["line_total"]),
                                      cell(f["branch_covered"], f["branch_total"])))
    lines.append("%-*s  %s  %s" % (name_w, "TOTAL", cell(data["line_covered"], data["line_total"]),
                                  cell(data["branch_covered"], data["branch_total"])))
    return "\n".join(lines) + "\n"


def compare(before_path, after_path, points):
    _, before = load(before_path)
    _, after = load(after_path)
    drops = []
    for name in sorted(before):
        b = before[name]
        a = after.get(name)
        if a is None:
            if b["line_covered"]:
                drops.append("%s: missing from %s" % (name, after_path))
            continue
        for kind in ("line", "branch"):
            if not b[kind + "_total"]:
                continue
            was = pct(b[kind + "_covered"], b[kind + "_total"])
            now = pct(a[kind + "_covered"], a[kind + "_total"])
            if was - now > points:
                drops.append("%s: %s coverage %.1f%% -> %.1f%% (%+.1f points)" % (name, kind, was, now, now - was))
    for d in drops:
        print(d)
    if drops:
        print("%d coverage drop(s) of more than %.1f point(s)" % (len(drops), points))
        return 1
    print("no file lost more than %.1f point(s) of line or branch coverage (%d files)" % (points, len(before)))
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    t = sub.add_parser("table")
    t.add_argument("summary")
    t.add_argument("--out")
    c = sub.add_parser("compare")
    c.add_argument("before")
    c.add_argument("after")
    c.add_argument("--points", type=float, default=1.0)
    args = ap.parse_args()
    if args.cmd == "table":
        text = table(args.summary)
        sys.stdout.write(text)
        if args.out:
            with open(args.out, "w", encoding="utf-8") as f:
                f.write(text)
        return 0
    return compare(args.before, args.after, args.points)


if __name__ == "__main__":
    sys.exit(main())
