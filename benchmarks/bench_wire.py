#!/usr/bin/env python3
"""Wire throughput of the sonvex_rs client against its floors.

Send: client.call_make(7, "200", None, None, None, None, None) in a loop to a
loopback sink that discards, against a C loop of send(2) of the same lines
(the floor), a pure-Python client (f-string + sock.sendall), and Python
sending ready-made bytes (what any call from the interpreter costs at least).

Reader: a server sends short lines to a client process whose standard output
is a file; the time runs from the first byte sent until "Connection closed."
is in the file. Against a C recv/write copy of the same stream (the floor) and
a pure-Python reader (sock.makefile + sys.stdout.write per line).

    python bench_wire.py [--send-lines N] [--reader-lines M] [--repeat R]
    python bench_wire.py --all      # every interpreter of the repository's venvs
    python bench_wire.py --all --pin  # sender and receiver each on a core of its own

The C helper (sendfloor.c) is compiled with cc into a temporary directory.
"""

import argparse
import json
import os
import platform
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from benchlib import compile_c_helper

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
VENVS = [".venv-cpython", ".venv-pypy"]
MARKER = b"Connection closed.\n"

MODULE_READER = r"""
import sys, sonvex_rs
c = sonvex_rs.client.SonvexClient("127.0.0.1", int(sys.argv[1]), None, None, None)
c.connect()
sys.stdin.read()
"""

PYTHON_READER = r"""
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
write = sys.stdout.write
for line in s.makefile("r", encoding="utf-8", errors="replace", newline="\n"):
    write("Received: " + line.strip() + "\n")
write("Connection closed.\n")
sys.stdout.flush()
sys.stdin.read()
"""


PIN = False


def pin(pid, cpu):
    """With --pin, put process pid (0: this one) on one core, so that sender
    and receiver each have a core of their own in every run; with fewer than
    two cores everything shares the one there is. Children inherit it."""
    if not PIN or (os.cpu_count() or 1) < 2:
        return
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(pid, {cpu})
    elif shutil.which("taskset"):
        subprocess.run(["taskset", "-p", "-c", str(cpu), str(pid or os.getpid())],
                       stdout=subprocess.DEVNULL, check=False)


def send_line(tag):
    return b"CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=%d\n" % tag


class Sink:
    """The C sink process: discards what each connection sends, reports byte counts."""

    def __init__(self, exe):
        self.proc = subprocess.Popen([exe, "sink"], stdout=subprocess.PIPE)
        pin(self.proc.pid, 1)
        self.port = int(self.proc.stdout.readline())

    def received(self):
        return int(self.proc.stdout.readline())

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def send_module(port, n):
    import sonvex_rs
    client = sonvex_rs.client.SonvexClient("127.0.0.1", port, None, None, None)
    client.connect()
    call_make = client.call_make
    start = time.perf_counter()
    for _ in range(n):
        call_make(7, "200", None, None, None, None, None)
    elapsed = time.perf_counter() - start
    client.disconnect()
    return elapsed


def send_python(port, n):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sendall = sock.sendall
    resource_id, address, timeout, privacy, screen = 7, "200", 30000, 0, 1
    start = time.perf_counter()
    for tag in range(n):
        sendall(f"CallMake {resource_id} {address} TimeOut={timeout} Privacy={privacy} "
                f"Screen={screen} COMMANDTAG={tag}\n".encode())
    elapsed = time.perf_counter() - start
    sock.close()
    return elapsed


def send_prebuilt(port, n):
    # The interpreter's own floor: one fixed line per socket call, no formatting.
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    sendall = sock.sendall
    lines = [send_line(t) for t in range(n)]
    start = time.perf_counter()
    for line in lines:
        sendall(line)
    elapsed = time.perf_counter() - start
    sock.close()
    return elapsed


def send_floor(exe, port, n):
    out = subprocess.run([exe, "send", str(port), str(n)], check=True, capture_output=True)
    return float(out.stdout)


def bench_send(exe, n, repeat):
    sink = Sink(exe)
    expected = sum(len(send_line(t)) for t in range(n))
    runs = {"floor": lambda: send_floor(exe, sink.port, n),
            "module": lambda: send_module(sink.port, n),
            "python": lambda: send_python(sink.port, n),
            "prebuilt": lambda: send_prebuilt(sink.port, n)}
    best = {}
    try:
        for _ in range(repeat):
            for name, run in runs.items():
                elapsed = run()
                got = sink.received()
                if got != expected:
                    raise SystemExit("send %s: sink got %d bytes, expected %d" % (name, got, expected))
                best[name] = min(best.get(name, elapsed), elapsed)
    finally:
        sink.stop()
    return best


