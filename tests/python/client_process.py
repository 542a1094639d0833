"""A SonvexClient running in a child interpreter, so that what the module
writes to file descriptor 1 can be read as bytes by the test.

The child connects its clients to the given port and then follows commands
read from its standard input, one per line:

    connect <i>      connect client i again (replacing its connection)
    disconnect <i>   disconnect client i
    send <text>      client 0 sends <text> with send_raw_command

connect and disconnect answer "<command> done" on file descriptor 1, written
with os.write so that it is ordered with the module's own lines. The child
ends at end of file on standard input.
"""

import os
import select
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FAKESERVER = Path(__file__).resolve().parents[2] / "fakeserver"

CHILD = r"""
import os, sys
import sonvex_rs
port, count = int(sys.argv[1]), int(sys.argv[2])
clients = [sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
           for _ in range(count)]
for c in clients:
    c.connect()
while True:
    line = sys.stdin.readline()
    if not line:
        break
    word, _, arg = line.rstrip("\n").partition(" ")
    if word == "send":
        clients[0].send_raw_command(arg)
        continue
    getattr(clients[int(arg)], word)()
    os.write(1, (word + " done\n").encode())
"""


def child_env():
    """Environment in which a child interpreter imports what this one does."""
    env = dict(os.environ)
    paths = [str(FAKESERVER)] + [p or os.getcwd() for p in sys.path]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def run_script(script, *args, timeout=30):
    """Run a script in a child interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", script] + [str(a) for a in args],
                          env=child_env(), stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)


class ClientProcess:
    def __init__(self, port, clients=1, stdout=None):
        self._stderr = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(port), str(clients)], env=child_env(),
            stdin=subprocess.PIPE, stdout=stdout or subprocess.PIPE, stderr=self._stderr)
        self.output = b""

    def command(self, text, timeout=10.0):
        """Send a command and, for connect/disconnect, wait for its answer."""
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()
        word = text.split(" ", 1)[0]
        if word != "send":
            self.wait_for(word.encode() + b" done\n", self.output.count(word.encode() + b" done\n") + 1,
                          timeout)

    def wait_for(self, marker, count=1, timeout=10.0):
        """Read the child's output until marker occurs count times; return it all."""
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while self.output.count(marker) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise TimeoutError("no %r in %r%s" % (marker, self.output[-300:], self.errors()))
            data = os.read(fd, 1 << 20)
            if not data:
                raise EOFError("child ended: %r%s" % (self.output[-300:], self.errors()))
            self.output += data
        return self.output

    def read_more(self, seconds):
        """Collect whatever the child writes during the next seconds."""
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return self.output
            data = os.read(fd, 1 << 20)
            if not data:
                return self.output
            self.output += data

    def errors(self):
        self._stderr.seek(0)
        text = self._stderr.read()
        return ("; stderr: %r" % text[-2000:]) if text else ""

    def close(self, timeout=10.0):
        """End the child; returns its exit status."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        finally:
            if self.proc.stdout is not None:
                self.proc.stdout.close()
            self._stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.returncode is None:
            self.close()
