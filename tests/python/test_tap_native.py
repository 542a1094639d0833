"""The reply tap's native part: the drain sorts any stream of bytes into
replies and lines passed on, whatever the chunking, line lengths and bound;
Ctrl-C ends its native waits on both interpreters; and a forked child never
touches the parent's drain or a lock that a thread of the parent held at the
fork.

The process cases run in a child interpreter whose waits a hang would never
end: the test's own wait for what the child says then fails."""

import os
import signal
import subprocess
import sys
import threading

import pytest

from helpers import DEADLINE, Child, child_env, run_child, wait_until
from test_process import Reader, blocked_in, needs_syscall_numbers


def sorted_as_expected(stream, max_lines, echo):
    """What the drain must make of a stream: (the reply texts kept, how many
    were dropped, the "Connection closed." lines, the bytes passed on)."""
    *lines, unfinished = stream.split(b"\n")
    texts, closed, passed = [], 0, bytearray()
    for line in lines:
        if line.startswith(b"Received: "):
            texts.append(line[len(b"Received: "):])
        elif line == b"Connection closed.":
            closed += 1
        else:
            passed += line + b"\n"
            continue
        if echo:
            passed += line + b"\n"
    passed += unfinished   # an unfinished last line passes on as it came
    kept = texts[max(0, len(texts) - max_lines):]
    return kept, len(texts) - len(kept), closed, bytes(passed)


def drained(chunks, max_lines, echo):
    """The same, from a Drain whose pipe got the chunks, one write each,
    and was then closed."""
    from sonvex_replies._drain import Drain
    read_end, write_end = os.pipe()
    out_read, out_write = os.pipe()
    try:
        drain = Drain(read_end, out_write, echo, max_lines, False)
        os.close(out_write)
        passed = bytearray()

        def collect():
            while chunk := os.read(out_read, 1 << 20):
                passed.extend(chunk)
        collector = threading.Thread(target=collect)
        collector.start()
        for chunk in chunks:
            view = memoryview(chunk)
            while view:
                view = view[os.write(write_end, view):]
        os.close(write_end)
        assert drain.finish(DEADLINE)   # read to the pipe's end, everything written
        inbox = []
        drain.take(inbox)
        collector.join(DEADLINE)
    finally:
        for fd in (read_end, out_read):
            os.close(fd)
    texts, closed, dropped, ended = [], 0, 0, False
    for batches, closed, dropped, ended, _, failure, _ in inbox:
        assert failure is None
        for _, data in batches or []:
            texts += data.split(b"\n")[:-1]
    assert ended
    return texts, dropped, closed, bytes(passed)


MIXED = (b"first line\nReceived: A COMMANDTAG=1\nConnection closed.\n"
         b"Received: B x=\xff\xfe COMMANDTAG=2\n\nReceived:no space\nReceived: \n"
         b"Connection closed. \nReceived: C COMMANDTAG=3\ntail without a line feed")
LONG = (b"Received: " + b"r" * (3 << 20) + b" COMMANDTAG=9\n" + b"p" * (3 << 20) + b"\n"
        b"Received: after COMMANDTAG=10\n")
MANY = b"".join(b"Received: R%d COMMANDTAG=%d\nline %d\n" % (i, i, i) for i in range(50))


def pieces(stream, size):
    return [stream[i:i + size] for i in range(0, len(stream), size)]


# (name, chunks, max_lines, echo)
STREAMS = [
    ("mixed in one write", [MIXED], 100, False),
    ("mixed byte by byte", pieces(MIXED, 1), 100, False),
    ("mixed with echo", pieces(MIXED, 7), 100, True),
    ("prefix cut", [b"Rece", b"ived: A COMMANDTAG=1\nConn", b"ection closed.\n"], 100, False),
    ("lines longer than a read", pieces(LONG, 65536), 100, False),
    ("lines longer than a read, one write", [LONG], 100, False),
    ("bound within one batch", [MANY], 7, False),
    ("bound across batches", pieces(MANY, 40), 7, False),
    ("bound of nothing", pieces(MANY, 300), 0, False),
    ("nothing at all", [], 100, False),
    ("only an unfinished line", [b"no end"], 100, False),
]


