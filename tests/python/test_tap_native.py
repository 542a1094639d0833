"""The reply tap's native part in the process around it: Ctrl-C ends its
native waits on both interpreters, and a forked child never touches the
parent's drain or a lock that a thread of the parent held at the fork.

Each case runs in a child interpreter whose waits a hang would never end:
the test's own wait for what the child says then fails."""

import os
import signal
import subprocess
import sys

import pytest

from helpers import DEADLINE, Child, child_env, run_child, wait_until
from test_process import Reader, blocked_in, needs_syscall_numbers

pytestmark = pytest.mark.slow


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
