"""ReplyTap over a standard output whose reader pauses (a pager, a log
shipper): replies keep arriving while the output passed on is queued, a
small bound makes the program's prints wait, close() returns and ends on
SIGINT, and nothing printed is lost: it is written once the reader resumes,
or counted on standard error at exit.

The paused reader is the test itself: it reads the child's standard output
only once the child has said (on standard error) what the test waits for."""

import os
import re
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from helpers import DEADLINE, Child, child_env, run, wait_until
from test_process import Reader, blocked_in, needs_syscall_numbers

pytestmark = pytest.mark.slow

LINE = b"line %07d " + b"x" * 88 + b"\n"
SIZE = len(LINE % 0)   # 102 bytes

CHILD = r"""
import asyncio, os, sys, threading
from sonvex_replies import ReplyTap

mode, bound, lines = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def say(text):
    os.write(2, (text + "\n").encode())
def print_lines(count):
    for i in range(count):
        print("line %07d " % i + "x" * 88)
        printed[0] = i + 1
    sys.stdout.flush()
printed = [0]

tap = ReplyTap(**({} if bound < 0 else {"max_queued_output": bound})).start()
if mode in ("wait_for", "reply"):
    print_lines(lines)
    os.write(1, b"Received: Done COMMANDTAG=7\n")
    if mode == "wait_for":
        reply = tap.wait_for(7, timeout=30)
    else:
        reply = asyncio.run(tap.reply(7, timeout=30))
    say("reply " + reply.text)
elif mode == "pressure":
    printer = threading.Thread(target=print_lines, args=(lines,))
    printer.start()
    say("printer %d" % printer.native_id)
    sys.stdin.readline()   # the test saw the printer wait
    try:
        tap.wait_for(99, timeout=0.1)
    except TimeoutError:
        say("timed out")
    say("printed %d" % printed[0])
    sys.stdin.read()       # the reader resumes
    printer.join()
elif mode in ("sigint", "exit"):
    print_lines(lines)
    say("closing")
    try:
        tap.close()
    except KeyboardInterrupt:
        say("interrupted")
        with ReplyTap():   # nothing of the first tap is left held
            pass
        raise
    say("closed")
    sys.exit(0)
tap.close()
say("closed")
sys.stdin.read()   # the test reads standard output by now
"""