@pytest.mark.parametrize("name, chunks, max_lines, echo", STREAMS, ids=[s[0] for s in STREAMS])
def test_the_drain_sorts_any_chunking_of_a_stream(name, chunks, max_lines, echo):
    got = drained(chunks, max_lines, echo)
    expected = sorted_as_expected(b"".join(chunks), max_lines, echo)
    assert got[1:3] == expected[1:3]
    assert got[0] == expected[0]
    assert got[3] == expected[3]


@pytest.mark.parametrize("reentrant", [False, True])
def test_a_guard_lets_one_thread_in_at_a_time(reentrant):
    # Eight threads add under the guard, each step a read and a write with a
    # switch of threads between them: a second thread inside loses counts.
    # The reentrant guard is also asked again inside its own run.
    from sonvex_replies._drain import Guard
    guard = Guard(reentrant=reentrant)
    total, inside = [0], [0]

    def add():
        inside[0] += 1
        seen = total[0]
        os.sched_yield()
        total[0] = seen + 1
        crowded = inside[0] != 1
        inside[0] -= 1
        return crowded

    def step():
        return guard.run(guard.run, add) if reentrant else guard.run(add)

    crowded = []
    threads = [threading.Thread(target=lambda: crowded.extend(step() for _ in range(500)))
               for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE)
    assert total[0] == 8 * 500 and not any(crowded)
    assert not guard.locked()


# The child says "waiting" and enters a native wait that only SIGINT can
# end: close() with a grace of an hour over a pipe that a second writer
# keeps open, or a guard that another thread holds for good.
CUT_SHORT = r"""
import os, sys, threading
import sonvex_replies._tap as tap_module
from sonvex_replies import ReplyTap
from sonvex_replies._drain import Guard

def say(text):
    os.write(2, (text + "\n").encode())

if sys.argv[1] == "close":
    tap_module._CLOSE_GRACE = 3600.0
    tap = ReplyTap().start()
    os.dup(1)   # a second writer of the pipe: its end never comes
    wait = tap.close
else:
    guard = Guard(reentrant=sys.argv[1] == "reentrant guard")
    held = threading.Event()
    def hold():
        held.set()
        threading.Event().wait()
    threading.Thread(target=guard.run, args=(hold,), daemon=True).start()
    held.wait()
    wait = lambda: guard.run(say, "took the guard")
try:
    say("waiting")
    wait()
except KeyboardInterrupt:
    say("interrupted")
"""


