"""What the test modules share: the module's classes, clients connected to
the fake media server, objects that convert in unusual ways, value classes
that no module exposes, and children that run the client in a process of
their own."""

import contextlib
import importlib.util
import os
import platform
import select
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import sonvex_rs
from sonvex_fake_server import FakeMediaServer  # noqa: F401 (for the test modules)

ROOT = Path(__file__).resolve().parents[2]
IS_PYPY = platform.python_implementation() == "PyPy"
SonvexClient = sonvex_rs.client.SonvexClient
Command = sonvex_rs.commands.Command


# How long a test waits for what it expects (an answer, a connection, the end
# of a child) before it fails. Waits end as soon as their event comes, so this
# only bounds a failing test; it is generous enough for the slowest
# configuration (a debug or sanitizer build, under valgrind) on a loaded
# machine, and larger still in those configurations.
SLOW_BUILD = hasattr(sys, "gettotalrefcount") or any(
    name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan", "vgpreload"))
DEADLINE = 180.0 if SLOW_BUILD else 60.0


def new_client(port=None, host="127.0.0.1", username=None, password=None):
    return SonvexClient(host, port, None, username, password)


class Session:
    """A client connected to the fake server, and the server's side of it."""

    def __init__(self, server, username=None, password=None):
        self.server = server
        self.client = new_client(server.port, username=username, password=password)
        before = len(server.connections)
        self.client.connect()
        self.conn = server.wait_for_connections(before + 1)[before]

    def lines(self, n=1):
        """The first n complete lines the server received, as str."""
        return [line.decode("utf-8") for line in self.conn.wait_for_lines(n)]

    def last_line(self):
        return self.lines(self.client.command_tag)[-1]


# Set from pytest's --long option (conftest.py) before the test modules are
# imported: the fuzz, fault and process tests then run their long modes.
LONG_MODE = False


def long_mode():
    """Whether the long modes of the fuzz, fault and process tests run."""
    return LONG_MODE


# A sanitizer's runtime preloaded into the interpreter (scripts/test.sh,
# scripts/tsan.sh): its allocator and shadow memory change every memory
# figure.
UNDER_SANITIZER = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))


def open_descriptor_count():
    return len(os.listdir("/proc/self/fd"))


def wait_until(condition, timeout=DEADLINE):
    """Polls `condition` until it holds or `timeout` seconds pass; its last result."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return condition()
        time.sleep(0.01)
    return True


# --- Objects that convert in unusual ways -----------------------------------

class Index:
    """An int-like object: converts through __index__ and counts the calls.
    `action` runs first on each call; an exception given as the value is
    raised."""

    def __init__(self, value=1, action=None):
        self.value, self.action, self.calls = value, action, 0

    def __index__(self):
        self.calls += 1
        if self.action is not None:
            self.action()
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


def raising(exc):
    """An action that raises `exc` (a class raises a new instance each time)."""
    def action(*_):
        raise exc
    return action


class NumpyBool:
    """Passes for numpy's boolean scalar, which converts through __bool__."""

    def __init__(self, value=True):
        self.value = value

    def __bool__(self):
        return self.value


NumpyBool.__name__ = NumpyBool.__qualname__ = "bool_"
NumpyBool.__module__ = "numpy"


# --- Value classes ----------------------------------------------------------

# A wrong value for a parameter of each value class makes the module create the
# class (they are created on first use) and names it in the conversion error.
PROVOKE = {
    "Channels": (lambda: Command.play_file(1, "f", None, None, 2, None, None),
                 "argument 'channels': 'int' object cannot be converted to 'Channels'"),
    "ECM": (lambda: Command.fax_send(1, 2, 3, None, 1, None, None),
            "argument 'use_ecm': 'int' object cannot be converted to 'ECM'"),
    "AudioFormatType": (lambda: Command.play_file(1, "f", "wav", None, None, None, None),
                        "argument 'audio_type': 'str' object cannot be converted to 'AudioFormatType'"),
    "PayloadType": (lambda: Command.rtp_channel_start_receiving(1, None, None, None, 0, None, None, None, None),
                    "argument 'payload_type': 'int' object cannot be converted to 'PayloadType'"),
    "ToneType": (lambda: Command.play_tone(1, None, None, b"x", None, None),
                 "argument 'tone': 'bytes' object cannot be converted to 'ToneType'"),
    "ConstantWithDescription": (lambda: Command.fax_send(1, 2, 3, "fast", None, None, None),
                                "argument 'speed': 'str' object cannot be converted to 'ConstantWithDescription'"),
}