def spawn(mode, bound, lines):
    """The child; a bound below 0 leaves the default."""
    return Child([sys.executable, "-c", CHILD, mode, str(bound), str(lines)], env=child_env(),
                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


class Collector(threading.Thread):
    """Reads a descriptor to its end: the reader that resumes."""

    def __init__(self, stream):
        super().__init__(daemon=True)
        self.stream, self.data = stream, bytearray()
        self.start()

    def run(self):
        while chunk := os.read(self.stream.fileno(), 1 << 20):
            self.data += chunk


def printed(count):
    return b"".join(LINE % i for i in range(count))


def pipe_max():
    try:
        with open("/proc/sys/fs/pipe-max-size") as f:
            return int(f.read())
    except OSError:
        return 1 << 20


def finish(proc, said):
    """Resumes the reader, lets the child end; returns (stdout, rest of stderr)."""
    out = Collector(proc.stdout)
    proc.stdin.close()
    assert proc.wait(DEADLINE) == 0, said.pending + proc.stderr.read()
    out.join(DEADLINE)
    return bytes(out.data), bytes(said.pending) + proc.stderr.read()


@pytest.mark.parametrize("mode", ["wait_for", "reply"])
def test_replies_arrive_while_stdout_is_paused(mode):
    # 3 MB passed on, more than the pipes hold: without a queue the drain
    # blocked on the output and the reply never came.
    lines = 30_000
    with spawn(mode, -1, lines) as proc:
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"reply Done COMMANDTAG=7"
        assert said.line() == b"closed"   # close() returned over the paused output
        out, rest = finish(proc, said)
    assert out == printed(lines)
    assert b"could not be written" not in rest


@needs_syscall_numbers
@pytest.mark.parametrize("bound", [0, 1 << 16])
def test_a_small_bound_makes_prints_wait_and_loses_nothing(bound):
    lines = 100_000   # 10 MB
    with spawn("pressure", bound, lines) as proc:
        said = Reader(proc.stderr.fileno())
        tid = int(said.line().split()[1])
        assert wait_until(lambda: blocked_in(f"{proc.pid}/task/{tid}", 1)), "never waited"
        proc.stdin.write(b"go\n")
        proc.stdin.flush()
        assert said.line() == b"timed out"   # a wait is not held past its timeout
        held = int(said.line().split()[1]) * SIZE
        # Held: the bound, one read past it, the tap's pipe and the output's.
        assert held <= bound + 2 * pipe_max() + (1 << 17), held
        out, rest = finish(proc, said)
    assert out == printed(lines)
    assert rest == b"closed\n"


@needs_syscall_numbers
@pytest.mark.parametrize("mode", ["sigint", "exit"])
def test_output_the_paused_reader_never_took_is_counted_at_exit(mode):
    lines = 30_000
    with spawn(mode, -1, lines) as proc:
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"closing"
        if mode == "sigint":
            # close() waits (20 ms slices on a condition): interrupt it there.
            assert wait_until(lambda: blocked_in(proc.pid, 202)), "close never waited"
            os.kill(proc.pid, signal.SIGINT)
            assert said.line() == b"interrupted"
            status = proc.wait(DEADLINE)
            assert status != 0
        else:
            assert said.line() == b"closed"   # within its grace, the output still blocked
            assert proc.wait(DEADLINE) == 0
        rest = bytes(said.pending) + proc.stderr.read()
        out = proc.stdout.read()   # what the output's pipe took before the exit
    counted = re.findall(rb"^sonvex_replies: (\d+) bytes of standard output could not be "
                         rb"written$", rest, re.M)
    assert len(counted) == 1, rest
    # Every byte printed was written or counted, and what was written is
    # the start of it, in order.
    assert len(out) + int(counted[0]) == lines * SIZE
    assert out == printed(lines)[:len(out)]


@pytest.mark.parametrize("bound", [-1, 0])
def test_replies_and_lines_passed_on_stay_exact_under_stress(bound):
    # Replies pushed among printed lines, taken by threads and a loop, with
    # and without PYTHONUNBUFFERED: none lost, duplicated or out of order,
    # and the lines passed on all there in order.
    script = Path(__file__).resolve().parents[2] / "benchmarks" / "stress_replies.py"
    result = run([sys.executable, str(script), "--replies", "20000", "--threads", "4",
                  "--max-queued-output", str(bound)], env=child_env(), capture_output=True,
                 timeout=4 * DEADLINE)
    assert result.returncode == 0, result.stdout.decode() + result.stderr.decode()[-2000:]


def test_bad_bounds_are_refused():
    from sonvex_replies import ReplyTap
    with pytest.raises(ValueError, match="max_queued_output must be 0 or more"):
        ReplyTap(max_queued_output=-1)
    with pytest.raises(TypeError):
        ReplyTap(max_queued_output=1.5)


# close() cut short by Ctrl-C at any line (of its own, of the swap of
# descriptor 1 and of the waking of asyncio waits), then called again (as
# the exit hook does): descriptor 1 ends as it was before the tap (the very
# file, or closed), and an asyncio wait asleep in another thread is woken.
# The KeyboardInterrupt is raised through sys.settrace where a handler of
# SIGINT would raise, before each line in turn.
INTERRUPTED_CLOSE = r"""
import asyncio, dis, os, sys, threading
from sonvex_replies import ReplyTap, _loops, _stdout, _tap

where, start = sys.argv[1], sys.argv[2]
owner, name = where.split(".")
function = getattr({"ReplyTap": _tap.ReplyTap, "StdoutPipe": _stdout.StdoutPipe,
                    "Loops": _loops.Loops}[owner], name)
code = function.__code__
lines = sorted({line for _, line in dis.findlinestarts(code) if line and line > code.co_firstlineno})
report = os.dup(2)
if start == "closed":
    os.close(1)

def identity():
    try:
        st = os.fstat(1)
    except OSError:
        return None
    return st.st_dev, st.st_ino

before = identity()
failed, hit = [], 0
for line in lines:
    tap = ReplyTap().start()
    ended = []
    def waiting():
        try:
            asyncio.run(tap.reply(99, timeout=None))
        except BaseException as error:
            ended.append(type(error).__name__)
    thread = threading.Thread(target=waiting, daemon=True)
    thread.start()
    while not tap._loops.wakers:
        thread.join(0.001)
    fired = []
    def local(frame, event, arg):
        if event == "line" and frame.f_lineno == line and not fired:
            fired.append(line)
            raise KeyboardInterrupt
        return local
    def tracer(frame, event, arg):
        return local if frame.f_code is code and not fired else None
    sys.settrace(tracer)
    try:
        tap.close()
    except KeyboardInterrupt:
        pass
    finally:
        sys.settrace(None)
    tap.close()
    hit += len(fired)
    thread.join(60)   # (a watchdog: the test's own timeout ends a hang)
    if identity() != before or ended != ["TimeoutError"]:
        failed.append((line, identity(), ended))
os.write(report, ("%d %d %r\n" % (len(lines), hit, failed)).encode())
"""


@pytest.mark.parametrize("start", ["open", "closed"])
@pytest.mark.parametrize("where", ["ReplyTap.close", "ReplyTap._close_now", "ReplyTap._end",
                                   "StdoutPipe.restore", "StdoutPipe.close", "Loops.wake_ended"])
def test_a_close_cut_short_anywhere_then_called_again_leaves_descriptor_1_as_it_was(
        where, start):
    proc = run([sys.executable, "-c", INTERRUPTED_CLOSE, where, start], env=child_env(),
               capture_output=True, timeout=4 * DEADLINE)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
    lines, hit, failed = proc.stderr.decode().splitlines()[-1].split(" ", 2)
    assert failed == "[]", (where, failed)
    assert int(hit) > 0 and int(lines) > 0   # (lines of branches not taken are never hit)


# A tap started while descriptors below 3 are closed (a daemon, `prog >&-`):
# the tap's own descriptors (its pipe's ends, the drain's eventfds) all go
# to 3 or above, so that the swap of descriptor 1 replaces none of them: a
# wait gets its reply, close() returns, and descriptor 1 is closed again.
CLOSED_AT_START = r"""
import asyncio, os, sys
from sonvex_replies import ReplyTap

form, closed = sys.argv[1], [int(fd) for fd in sys.argv[2].split(",")]
report = os.dup(2)
def say(text):
    os.write(report, (text + "\n").encode())
for fd in closed:
    os.close(fd)
tap = ReplyTap().start()
for fd in closed:
    if fd != 1:
        try:
            os.fstat(fd)
            say("descriptor %d taken" % fd)
        except OSError:
            pass
native = tap._native
say("lowest %d" % min(native.notify_fd(), native.watch_fd(), tap._stdout.read_end))
os.write(1, b"Received: Hello COMMANDTAG=1\n")
if form == "wait_for":
    reply = tap.wait_for(1, timeout=None)
else:
    reply = asyncio.run(tap.reply(1, timeout=None))
say("got " + reply.text)
tap.close()
try:
    os.fstat(1)
    say("descriptor 1 left open")
except OSError:
    say("closed")
"""


@pytest.mark.parametrize("closed", ["1", "0,1", "1,2", "0,1,2"])
@pytest.mark.parametrize("form", ["wait_for", "reply"])
def test_a_tap_started_with_descriptor_1_closed_owns_no_standard_descriptor(form, closed):
    proc = run([sys.executable, "-c", CLOSED_AT_START, form, closed], env=child_env(),
               capture_output=True, timeout=DEADLINE)
    said = proc.stderr.decode().splitlines()
    assert proc.returncode == 0, said
    assert said[0].startswith("lowest ") and int(said[0].split()[1]) >= 3, said
    assert said[1:] == ["got Hello COMMANDTAG=1", "closed"], said
