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

from helpers import DEADLINE, Child, child_env, wait_until
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
