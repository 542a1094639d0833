"""The replies a ReplyTap keeps until a wait takes them: by arrival number,
oldest first, with indexes by tag and by word."""

from __future__ import annotations

from collections import OrderedDict, deque
from typing import Any, Callable, Deque, Dict, List, MutableSequence, Optional, Tuple, TypeVar

from ._reply import Reply

__all__ = ["Box", "KeptReplies", "Take"]

_K = TypeVar("_K")
_S = TypeVar("_S", bound=MutableSequence[int])

# A reply on its way to the caller of a wait: (its arrival number, the
# Reply), or (the drain's count of takes, time, text) as the drain handed
# it over by tag, before it has a number.
Handed = Tuple[Any, Any, Any]
# What a take is given: the list that receives the reply it takes.
Box = List[Handed]
Take = Callable[[Box], bool]


class KeptReplies:
    """The replies not yet taken, at most `max_kept` (past that the oldest
    go, counted in `dropped`), and the indexes by tag and by word that the
    waits by tag or word use.

    Used with the tap's lock held. A signal handler may raise between any
    two steps (on PyPy between any two bytecodes): every take puts its reply
    into the box before it leaves the kept ones, so that at no moment is it
    in neither; an index holds stale numbers (of replies taken or dropped),
    which the takes pass over, never a kept reply missing from it, unless
    `put_back` marked it to be made anew.

    `count` is the number of the last reply numbered, `last` that reply;
    the indexes hold the replies up to number `indexed`."""

    __slots__ = ("replies", "count", "last", "dropped", "indexed", "_max_kept", "_by_tag",
                 "_by_word", "_reindex", "_entries")

    def __init__(self, max_kept: int) -> None:
        self.replies: OrderedDict[int, Reply] = OrderedDict()   # by arrival number
        self.count = 0
        self.last: Optional[Reply] = None
        self.dropped = 0
        self.indexed = 0
        self._max_kept = max_kept
        self._by_tag: Dict[int, List[int]] = {}
        self._by_word: Dict[str, Deque[int]] = {}
        self._reindex = False          # the indexes must be made anew from the kept replies
        self._entries = 0              # numbers in the two indexes, some of them stale

    def trim(self) -> None:
        # At most max_kept replies are kept: the oldest go, counted.
        kept = self.replies
        while len(kept) > self._max_kept:
            kept.popitem(last=False)
            self.dropped += 1

    def put_back(self, number: int, reply: Reply) -> None:
        """Puts a reply that a wait took but could not return back to its
        place among the kept ones by arrival number, unless it is still
        kept; done again in full when a handler cut it short."""
        kept = self.replies
        self._reindex = True   # the indexes no longer hold what comes back
        if number > self.count:
            self.count = number
            self.last = reply
        if number not in kept:
            kept[number] = reply
        # Those after it go behind it again, in order.
        for later in sorted([n for n in kept if n > number]):
            kept.move_to_end(later)

    def index(self) -> None:
        """Enters the replies kept since the last call in the indexes by tag
        and by word, which only waits by tag or word use."""
        if self._reindex:
            self._rebuild_indexes()
        kept = self.replies
        if kept:
            by_tag, by_word = self._by_tag, self._by_word
            entries = 0
            first = max(self.indexed, next(iter(kept)) - 1) + 1
            for number in range(first, self.count + 1):
                reply = kept.get(number)
                if reply is None:
                    continue   # taken by iteration meanwhile
                numbers: Optional[Deque[int]] = by_word.get(reply.word)
                if numbers is None:
                    by_word[reply.word] = numbers = deque()
                numbers.append(number)
                tag = reply.tag
                if tag is not None:
                    same = by_tag.get(tag)
                    if same is None:
                        by_tag[tag] = [number]
                    else:
                        same.append(number)
                    entries += 1
                entries += 1
            self._entries += entries
        self.indexed = self.count
        if self._entries > 4 * len(kept) + 4096:
            self._rebuild_indexes()

    def _rebuild_indexes(self) -> None:
        """Once stale numbers (of replies taken or dropped) outnumber the
        live ones, the indexes start anew, so that they stay bounded."""
        by_tag: Dict[int, List[int]] = {}
        by_word: Dict[str, Deque[int]] = {}
        for number, reply in self.replies.items():
            by_word.setdefault(reply.word, deque()).append(number)
            if reply.tag is not None:
                by_tag.setdefault(reply.tag, []).append(number)
        self._by_tag, self._by_word = by_tag, by_word
        self._entries = sum(map(len, by_tag.values())) + sum(map(len, by_word.values()))
        self.indexed = self.count
        self._reindex = False

    def _move(self, number: int, box: Box) -> bool:
        # The reply goes into the box before it leaves the kept ones: at no
        # moment is it in neither (the box's owner puts back what it could
        # not return; one still kept is not put back twice).
        kept = self.replies
        box.append((number, kept[number], None))
        del kept[number]
        return True

    def _take_indexed(self, index: Dict[_K, _S], key: _K, box: Box) -> bool:
        """Takes the first kept reply under the key into the box; stale
        numbers before it go."""
        numbers = index.get(key)
        if numbers is None:
            return False
        kept = self.replies
        while numbers:
            number = numbers[0]
            if number in kept:
                # Out of the index only once taken: a stale number left by
                # a raising handler is passed over by the next take.
                self._move(number, box)
                del numbers[0]
                self._entries -= 1
                if not numbers:
                    del index[key]
                return True
            del numbers[0]
            self._entries -= 1
        del index[key]
        return False

    def take_tag(self, tag: int, box: Box) -> bool:
        self.index()
        return self._take_indexed(self._by_tag, tag, box)

    def take_word(self, word: str, box: Box) -> bool:
        self.index()
        return self._take_indexed(self._by_word, word, box)

    def take_oldest(self, box: Box) -> bool:
        if not self.replies:
            return False
        return self._move(next(iter(self.replies)), box)

    def taker(self, predicate: Callable[[Reply], object]) -> Take:
        """A take of the first kept reply that satisfies the predicate; each
        reply is shown to the predicate once per wait."""
        if not callable(predicate):
            raise TypeError(f"predicate must be callable, not {type(predicate).__name__}")
        shown = 0   # the number of the last reply shown to it

        def take(box: Box) -> bool:
            nonlocal shown
            for number, reply in self.replies.items():
                if number > shown:
                    shown = number
                    if predicate(reply):
                        return self._move(number, box)
            return False
        return take
