#!/usr/bin/env python3
"""Keeps the README and docs/ runnable and in step: every script and preset
a command names exists, every relative link and its anchor resolve, and the
README's message table names the same messages as the manual.

usage: docs_test.py SOURCE_DIR
"""
import json
import re
import shlex
import sys
from pathlib import Path

top = Path(sys.argv[1]).resolve()
pages = [top / "README.md", *sorted((top / "docs").glob("*.md"))]
failed = 0


def expect(what, ok):
    global failed
    if not ok:
        failed += 1
        print(f"FAIL {what}")


def slugs(page):
    # GitHub's anchors: lower case, punctuation dropped, spaces to dashes.
    return {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-")
            for h in re.findall(r"^#+ (.*)$", page.read_text(), re.M)}


presets = json.loads((top / "CMakePresets.json").read_text())
preset_names = {p["name"] for kind in ("configurePresets", "buildPresets", "testPresets")
                for p in presets.get(kind, [])}
# Test names as the CMake files give them (the board's are set in a loop).
cmake_text = "\n".join(p.read_text() for p in top.glob("tests/**/CMakeLists.txt"))
tests = set(re.findall(r"add_test\(NAME ([\w.-]+)\b(?!\$)", cmake_text))
tests |= set(re.findall(r"(?:vendor_build_test\(|set\(name )([\w-]+)", cmake_text))
tests |= {f"{s}.{n}" for p in top.glob("tests/unit/*.cpp")
          for s, n in re.findall(r"^TEST\((\w+), (\w+)\)", p.read_text(), re.M)}

for page in pages:
    text = page.read_text()
    name = page.relative_to(top)
    for script in re.findall(r"\bbash (scripts/\S+)", text):
        expect(f"{name}: bash {script} exists", (top / script).is_file())
    # Commands in code blocks and in backticks, up to a comment or a
    # continued line.
    for line in re.findall(r"\b(c(?:make|test) [^`\\\n]*--preset[^`\\\n]*)", text):
        words = shlex.split(line, comments=True)
        for i, w in enumerate(words[:-1]):
            if w == "--preset":
                expect(f"{name}: preset {words[i + 1]} exists", words[i + 1] in preset_names)
            if w == "-R" and words[0] == "ctest":
                expect(f"{name}: ctest -R {words[i + 1]} names a test",
                       any(re.search(words[i + 1], t) for t in tests))
    for target in re.findall(r"\]\(([^)#\s]*)(?:#([^)\s]*))?\)", text):
        path, anchor = target
        if path.startswith("http"):
            continue
        dest = (page.parent / path).resolve() if path else page
        expect(f"{name}: link {path} exists", dest.exists())
        if anchor and dest.suffix == ".md" and dest.exists():
            expect(f"{name}: link {path}#{anchor} has its heading", anchor in slugs(dest))

# The manual is the reference for messages; the README's table names each.
man = (top / "man" / "flashmac.1").read_text()
diagnostics = man.split(".SH DIAGNOSTICS")[1].split(".SH ")[0]
in_man = {"".join(shlex.split(m)).replace("path", "PATH").replace("text", "TEXT")
          for m in re.findall(r"^\.TP\n\.[BI]{2} (.*)$", diagnostics, re.M)}
table = re.findall(r"^\| (.*?) \| .* \|$", (top / "README.md").read_text(), re.M)
in_readme = {re.sub(r"/dev/mtd(block)?3", "PATH", m)
             for row in table if row.startswith("`") for m in re.findall(r"`([^`]+)`", row)}
expect(f"README's messages {sorted(in_readme - in_man)} are in the manual", in_readme <= in_man)
expect(f"the manual's messages {sorted(in_man - in_readme)} are in the README", in_man <= in_readme)

print(f"{len(pages)} pages checked, {failed} failed")
sys.exit(1 if failed else 0)