def reader_run(argv, blob, out_path, timeout=300.0):
    """Time from the first byte sent until the marker ends the output file."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(60)
    port = listener.getsockname()[1]
    with open(out_path, "wb") as out:
        proc = subprocess.Popen(argv + [str(port)], stdin=subprocess.PIPE, stdout=out)
    pin(proc.pid, 1)
    try:
        conn, _ = listener.accept()
        listener.close()
        fd = os.open(out_path, os.O_RDONLY)
        start = time.perf_counter()
        conn.sendall(blob)
        conn.shutdown(socket.SHUT_WR)
        deadline = start + timeout
        while True:
            size = os.fstat(fd).st_size
            if size >= len(MARKER) and os.pread(fd, len(MARKER), size - len(MARKER)) == MARKER:
                break
            if time.perf_counter() > deadline:
                raise SystemExit("reader %s: no end marker after %.0f s" % (argv[-1][:20], timeout))
            time.sleep(0.0002)
        elapsed = time.perf_counter() - start
        os.close(fd)
        conn.close()
    finally:
        proc.stdin.close()
        proc.wait(60)
    return elapsed, size


def bench_reader(exe, m, repeat, workdir):
    lines = [b"CallHold OK COMMANDTAG=%d\r\n" % i for i in range(m)]
    blob = b"".join(lines)
    printed = sum(len(line) for line in lines) + m * (len(b"Received: ") - 1) + len(MARKER)
    out_path = os.path.join(workdir, "reader.out")
    runs = {"floor": ([exe, "copy"], len(blob) + len(MARKER)),
            "module": ([sys.executable, "-c", MODULE_READER], printed),
            "python": ([sys.executable, "-c", PYTHON_READER], printed)}
    best = {}
    for _ in range(repeat):
        for name, (argv, size) in runs.items():
            elapsed, got = reader_run(argv, blob, out_path)
            if got != size:
                raise SystemExit("reader %s: %d bytes of output, expected %d" % (name, got, size))
            best[name] = min(best.get(name, elapsed), elapsed)
    with open(out_path, "rb") as f:
        head = f.read(200)
    if not head.startswith(b"Received: CallHold OK COMMANDTAG=0\nReceived: CallHold OK COMMANDTAG=1\n"):
        raise SystemExit("reader output starts with %r" % head)
    return best


def measure(args):
    # The module's reader threads print "Connection closed." on descriptor 1;
    # keep that out of the report by pointing descriptor 1 at /dev/null.
    report = os.fdopen(os.dup(1), "w", buffering=1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    sys.stdout.flush()
    os.dup2(devnull, 1)
    impl = "%s %s" % (platform.python_implementation(), platform.python_version())
    with tempfile.TemporaryDirectory() as workdir:
        exe = compile_c_helper(workdir)
        pin(0, 0)
        s = bench_send(exe, args.send_lines, args.repeat)
        r = bench_reader(exe, args.reader_lines, args.repeat, workdir)
    p = report.write
    p("%s\n" % impl)
    p("send: %d lines of call_make, best of %d\n" % (args.send_lines, args.repeat))
    for name, label in [("floor", "C send(2) loop (floor)"), ("module", "sonvex_rs call_make"),
                        ("python", "pure Python f-string + sendall"),
                        ("prebuilt", "Python sendall of ready bytes")]:
        p("  %-32s %8.3f s %10.0f lines/s\n" % (label, s[name], args.send_lines / s[name]))
    p("reader: %d lines, best of %d\n" % (args.reader_lines, args.repeat))
    for name, label in [("floor", "C recv/write copy (floor)"), ("module", "sonvex_rs reader thread"),
                        ("python", "pure Python makefile + write")]:
        p("  %-32s %8.3f s %10.0f lines/s\n" % (label, r[name], args.reader_lines / r[name]))
    result = {"impl": impl,
              "send_of_floor": s["floor"] / s["module"],
              "send_vs_python": s["python"] / s["module"],
              "send_of_prebuilt": s["prebuilt"] / s["module"],
              "reader_of_floor": r["floor"] / r["module"],
              "reader_vs_python": r["python"] / r["module"]}
    p("  send:   %.2f of floor, %.2fx pure Python, %.2f of ready-bytes sendall\n"
      % (result["send_of_floor"], result["send_vs_python"], result["send_of_prebuilt"]))
    p("  reader: %.2f of floor, %.2fx pure Python\n" % (result["reader_of_floor"], result["reader_vs_python"]))
    p("RESULT %s\n" % json.dumps(result))
    report.flush()


def run_all(args):
    results = []
    for venv in VENVS:
        python = ROOT / venv / "bin" / "python"
        if not python.exists():
            print("(%s: not found)" % venv)
            continue
        out = subprocess.run([str(python), __file__, "--send-lines", str(args.send_lines),
                              "--reader-lines", str(args.reader_lines), "--repeat", str(args.repeat)] + (["--pin"] if args.pin else []),
                             capture_output=True, text=True)
        sys.stdout.write(out.stdout)
        sys.stderr.write(out.stderr)
        results += [json.loads(line[7:]) for line in out.stdout.splitlines() if line.startswith("RESULT ")]
    print("\n%-18s %11s %12s %14s %13s %14s" % ("interpreter", "send/floor", "send/python",
                                                "send/ready", "reader/floor", "reader/python"))
    for r in results:
        print("%-18s %11.2f %11.2fx %14.2f %13.2f %13.2fx" % (
            r["impl"], r["send_of_floor"], r["send_vs_python"], r["send_of_prebuilt"],
            r["reader_of_floor"], r["reader_vs_python"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--send-lines", type=int, default=200000)
    parser.add_argument("--reader-lines", type=int, default=1000000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--pin", action="store_true",
                        help="sender on the first core, receiver on the second")
    parser.add_argument("--all", action="store_true", help="run under every venv of the repository")
    args = parser.parse_args()
    global PIN
    PIN = args.pin
    if shutil.which("cc") is None:
        raise SystemExit("cc is needed to build the C floor")
    if args.all:
        run_all(args)
    else:
        measure(args)


if __name__ == "__main__":
    main()
