#!/usr/bin/env python3
"""Checks that the README's failure table and the panel's manual page list the failures the
panel reports (processdata/failure.cpp): the same numbers, each described by its own text.

Usage: check_failures.py [ROOT]. Exits 1 naming each difference."""
import re
import sys
from pathlib import Path

root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)


def code_table():
    text = (root / "processdata/failure.cpp").read_text()
    return {int(n): d for n, d in re.findall(r'FailureInfo\{FailureCode::\w+, (\d+), "([^"]+)"\}', text)}


def readme_table():
    rows = {}
    for numbers, text in re.findall(r"^\| ([\d /]+) \| (.+) \|$", (root / "README.md").read_text(), re.M):
        for number in numbers.split("/"):
            rows[int(number)] = text
    return rows


def man_table():
    rows = {}
    text = (root / "packaging/servo-panel.1.in").read_text()
    for numbers, description in re.findall(r"^\.TP\n\.BR? ([\d\", ]+)\n(.+)$", text, re.M):
        for number in re.findall(r"\d+", numbers):
            rows[int(number)] = description
    return rows


def differences(name, listed, code):
    found = []
    for number in sorted(code.keys() - listed.keys()):
        found.append(f"{name} lacks failure {number} ({code[number]})")
    for number in sorted(listed.keys() - code.keys()):
        found.append(f"{name} lists failure {number}, which the panel does not report")
    for number in sorted(code.keys() & listed.keys()):
        # Rows that share a line ("read / written") hold the words of both texts.
        words = set(re.findall(r"\w+", listed[number].lower()))
        if not set(re.findall(r"\w+", code[number].lower())) <= words:
            found.append(f"{name} describes {number} as \"{listed[number]}\", not \"{code[number]}\"")
    return found


code = code_table()
problems = differences("README.md", readme_table(), code) + differences(
    "servo-panel(1)", man_table(), code)
for problem in problems:
    print(problem, file=sys.stderr)
sys.exit(1 if problems or not code else 0)
