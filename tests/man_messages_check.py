#!/usr/bin/env python3
"""Holds the patcher's manual page to its messages: every terse line the
patcher prints (the lines of RunMessages.h, the payload's messages and
--check's verdicts) is named on the page, with its fixed words whole.
   man_messages_check.py SOURCE_DIR"""
import re
import sys
from pathlib import Path

root = Path(sys.argv[1])
header = (root / "src/app/run/RunMessages.h").read_text()
source = (root / "src/app/run/RunMessages.cpp").read_text()
page = (root / "docs/qpxpatch.1.in").read_text()

# The page as a reader sees it: fonts and escapes gone, lines joined.
shown = re.sub(r"\\f[BIRP]", "", page)
shown = shown.replace("\\-", "-").replace("\\e", "\\")
shown = re.sub(r"^\.(TP|PP|B|BR|BI|I|IR|TH|SH|nf|fi|nh|ad).*?(?= |$)", "", shown, flags=re.M)
shown = re.sub(r'"', "", shown)
shown = " ".join(shown.split())

def literal(text):
    return bytes(text, "utf-8").decode("unicode_escape")

messages = []
block = re.search(r"namespace lines \{(.*?)\}  // namespace lines", header, re.S).group(1)
for name, text in re.findall(r"inline constexpr const wchar_t\* (k\w+) =\s*L\"((?:[^\"\\]|\\.)*)\"", block):
    if name in ("kProgress", "kProgressCleared", "kAfterKey"):
        continue  # a redrawn percent and a line end: no words
    messages.append((name, literal(text)))
for function in ("PayloadMessage", "CheckEndLine"):
    body = re.search(function + r"\(.*?\n\}", source, re.S).group(0)
    messages += [(function, literal(t)) for t in re.findall(r"L\"((?:[^\"\\]|\\.)+)\"", body)]
messages.append(("kRefusedPrefix", "Refused: "))

missing = []
for name, text in messages:
    for part in re.split(r"%\w+|\n", text):
        part = " ".join(part.split())
        if len(part) >= 4 and part not in shown:
            missing.append(f"{name}: {part!r}")
if missing:
    print("docs/qpxpatch.1.in does not name these messages of the patcher:")
    print("\n".join("  " + m for m in missing))
    sys.exit(1)
print(f"ok: the manual page names every one of the patcher's {len(messages)} terse lines")
