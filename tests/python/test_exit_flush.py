"""The module's flush of queued output at exit ends although standard output
is full and no one reads it, and says on standard error how much of the
output could not be written."""

import os
import re
import signal
import subprocess
import sys

import pytest

from helpers import DEADLINE, child_env, wait_until
from test_process import Reader, blocked_in, needs_syscall_numbers

pytestmark = pytest.mark.slow

# print_details of a line over 4 KiB until standard output (a pipe no one
# reads) is full; SIGINT cuts the last line short, and the rest of it is
# queued. Commands then make the reader print: it takes the output lock and
# blocks writing that rest. The program ends as it likes.
PRINTER = r"""
import os, sys
import sonvex_rs
from sonvex_fake_server import FakeMediaServer
def say(text):
    os.write(2, (text + "\n").encode())
with FakeMediaServer() as server:
    client = sonvex_rs.client.SonvexClient("127.0.0.1", server.port, None, "u" * 5000, "p")
    client.connect()
    say("printing")
    printed = 0
    try:
        while True:
            client.print_details()
            printed += 1
    except KeyboardInterrupt:
        say("interrupted after %d" % printed)
    for _ in range(20):
        client.send_raw_command("Hello")
    server.wait_for_connections(1)[0].wait_for_lines(20)
if sys.argv[1] == "sys.exit":
    sys.exit(3)
"""


@needs_syscall_numbers
@pytest.mark.parametrize("end, status", [("sys.exit", 3), ("the script's end", 0)])
def test_exit_ends_with_output_queued_over_a_full_stdout(end, status):
    r, w = os.pipe()
    proc = subprocess.Popen([sys.executable, "-c", PRINTER, end], env=child_env(), stdout=w,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    os.close(w)
    try:
        said = Reader(proc.stderr.fileno())
        assert said.line() == b"printing"
        assert wait_until(lambda: blocked_in(proc.pid, 1)), "the print never blocked"
        os.kill(proc.pid, signal.SIGINT)
        assert proc.wait(DEADLINE) == status
        rest = proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()
    printed = int(re.match(rb"interrupted after (\d+)\n", said.pending + rest).group(1))
    lost = re.findall(rb"^sonvex_rs: (\d+) bytes of output could not be written$", rest, re.M)
    assert len(lost) == 1, rest
    os.set_blocking(r, False)
    out = b""
    while True:
        try:
            chunk = os.read(r, 1 << 16)
        except BlockingIOError:
            break
        if not chunk:
            break
        out += chunk
    os.close(r)
    line = len(out.split(b"\n", 1)[0]) + 1
    # Every line printed is in the pipe or counted, the one cut short too.
    assert len(out) + int(lost[0]) == (printed + 1) * line
