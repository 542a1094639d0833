"""What the benchmarks share: the C helper (sendfloor.c) and its answering
server, a process's CPU time and memory from /proc, a load generator of
pipelined command lines, and running a benchmark under every interpreter
of the repository's virtual environments.

The benchmarks import it as a sibling module (they run as scripts from this
directory); it needs nothing but the standard library.
"""

import json
import os
import select
import socket
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
VENVS = [".venv-cpython", ".venv-pypy"]
TICKS = os.sysconf("SC_CLK_TCK")


# A sanitizer's runtime preloaded into this interpreter (the test suite's
# sanitizer runs) stays out of the compiler and the C helper: its leak
# check would fail the compiler's own processes.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                       "TSAN_OPTIONS")


def plain_env():
    """This process's environment without the sanitizer settings."""
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES}


def compile_c_helper(workdir):
    """sendfloor.c built with cc into workdir; the executable's path."""
    exe = os.path.join(workdir, "sendfloor")
    subprocess.run(["cc", "-O2", "-o", exe, str(HERE / "sendfloor.c")], check=True,
                   env=plain_env())
    return exe


class AnswerServer:
    """The C answering server (sendfloor answer) in a process of its own:
    answers every command line as the fake server does, in one thread, at a
    fraction of the fake server's cost per line, so that it is not what a
    client benchmark measures."""

    def __init__(self, exe):
        self.proc = subprocess.Popen([exe, "answer"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=plain_env())
        words = self.proc.stdout.readline().split()   # b"listening on <host> <port>"
        self.pid = self.proc.pid
        self.port = int(words[3])

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait()
        self.proc.stdout.close()


def run_in_venvs(script, options):
    """Runs `script --json *options` under each venv's interpreter that
    exists; {venv: the JSON object its last line of output holds}."""
    results = {}
    for venv in VENVS:
        python = ROOT / venv / "bin" / "python"
        if python.exists():
            out = subprocess.run([str(python), str(script), "--json", *options],
                                 check=True, stdout=subprocess.PIPE).stdout
            results[venv] = json.loads(out.decode().strip().splitlines()[-1])
    return results


def show(results, as_json, report):
    """The results of this interpreter: as the JSON line that run_in_venvs
    reads, or reported under the interpreter's name."""
    if as_json:
        print(json.dumps(results))
    else:
        report(sys.implementation.name, results)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS   # utime + stime


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


# The load generator

def batch_of(size):
    lines = [b"CallHold 4 COMMANDTAG=%d" % (1000 + i) for i in range(size)]
    answers = [b"CallHold OK COMMANDTAG=%d\r\n" % (1000 + i) for i in range(size)]
    return b"".join(line + b"\n" for line in lines), b"".join(answers)


def load(pid, port, connections, batch, warmup, seconds):
    """Lines answered per second and server CPU seconds per line."""
    payload, answers = batch_of(batch)
    size = len(answers)
    socks = [socket.create_connection(("127.0.0.1", port)) for _ in range(connections)]
    poller = select.epoll()
    owed = {}
    for sock in socks:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        poller.register(sock.fileno(), select.EPOLLIN)
        owed[sock.fileno()] = [sock, 0]
    # The first answers are checked, then only counted.
    socks[0].sendall(payload)
    first = b""
    while len(first) < size:
        first += socks[0].recv(size - len(first))
    assert first == answers, first[:200]
    for sock in socks:
        sock.sendall(payload + payload)
    answered = 0
    start = time.monotonic()
    begin = end = None
    counted = cpu = 0
    while True:
        now = time.monotonic()
        if begin is None and now >= start + warmup:
            begin, counted, cpu = now, answered, cpu_seconds(pid)
        elif begin is not None and now >= begin + seconds:
            end = now
            break
        for fd, _ in poller.poll(0.1):
            entry = owed[fd]
            got = entry[1] + len(entry[0].recv(65536))
            while got >= size:
                got -= size
                answered += batch
                entry[0].sendall(payload)
            entry[1] = got
    cpu = cpu_seconds(pid) - cpu
    lines = answered - counted
    poller.close()
    for sock in socks:
        sock.close()
    return lines / (end - begin), cpu / max(lines, 1)


def expect(sock, wanted):
    data = b""
    while len(data) < len(wanted):
        chunk = sock.recv(len(wanted) - len(data))
        if not chunk:
            raise ConnectionError("connection ended after %r" % data)
        data += chunk
    if data != wanted:
        raise AssertionError("got %r, wanted %r" % (data, wanted))


