#!/usr/bin/env python3
"""User-space instructions per operation, counted with valgrind's callgrind.

Each operation runs in a loop inside a function (the callables bound to
local names first, so that the loop measures the calls and not the lookups
of names), in a child interpreter under callgrind, once with SHORT and once
with LONG iterations; the difference of
the two totals divided by LONG - SHORT is the cost of one iteration (loop
included), free of start-up, import and JIT warm-up. Instruction counts are
deterministic, unlike wall-clock time on a shared machine, and do not include
the kernel's share (the send(2) itself).

    python benchmarks/count_instructions.py               # both venvs of the repository
    python benchmarks/count_instructions.py --python PY   # one interpreter
    python benchmarks/count_instructions.py --families    # also str() of five more commands
    python benchmarks/count_instructions.py --module-path DIR  # a module built elsewhere

The client rows send to a loopback sink in a process of its own, which
discards what it reads.
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import threading
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
VENVS = [".venv-cpython", ".venv-pypy"]

CALL_MAKE = '7, "200", None, "100", None, None, None'

# (label, setup statements, loop statement)
OPERATIONS = [
    ("sum_as_string(2, 3)", "f = sonvex_rs.sum_as_string", "f(2, 3)"),
    ("Command.call_make(...)", "f = Command.call_make", f"f({CALL_MAKE})"),
    ("str(Command.call_make(...))", "f = Command.call_make; s = str", f"s(f({CALL_MAKE}))"),
    ("client.call_make(...) per command", "c = connected_client(port); m = c.call_make",
     f"m({CALL_MAKE})"),
    ("pure-Python client, same line", "send = python_client(port)", f"send({CALL_MAKE})"),
]

# str() of the other command families of bench_commands.py.
FAMILIES = [
    ("str(Command.login(...))", '"user1", "pwd", None, None, None', "login"),
    ("str(Command.play_file(...))", '1, "prompt.wav", None, 8000, None, None, None', "play_file"),
    ("str(Command.fax_send(...))", '1, 2, 3, None, None, "ACME fax", "+49 30 1234"', "fax_send"),
    ("str(Command.audio_send(...))", "1, 2, 0, 1, -3, True, 5, 10, 20, 30", "audio_send"),
    ("str(Command.get_rtp_statistics(...))", "5", "get_rtp_statistics"),
]

PROGRAM = r"""
import socket, sys
sys.path.insert(0, {bench!r})
import sonvex_rs
from bench_commands import py_call_make
Command = sonvex_rs.commands.Command


def connected_client(port):
    c = sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
    c.connect()
    return c


def python_client(port):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sendall, tag = sock.sendall, [0]

    def call_make(resource_id, address, timeout, caller_number, caller_name, privacy, screen):
        line = py_call_make(resource_id, address, timeout, caller_number, caller_name, privacy, screen)
        sendall(f"{{line}} COMMANDTAG={{tag[0]}}\n".encode())
        tag[0] += 1
    return call_make


def main(n, port):
    {setup}
    for _ in range(n):
        {stmt}


main(int(sys.argv[1]), int(sys.argv[2]))
"""


class Sink:
    """Accepts connections on loopback and discards what arrives."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            conn, _ = self.sock.accept()
            threading.Thread(target=self._drain, args=(conn,), daemon=True).start()

    @staticmethod
    def _drain(conn):
        with conn:
            while conn.recv(1 << 16):
                pass


MODULE_PATH = []


def collected(python, program, n, port):
    """Total instructions of one run of `program` with n iterations."""
    env = dict(os.environ)
    if MODULE_PATH:
        env["PYTHONPATH"] = os.pathsep.join(MODULE_PATH)
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--smc-check=all-non-file",
         python, "-c", program, str(n), str(port)],
        capture_output=True, text=True, cwd=ROOT, env=env)
    match = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or not match:
        raise SystemExit(f"{python}: run failed:\n{result.stderr[-2000:]}")
    return int(match.group(1))


def per_iteration(python, setup, stmt, short, long, port):
    program = PROGRAM.format(bench=str(HERE), setup=setup, stmt=stmt)
    return (collected(python, program, long, port) - collected(python, program, short, port)) / (long - short)


def interpreter_name(python):
    return subprocess.run([python, "-c", "import platform; print(platform.python_implementation(), "
                           "platform.python_version())"], capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="interpreter(s) to measure")
    parser.add_argument("--short", type=int, default=20_000, help="iterations of the short run")
    parser.add_argument("--long", type=int, default=120_000, help="iterations of the long run")
    parser.add_argument("--families", action="store_true", help="also str() of five more commands")
    parser.add_argument("--module-path", action="append", default=[],
                        help="directory searched for sonvex_rs before the venv's own")
    opts = parser.parse_args()
    MODULE_PATH[:] = opts.module_path
    pythons = opts.python or [str(ROOT / v / "bin" / "python") for v in VENVS]

    rows = list(OPERATIONS)
    if opts.families:
        rows += [(label, f"f = Command.{factory}; s = str", f"s(f({args}))")
                 for label, args, factory in FAMILIES]
    sink = Sink()
    names = [interpreter_name(p) for p in pythons]
    table = {label: [] for label, _, _ in rows}
    for python in pythons:
        for label, setup, stmt in rows:
            table[label].append(per_iteration(python, setup, stmt, opts.short, opts.long, sink.port))
            print(f"  {label}: {table[label][-1]:,.0f} ({python})", file=sys.stderr)

    print(f"Instructions per operation (callgrind, ({opts.long:,} - {opts.short:,} iterations) "
          "difference)\n")
    print("| Operation | " + " | ".join(names) + " |")
    print("|---|" + "---:|" * len(names))
    for label, counts in table.items():
        print(f"| `{label}` | " + " | ".join(f"{c:,.0f}" for c in counts) + " |")


if __name__ == "__main__":
    main()
