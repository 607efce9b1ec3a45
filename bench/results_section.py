#!/usr/bin/env python3
"""Puts a section of bench/results.md in place: SECTION is a file that starts
with the section's "## " heading; it replaces the section of that heading, or
is appended where there is none.

    python3 bench/results_section.py SECTION
"""
import pathlib
import sys

section = pathlib.Path(sys.argv[1]).read_text()
head = section.splitlines()[0]
results = pathlib.Path(__file__).resolve().parent / "results.md"
text = results.read_text() if results.exists() else "# Benchmark results\n"
start = text.find(head + "\n")
if start >= 0:
    end = text.find("\n## ", start + len(head))
    text = text[:start] + section + (text[end + 1:] if end >= 0 else "")
else:
    text = text.rstrip("\n") + "\n\n" + section
results.write_text(text)
