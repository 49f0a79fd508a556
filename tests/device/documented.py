"""The stripped sizes that docs/building.md's profile table gives. Each test
that builds a profile checks its row against what it measured, so that the
table is the one place for them and can't go stale."""
import re
from pathlib import Path

PAGE = Path(__file__).resolve().parents[2] / "docs" / "building.md"


def sizes(row):
    """The byte counts in the size cell of the table row that begins with
    `row` (the stripped size, then its xz size where given); [] without
    such a row."""
    for line in PAGE.read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) > 1 and cells[0].startswith(row):
            return [int(n) for n in re.findall(r"\d+", cells[1])]
    return []


def check(expect, row, *measured):
    """Calls expect(what, ok) with whether the row gives the measured sizes."""
    got = sizes(row)
    expect(f"docs/building.md gives {list(measured)} bytes for \"{row}\" (it says {got})",
           got == list(measured))
