"""The asyncio side of a ReplyTap: the waits of event loops (the futures
that wake them, by what they wait for), the loops that watch the drain's
descriptors, their alarms, and their end."""

from __future__ import annotations

import asyncio
import os
import sys
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from ._drain import Guard, hand

__all__ = ["ANY", "Abandoned", "Loops", "Waker", "running_loop", "wake_futures"]

Waker = Tuple["asyncio.Future[None]", asyncio.AbstractEventLoop]
_Loop = asyncio.AbstractEventLoop
_Futures = Dict["asyncio.Future[None]", _Loop]
_Box = List[Any]
# The key of an asyncio wait that any reply may satisfy (by predicate, the
# oldest, a count of closed lines); the others wait under their tag (an int)
# or their word (a str).
ANY = object()


def _wake(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def running_loop() -> Optional[_Loop]:
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        return None


def wake_futures(wakers: List[Waker]) -> None:
    here = running_loop()
    for future, loop in wakers:
        if loop is here:
            _wake(future)
            continue
        try:
            loop.call_soon_threadsafe(_wake, future)
        except RuntimeError:
            pass   # that event loop is closed


def _wake_in_child(wakers: List[Waker]) -> None:
    # In a forked child no loop runs but in this thread, and each shares its
    # wake-up pipe with the parent's copy, which call_soon_threadsafe would
    # write to: the futures are woken here, for a loop the child may run.
    for future, _ in wakers:
        try:
            _wake(future)
        except RuntimeError:
            pass   # a closed loop (or one that checks its thread)


class Abandoned:
    """What ends an asyncio wait dropped asleep, on PyPy: PyPy collects a
    coroutine that nothing refers to any more without running its `finally`
    blocks, and the wait's future would stay registered (and its loop
    counted and watching) until the tap closed. One of these lives in the
    wait's frame and is collected with it; its finaliser, unless the wait
    ended (`over`), forgets the future at the next sweep and has the loop
    cancel it and count the wait as ended. (CPython closes such a coroutine,
    which runs the wait's own end.)"""

    __slots__ = ("loops", "loop", "key", "waker", "over")

    def __init__(self, loops: Loops, loop: _Loop, key: object) -> None:
        self.loops, self.loop, self.key = loops, loop, key
        self.waker: Optional[asyncio.Future[None]] = None
        self.over = False

    def __del__(self) -> None:
        if self.over:
            return
        loops, loop, waker = self.loops, self.loop, self.waker
        if waker is not None and waker in loops.wakers:
            loops.ended.append((waker, self.key))   # (safe from any thread)
        try:
            loop.call_soon_threadsafe(loops.abandoned, loop, waker)
        except RuntimeError:
            loops.left(loop)   # a closed loop: nothing runs in it any more


# Whether asyncio waits need an Abandoned (see there).
ABANDONED = sys.implementation.name == "pypy"


class Loops:
    """The asyncio waits on a tap and the event loops they run in.

    `wakers` holds the future of every wait asleep, with its loop, and
    `wants` the same futures by what they wait for (see ANY), so that a
    reply wakes only the waits it may satisfy. A loop with waits watches the
    drain's pipe and notify descriptors, whose readers call `pumped(loop)`
    and `notified(loop)`; `pending` counts each loop's waits in progress.
    `boxes` holds the box of each wait by tag, into which `hand` puts the
    reply it waits for when that reply arrives.
    A wait that ends puts its future on `ended` and then, unless its thread
    holds the lock already, sweeps them out (`sweep`); every wake sweeps
    first, so that no wait that ended is woken, and none stays registered,
    also when its end runs from a finaliser inside a call of the tap.
    Everything but `left` and the putting on `ended` runs with the tap's
    lock (`lock`) held; the timer and settle callbacks take it themselves."""

    def __init__(self, lock: Guard, pumped: Callable[[_Loop], None],
                 notified: Callable[[_Loop], None]) -> None:
        self.lock = lock
        self._pumped = pumped
        self._notified = notified
        self.native: Optional[Any] = None   # the Drain, once the tap is open
        self.wakers: _Futures = {}
        self.wants: Dict[object, _Futures] = {}
        self.boxes: Dict[asyncio.Future[None], _Box] = {}
        # (future, key) of waits that ended, still registered
        self.ended: List[Tuple[asyncio.Future[None], object]] = []
        # loop: (the pipe and notify descriptors it watches, idle wake-ups)
        self.watching: Dict[_Loop, Tuple[int, int, int]] = {}
        # loop: (when, the timer that wakes its waits then)
        self._alarms: Dict[_Loop, Tuple[float, asyncio.TimerHandle]] = {}
        # loop: its waits in progress; loops with a settle() due
        self.pending: Dict[_Loop, int] = {}
        self._settling: Set[_Loop] = set()
        # The waits asleep at the close, until woken (see wake_ended).
        self._unwoken: List[Waker] = []
        self.pid = os.getpid()   # the process whose loops watch the drain (the tap's)

    def wake_all(self) -> None:
        # Every asyncio wait looks again. A wait leaves the list itself once
        # it ran, so that a wake cut short by a raising handler is done again
        # by the next one.
        if self.ended:
            self.sweep()
        wake_futures(list(self.wakers.items()))

    def arm(self, loop: _Loop, key: object, left: Optional[float],
            drain: Optional[Any], box: Optional[_Box] = None) -> asyncio.Future[None]:
        """The future that wakes a wait of the loop, registered under the
        key (with the wait's box, for `hand`); the loop watches the drain,
        and its alarm rings after `left` seconds (None: never)."""
        waker: asyncio.Future[None] = loop.create_future()
        self.wakers[waker] = loop
        if box is not None:
            self.boxes[waker] = box
        wanting = self.wants.get(key)
        if wanting is None:
            self.wants[key] = wanting = {}
        wanting[waker] = loop
        watched = self.watching.get(loop)
        if watched is None or watched[2] < 0:
            self.watch(loop, drain)
        if left is not None:
            self._alarm(loop, loop.time() + left)
        return waker

    def sweep(self) -> None:
        """Forgets the waits that ended. Only the lock's holder takes from
        `ended`, and from its start, while threads and finalisers may add at
        its end; an entry leaves once forgotten, so that a handler that
        raises here leaves it for the next sweep."""
        ended, wakers, wants = self.ended, self.wakers, self.wants
        while ended:
            waker, key = ended[0]
            wakers.pop(waker, None)
            self.boxes.pop(waker, None)
            wanting = wants.get(key)
            if wanting is not None:
                wanting.pop(waker, None)
                if not wanting:
                    del wants[key]
            del ended[0]

    def hand(self, key: object, waiting: _Futures, number: int, reply: Any,
             replies: Dict[int, Any], here: Optional[_Loop]) -> bool:
        """A new reply that only the wait in `waiting` wants (by its tag)
        goes from `replies` straight into that wait's box, and the wait is
        woken, so that it returns the reply with no look of its own; whether
        it did. The wait is woken first: a handler that raises before the
        move leaves it to look again and find the reply kept; the move
        (native `hand`) refuses a wait whose await has ended, so that its
        reply stays kept. A wait cancelled once it has the reply hands it
        back (see Handed) and has the tap look again (ReplyTap._await)."""
        for future, loop in waiting.items():
            break
        else:
            return False
        box = self.boxes.get(future)
        if box is None or future.done():
            return False   # woken already: it looks again and takes the oldest such reply
        if loop is not here and not loop.is_running():
            # A loop that stopped (run_until_complete returned, with this
            # wait left pending) may never run the wait again: its reply
            # stays kept, for whichever wait looks next.
            return False
        if loop is here:
            future.set_result(None)
        else:
            try:
                loop.call_soon_threadsafe(_wake, future)
            except RuntimeError:
                return False   # that event loop is closed
        if not hand(box, (number, reply, None), replies, number):
            return False
        del waiting[future]
        if not waiting:
            del self.wants[key]
        del self.wakers[future]
        del self.boxes[future]
        return True

    def looked(self, loop: _Loop, waiting: bool, closed: bool) -> None:
        # A loop keeps watching while its waits follow each other; once it
        # has been woken twice with none of its waits pending, it stops.
        watched = self.watching.get(loop)
        if watched is not None and watched[2] >= 0:
            idle = 0 if waiting else watched[2] + 1
            if idle >= 2 or closed:
                self.unwatch(loop)
            else:
                self.watching[loop] = (watched[0], watched[1], idle)

    def watch(self, loop: _Loop, drain: Optional[Any]) -> None:
        if drain is None:
            return
        watched = self.watching.get(loop)
        if watched is None:
            for closed in [other for other in self.watching if other.is_closed()]:
                self.unwatch(closed)   # closed without its waits ending
            # Counted as a watcher first: a close that finishes the drain
            # meanwhile then keeps the descriptors open until this loop
            # stops watching; one that finished it before has closed them.
            drain.watch(1)
            pipe, notify = drain.watch_fd(), drain.notify_fd()
            if pipe < 0 or notify < 0:
                drain.watch(-1)
                return
            # (-1: its readers are not all added yet)
            watched = self.watching[loop] = (pipe, notify, -1)
        elif watched[2] >= 0:
            return
        # Added again by the next wait when a signal handler cut this short
        # (adding a descriptor's reader again replaces it), so that no wait
        # sleeps in a loop that does not watch the drain.
        try:
            loop.add_reader(watched[0], self._pumped, loop)
            loop.add_reader(watched[1], self._notified, loop)
        except BaseException:
            self.unwatch(loop)
            raise
        self.watching[loop] = (watched[0], watched[1], 0)

    def _alarm(self, loop: _Loop, when: float) -> None:
        # One timer per loop, at the earliest deadline of its waits (not one
        # per wait, set and cancelled each time): a wait it wakes before its
        # own deadline looks again and sets the timer anew.
        armed = self._alarms.get(loop)
        if armed is not None:
            if armed[0] <= when:
                return
            armed[1].cancel()
        self._alarms[loop] = (when, loop.call_at(when, self._rang, loop))

    def _rang(self, loop: _Loop) -> None:
        self.lock.run(self._ring, loop)

    def _ring(self, loop: _Loop) -> None:
        self._alarms.pop(loop, None)
        if self.ended:
            self.sweep()
        for future, waiter in list(self.wakers.items()):
            if waiter is loop:
                _wake(future)

    def unwatch(self, loop: _Loop) -> None:
        if os.getpid() != self.pid:
            # A forked child: the loop's epoll instance (and its timers'
            # wake-up pipe) is shared with the parent, whose loop would stop
            # hearing the drain; the child only forgets the watch.
            self._alarms.pop(loop, None)
            self.watching.pop(loop, None)
            return
        armed = self._alarms.pop(loop, None)
        if armed is not None:
            armed[1].cancel()
        watched = self.watching.pop(loop, None)
        if watched is not None:
            for fd in watched[:2]:
                try:
                    loop.remove_reader(fd)
                except RuntimeError:
                    pass   # a closed loop has no readers left
            assert self.native is not None
            self.native.watch(-1)

    def left(self, loop: _Loop) -> None:
        # A wait in the loop ended. The last one lets the loop stop watching
        # once the callbacks queued now have run, unless a new wait came
        # meanwhile (a program that waits for each answer in turn is back
        # before that), so that a loop closed after its waits (asyncio.run
        # once per wait) leaves nothing registered with the drain.
        pending = self.pending
        count = pending.get(loop, 1) - 1
        if count > 0:
            pending[loop] = count
            return
        pending.pop(loop, None)
        if loop in self.watching and loop not in self._settling and not loop.is_closed():
            # (A closed loop, whose wait a finaliser ends, stays until the
            # next loop starts watching or the tap closes.)
            self._settling.add(loop)
            try:
                loop.call_soon(self._settle, loop)
            except RuntimeError:
                self._settling.discard(loop)

    def abandoned(self, loop: _Loop, waker: Optional[asyncio.Future[None]]) -> None:
        # In the loop, for a wait that PyPy collected asleep (see Abandoned):
        # what its own end would have done.
        if waker is not None and not waker.done():
            waker.cancel()
        if self.ended and not self.lock.mine():
            self.lock.run(self.sweep)
        self.left(loop)

    def _settle(self, loop: _Loop) -> None:
        self.lock.run(self._settle_now, loop)

    def _settle_now(self, loop: _Loop) -> None:
        self._settling.discard(loop)
        if loop not in self.pending:
            self.unwatch(loop)

    def end(self, mine: bool = True) -> None:
        """On close: the waits asleep go to be woken once the lock is let go
        (wake_ended; none is registered any more). Loops that no longer run
        stop watching now; a running one does once its waits, woken by the
        close, have ended (from its own thread). In a forked child (not
        `mine`) every watch is only forgotten (see unwatch)."""
        if self.ended:
            self.sweep()
        self._unwoken.extend(self.wakers.items())
        self.wakers = {}
        self.wants = {}
        self.boxes = {}
        if not mine:
            self.watching.clear()
            self._alarms.clear()
            return
        here = running_loop()
        for loop in list(self.watching):
            if loop is here or loop.is_closed() or not loop.is_running():
                self.unwatch(loop)
            elif loop not in self._settling:
                self._settling.add(loop)
                try:
                    loop.call_soon_threadsafe(self._settle, loop)
                except RuntimeError:
                    self.unwatch(loop)   # closed meanwhile

    def wake_ended(self, mine: bool = True) -> None:
        """Wakes the waits that end() left, without the lock. They stay
        listed until all are woken, so that a close that a signal handler
        cuts short here wakes them all when it is called again."""
        unwoken = self._unwoken
        if unwoken:
            if mine:
                wake_futures(unwoken)
            else:
                _wake_in_child(unwoken)
            self._unwoken = []