def value_class(name):
    """The class object of a value class, which no module exposes."""
    call, message = PROVOKE[name]
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    return next(c for c in object.__subclasses__() if c.__name__ == name and c.__module__ == "sonvex_rs")


def load_generator():
    """tools/generate_stubs.py as a module (standard library only, so it runs
    on every interpreter)."""
    path = ROOT / "tools" / "generate_stubs.py"
    spec = importlib.util.spec_from_file_location("generate_stubs", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up by name
    spec.loader.exec_module(module)
    return module


# --- Children ---------------------------------------------------------------

def child_env():
    """Environment in which a child interpreter imports what this one does."""
    env = dict(os.environ)
    paths = [str(Path(__file__).parent)] + [p or os.getcwd() for p in sys.path]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


class Child(subprocess.Popen):
    """A child process that leads a session, and so a process group, of its
    own. `kill()`, a wait that runs out or is interrupted, and the end of a
    `with` block end the whole group, so that nothing the child started (a
    server, a forked grandchild) outlives the test."""

    def __init__(self, args, **kwargs):
        super().__init__(args, start_new_session=True, **kwargs)

    def kill(self):
        # Only while the child is not yet awaited does its id name its group.
        if self.returncode is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.pid, signal.SIGKILL)

    def wait(self, timeout=None):
        try:
            return super().wait(timeout)
        except BaseException:
            self.kill()
            super().wait()
            raise

    def communicate(self, input=None, timeout=None):
        try:
            return super().communicate(input, timeout)
        except BaseException:
            self.kill()
            super().wait()
            raise

    def __exit__(self, *exc):
        self.kill()
        return super().__exit__(*exc)


def run(args, *, input=None, capture_output=False, timeout=None, check=False, **kwargs):
    """subprocess.run for a `Child`."""
    if capture_output:
        kwargs["stdout"] = kwargs["stderr"] = subprocess.PIPE
    if input is not None:
        kwargs["stdin"] = subprocess.PIPE
    with Child(args, **kwargs) as proc:
        out, err = proc.communicate(input, timeout=timeout)
    if check and proc.returncode:
        raise subprocess.CalledProcessError(proc.returncode, args, out, err)
    return subprocess.CompletedProcess(args, proc.returncode, out, err)


def run_child(script, *args, timeout=2 * DEADLINE, **kwargs):
    """Runs a script in a child interpreter; returns the CompletedProcess."""
    if "input" not in kwargs:
        kwargs.setdefault("stdin", subprocess.DEVNULL)
    return run([sys.executable, "-c", script] + [str(a) for a in args], env=child_env(),
               capture_output=True, timeout=timeout, **kwargs)


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


class ClientProcess:
    """SonvexClients running in a child interpreter, so that what the module
    writes to file descriptor 1 can be read as bytes by the test.

    The child connects its clients to the given port and then follows commands
    read from its standard input, one per line:

        connect <i>      connect client i again (replacing its connection)
        disconnect <i>   disconnect client i
        send <text>      client 0 sends <text> with send_raw_command

    connect and disconnect answer "<command> done" on file descriptor 1,
    written with os.write so that it is ordered with the module's own lines.
    The child ends at end of file on standard input."""

    def __init__(self, port, clients=1, stdout=None):
        self._stderr = tempfile.TemporaryFile()
        self.proc = Child(
            [sys.executable, "-c", CHILD, str(port), str(clients)], env=child_env(),
            stdin=subprocess.PIPE, stdout=stdout or subprocess.PIPE, stderr=self._stderr)
        self.output = b""

    def command(self, text, timeout=DEADLINE):
        """Send a command and, for connect/disconnect, wait for its answer."""
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()
        word = text.split(" ", 1)[0]
        if word != "send":
            self.wait_for(word.encode() + b" done\n", self.output.count(word.encode() + b" done\n") + 1,
                          timeout)

    def wait_for(self, marker, count=1, timeout=DEADLINE):
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

    def close(self, timeout=DEADLINE):
        """End the child; returns its exit status."""
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            return self.proc.wait(timeout)   # ends the child's group if it runs out
        finally:
            if self.proc.stdout is not None:
                self.proc.stdout.close()
            self._stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.returncode is None:
            self.close()
