"""Counts written in prose (the README, the architecture text, the reference,
comments) agree with what they count, so that none is left behind when a
command or a constant class is added. Each mention is found by the noun it
counts; the count itself comes from the tests' own table."""

import re

import pytest

from helpers import ROOT
from oracle import CONSTANT_KINDS, COUNT

# The files a reader sees; the changelog records what was, and stays.
PROSE = sorted({*ROOT.glob("*.md"), *ROOT.glob("docs/*.md"), *ROOT.glob("src/**/*.*"),
                *ROOT.glob("tests/*/*.py"), *ROOT.glob("tests/cpp/*.cpp"),
                *ROOT.glob("tools/*.py")} - {ROOT / "CHANGELOG.md"})

WORDS = {"two": 2, "three": 3, "four": 4, "five": 5, "six": 6, "seven": 7, "eight": 8,
         "nine": 9, "ten": 10}

# What is counted: the phrase after the number, whether the number may be a
# word ("two commands set everything up" counts shell commands), and the count.
COUNTED = {
    "commands": (r"of them|(?:protocol |command |client )?(?:commands?|command methods|"
                 r"static factories|factories|variants?|variant classes|payload classes)\b",
                 False, COUNT),
    "constant classes": (r"constant classes\b", True, len(CONSTANT_KINDS)),
}


def _mentions(phrase, in_words):
    """(file:line, number) of each number written before the phrase."""
    number = r"(?<![\w,.])(\d+" + "".join("|" + w for w in WORDS if in_words) + r")"
    found = []
    for path in PROSE:
        text = path.read_text(encoding="utf-8", errors="replace")
        for m in re.finditer(number + r"\s+(?=" + phrase + ")", text):
            value = m.group(1)
            where = f"{path.relative_to(ROOT)}:{text.count(chr(10), 0, m.start()) + 1}"
            found.append((where, int(WORDS.get(value, value))))
    return found


@pytest.mark.parametrize("what", list(COUNTED))
def test_counts_in_prose_match(what):
    phrase, in_words, expected = COUNTED[what]
    mentions = _mentions(phrase, in_words)
    assert mentions, f"no count of {what} found: the test no longer sees the prose"
    assert [m for m in mentions if m[1] != expected] == []
