"""Reply: one answer of the server, as a value."""

from __future__ import annotations

import sys
from typing import Callable, Dict, List, Optional

__all__ = ["Reply", "replies_of"]

_TAG_KEY = "COMMANDTAG="
_TAG_START = len(_TAG_KEY)
# A command tag is an unsigned 64-bit number: at most 20 digits. Longer digit
# runs are no tag any client sent (and int() of a huge one would be slow).
_TAG_DIGITS = 20


def _tag_value(digits: str) -> Optional[int]:
    if 0 < len(digits) <= _TAG_DIGITS and digits.isdigit() and digits.isascii():
        return int(digits)
    return None


def _tag_of(text: str) -> Optional[int]:
    """The number of the last element COMMANDTAG=<digits> of the text."""
    at = text.rfind(_TAG_KEY)
    if at < 0:
        return None
    # The usual case: the tag is the last element.
    if at == 0 or text[at - 1].isspace():
        tag = _tag_value(text[at + _TAG_START:])
        if tag is not None:
            return tag
    for element in reversed(text.split()):
        if element.startswith(_TAG_KEY):
            tag = _tag_value(element[_TAG_START:])
            if tag is not None:
                return tag
    return None


def _fields_of(text: str) -> Dict[str, str]:
    fields: Dict[str, str] = {}
    for element in text.split():
        key, equals, value = element.partition("=")
        if equals and key:
            fields[key] = value
    return fields


class Reply:
    """One line that the server sent, as the client's reader printed it
    ("Received: " and the line), read by a ReplyTap: text, word, tag,
    fields and time, all read-only.

    Elements are the line's parts between white space. Replies compare equal
    when their text and time are equal.
    """

    # A str, a float and what is parsed from the str (a str, an int or
    # None, a dict of str): nothing that could refer back to the reply,
    # which replies_of relies on.
    __slots__ = ("_text", "_time", "_word", "_tag", "_fields")

    _tag: Optional[int]

    def __init__(self, text: str, time: float) -> None:
        self._text = text
        self._time = time
        # Parsed on first use: a tap makes replies faster than most programs
        # look at them.
        self._word: Optional[str] = None
        self._fields: Optional[Dict[str, str]] = None

    def _parse(self) -> str:
        first = self._text.split(None, 1)
        self._tag = _tag_of(self._text)
        word = self._word = first[0] if first else ""   # set last: parsed
        return word

    @property
    def text(self) -> str:
        """The line after "Received: ", without its line end."""
        return self._text

    @property
    def word(self) -> str:
        """The line's first word; "" for an empty line."""
        word = self._word
        return self._parse() if word is None else word

    @property
    def tag(self) -> Optional[int]:
        """The number of the line's last COMMANDTAG=<digits> element, or None
        for a line without one (an event the server sends of its own accord)."""
        if self._word is None:
            self._parse()
        return self._tag

    @property
    def fields(self) -> Dict[str, str]:
        """The line's Key=Value elements, COMMANDTAG included, as a new dict
        (str to str) on each access; a key given twice keeps its last value."""
        if self._fields is None:
            self._fields = _fields_of(self._text)
        return dict(self._fields)

    @property
    def time(self) -> float:
        """time.monotonic() when the tap read the line."""
        return self._time

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Reply):
            return NotImplemented
        return self._text == other._text and self._time == other._time

    def __hash__(self) -> int:
        return hash((self._text, self._time))

    def __repr__(self) -> str:
        return f"Reply(text={self._text!r}, time={self._time!r})"


_untracked: Optional[Callable[[type[Reply], List[str], float], List[Reply]]] = None
if sys.implementation.name == "cpython":   # (PyPy's collector has no cost to save here)
    from ._drain import untracked as _untracked


def replies_of(texts: List[str], time: float) -> List[Reply]:
    """The replies of the lines read at one time, made in bulk. On CPython
    the cyclic collector leaves them alone (a Reply can never be part of a
    cycle, see its __slots__): a tap keeps up to max_kept of them, and the
    collector would otherwise walk them all at each full collection."""
    if _untracked is not None:
        return _untracked(Reply, texts, time)
    return [Reply(text, time) for text in texts]