@pytest.mark.slow
@needs_syscall_numbers
@pytest.mark.parametrize("form", ["close", "guard", "reentrant guard"])
def test_sigint_ends_a_native_wait(form):
    # PyPy's PyErr_CheckSignals runs no handler: these waits ignored Ctrl-C.
    with Child([sys.executable, "-c", CUT_SHORT, form], env=child_env(),
               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as proc:
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"waiting"
        # Both waits sleep on a condition (futex) between their looks.
        assert wait_until(lambda: blocked_in(proc.pid, 202)), "never waited"
        os.kill(proc.pid, signal.SIGINT)
        assert said.line() == b"interrupted"
        assert proc.wait(DEADLINE) == 0


# A thread of the parent holds locks of the tap's while the parent forks
# (a predicate of wait_until runs with the tap's lock held; a plain guard is
# held in its run). The child then uses what it inherited: the open tap's
# waits and looks raise RuntimeError naming the parent, the drain's methods
# that take its lock do too (watch, which a close calls, does nothing), and
# a guard the parent's thread held is free in the child.
FORKED = r"""
import os, sys, threading
from sonvex_replies import ReplyTap
from sonvex_replies._drain import Guard

use = sys.argv[1]
parent = os.getpid()
closed = ReplyTap().start()
os.write(1, b"Received: Kept COMMANDTAG=1\n")
closed.close()   # the reply stays kept in the closed tap
guard = Guard()
entered, release = threading.Event(), threading.Event()
def predicate(reply):
    entered.set()
    release.wait()
    return False
def hold_guard():
    entered.set()
    release.wait()
if use == "closed tap's lock":
    holder = threading.Thread(target=lambda: closed.wait_until(predicate, timeout=0),
                              daemon=True)
else:
    holder = threading.Thread(target=guard.run, args=(hold_guard,), daemon=True)
holder.start()
entered.wait()
tap = ReplyTap().start()
drain = tap._drain
pid = os.fork()
if pid == 0:
    try:
        if use == "closed tap's lock":
            print("child got", [r.text for r in closed.replies])
        elif use == "guard":
            print("child got", guard.run(lambda: "the guard"))
        elif use.startswith("drain."):
            name = use[len("drain."):]
            args = {"wait": (0, 0.0), "take": ([],), "take_tag": (0, 1, []), "pump": (),
                    "quiet": (), "pending": (), "watch": (-1,)}[name]
            print("child got", getattr(drain, name)(*args))
        else:
            print("child got", eval(use))
    except RuntimeError as error:
        print("child raised", error)
    sys.stdout.flush()
    os._exit(0)
_, status = os.waitpid(pid, 0)
release.set()
holder.join()
tap.close()
print("parent", parent, "status", status)
"""


@pytest.mark.slow
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator is not safe across fork")
@pytest.mark.parametrize("use, expected", [
    ("tap.replies", "raised"),
    ("tap.dropped", "raised"),
    ("tap.wait_for(1, timeout=None)", "raised"),
    ("drain.wait", "raised"),
    ("drain.take", "raised"),
    ("drain.take_tag", "raised"),
    ("drain.pump", "raised"),
    ("drain.quiet", "raised"),
    ("drain.pending", "raised"),
    ("drain.watch", "got None"),
    ("closed tap's lock", "got ['Kept COMMANDTAG=1']"),
    ("guard", "got the guard"),
])
def test_a_forked_child_never_uses_the_parents_drain_or_held_locks(use, expected):
    proc = run_child(FORKED, use, timeout=DEADLINE)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    lines = proc.stdout.decode().splitlines()
    assert len(lines) == 2 and lines[1].startswith("parent "), lines
    parent = lines[1].split()[1]
    assert lines[1].endswith(" status 0"), lines
    assert lines[0].startswith("child " + expected), lines
    if expected == "raised":
        assert f"belongs to process {parent}," in lines[0], lines


# Each generation of forks (a child, its child) starts a tap of its own: the
# drain knows which process it is in without asking the system at each
# take, so a stale idea of it would refuse a process its own tap, or let it
# take from an ancestor's. Each process takes a reply from its own tap and
# is refused the taps of its ancestors, by wait and by take.
FORKED_GENERATIONS = r"""
import os, sys
from sonvex_replies import ReplyTap

depth, way = int(sys.argv[1]), sys.argv[2]
taps = [ReplyTap().start()]
for level in range(1, depth + 1):
    pid = os.fork()
    if pid:
        _, status = os.waitpid(pid, 0)
        taps[-1].close()
        if level == 1:
            print("done", os.waitstatus_to_exitcode(status), flush=True)
        os._exit(os.waitstatus_to_exitcode(status))
    taps.append(ReplyTap().start())
    os.write(1, b"Received: Own COMMANDTAG=%d\n" % level)
    if taps[-1].wait_for(level, timeout=None).text != "Own COMMANDTAG=%d" % level:
        os._exit(10)
    for ancestor in taps[:-1]:
        try:
            if way == "wait":
                ancestor._drain.wait(0, 0.0)
            else:
                ancestor._drain.take([])
        except RuntimeError as error:
            if "belongs to process" not in str(error):
                os._exit(11)
        else:
            os._exit(12)
taps[-1].close()
os._exit(0)
"""


@pytest.mark.slow
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator is not safe across fork")
@pytest.mark.parametrize("depth", [1, 2, 3])
@pytest.mark.parametrize("way", ["wait", "take"])
def test_each_forked_generation_uses_its_own_tap_and_no_ancestors(depth, way):
    proc = run_child(FORKED_GENERATIONS, str(depth), way, timeout=DEADLINE)
    assert proc.returncode == 0, (proc.returncode, proc.stderr.decode()[-3000:])
    assert proc.stdout.decode().splitlines()[-1:] == ["done 0"], proc.stdout
