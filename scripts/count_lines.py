#!/usr/bin/env python3
"""Counts non-blank, non-comment C++ lines of the tracked sources: production, tests, benchmarks.

The share of tests is what the project steers by (about a third of production plus tests), so
the count must be the same every time: git's file list, not the working tree with its builds.
"""
import re
import subprocess
import sys
from pathlib import Path

KINDS = (("tests/", "tests"), ("bench/", "benchmarks"))


def code_lines(text):
    """Lines that hold code once comments are removed; string literals are kept intact."""
    text = re.sub(r'"(?:\\.|[^"\\\n])*"|//[^\n]*|/\*.*?\*/',
                  lambda m: m.group(0) if m.group(0).startswith('"')
                  else "\n" * m.group(0).count("\n"), text, flags=re.S)
    return sum(1 for line in text.splitlines() if line.strip())


def kind_of(path):
    return next((kind for prefix, kind in KINDS if path.startswith(prefix)), "production")


def main():
    root = Path(__file__).resolve().parent.parent
    files = subprocess.run(["git", "ls-files", "*.cpp", "*.h"], cwd=root, check=True,
                           capture_output=True, text=True).stdout.split()
    totals = {"production": 0, "tests": 0, "benchmarks": 0}
    for path in files:
        totals[kind_of(path)] += code_lines((root / path).read_text(encoding="utf-8"))
    for kind, count in totals.items():
        print(f"{kind:12} {count:6}")
    share = totals["tests"] / (totals["production"] + totals["tests"])
    print(f"tests share of production plus tests: {share:.1%}")


if __name__ == "__main__":
    sys.exit(main())
