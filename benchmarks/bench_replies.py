#!/usr/bin/env python3
"""How fast a ReplyTap turns the client's output into Reply values.

A server in another process sends N short lines ("CallEvent 1 State=Up
COMMANDTAG=<n>") to a connected client and closes; the client's reader
prints them to descriptor 1. Two ways of reading descriptor 1, timed from
connect() until "Connection closed." has been read, measured alternately in
one run:

  tap    a ReplyTap: every line becomes a Reply, kept until the end
  plain  descriptor 1 on a pipe of the same size, read by a thread in the
         same large chunks and thrown away (the floor of any Python reader)
  other  with --against DIR: the tap of another build of sonvex_replies,
         installed into DIR for this interpreter (pip install --target DIR
         of another checkout), loaded under another name

    python benchmarks/bench_replies.py [--lines N] [--repeat R] [--against DIR]
    python benchmarks/bench_replies.py --all    # every interpreter of the repository's venvs

Prints, per interpreter, lines per second of each way (the best of R runs)
and the tap's time over the plain read's (and the tap's throughput over the
other tap's).
"""

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
VENVS = [".venv-cpython", ".venv-pypy"]
CLOSED = b"Connection closed.\n"

SERVER = r"""
import socket, sys
count = int(sys.argv[1])
listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
data = b"".join(b"CallEvent 1 State=Up COMMANDTAG=%d\n" % i for i in range(count))
while sys.stdin.readline():
    conn, _ = listener.accept()
    with conn:
        conn.sendall(data)
"""


class Server:
    """The line server in a process of its own: one stream per connection,
    one connection per line written to its standard input."""

    def __init__(self, count):
        self.proc = subprocess.Popen([sys.executable, "-c", SERVER, str(count)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())

    def arm(self):
        self.proc.stdin.write(b"go\n")
        self.proc.stdin.flush()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)
        self.proc.stdout.close()


def connected_client(server):
    import sonvex_rs
    server.arm()
    client = sonvex_rs.client.SonvexClient("127.0.0.1", server.port, None, None, None)
    client.connect()
    return client


def run_tap(server, count, tap_class=None):
    if tap_class is None:
        from sonvex_replies import ReplyTap as tap_class
    with tap_class(max_kept=count) as tap:
        start = time.perf_counter()
        client = connected_client(server)
        tap.wait_closed(timeout=600)
        elapsed = time.perf_counter() - start
        client.disconnect()
        kept = tap.replies
    assert len(kept) == count and kept[-1].tag == count - 1, (len(kept), kept[-1:])
    return elapsed


def run_plain(server, count):
    from sonvex_replies._stdout import _enlarge, _LARGEST_READ
    read_end, write_end = os.pipe()
    size = min(_enlarge(write_end), _LARGEST_READ)
    saved = os.dup(1)
    done = threading.Event()

    def drain():
        tail = b""
        while True:
            data = os.read(read_end, size)
            if not data:
                break
            tail = (tail + data)[-len(CLOSED):]
            if tail == CLOSED:
                done.set()
        done.set()

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    os.dup2(write_end, 1)
    os.close(write_end)
    try:
        start = time.perf_counter()
        client = connected_client(server)
        done.wait(600)
        elapsed = time.perf_counter() - start
        client.disconnect()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        reader.join()
        os.close(read_end)
    return elapsed


def other_tap(directory):
    """The ReplyTap class of the sonvex_replies installed in the directory,
    loaded as the package other_sonvex_replies beside this one."""
    path = Path(directory) / "sonvex_replies"
    spec = importlib.util.spec_from_file_location(
        "other_sonvex_replies", path / "__init__.py", submodule_search_locations=[str(path)])
    if spec is None or not (path / "__init__.py").exists():
        sys.exit(f"bench_replies.py: no sonvex_replies package in {directory}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    return module.ReplyTap


def measure(count, repeat, against=None):
    """Best seconds of each way, as a dict."""
    ways = [("plain", run_plain), ("tap", run_tap)]
    if against is not None:
        other = other_tap(against)
        ways.append(("other", lambda server, count: run_tap(server, count, other)))
    server = Server(count)
    best = {way: float("inf") for way, _ in ways}
    try:
        for _ in range(repeat):
            for way, run in ways:
                best[way] = min(best[way], run(server, count))
    finally:
        server.close()
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--all", action="store_true",
                        help="run under every interpreter of the repository's venvs")
    parser.add_argument("--against", metavar="DIR",
                        help="also measure the tap of the sonvex_replies installed in DIR")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.all and args.against:
        parser.error("--against names a build for one interpreter: run without --all")
    if args.all:
        results = {}
        for venv in VENVS:
            python = ROOT / venv / "bin" / "python"
            out = subprocess.run([str(python), __file__, "--json", "--lines", str(args.lines),
                                  "--repeat", str(args.repeat)],
                                 check=True, capture_output=True, text=True).stdout
            results[venv] = json.loads(out)
    else:
        results = {sys.implementation.name: measure(args.lines, args.repeat, args.against)}
        if args.json:
            print(json.dumps(results[sys.implementation.name]))
            return
    print(f"{args.lines:,} server lines, best of {args.repeat}")
    print(f"{'':16} {'tap lines/s':>12} {'plain lines/s':>14} {'tap / plain time':>17}")
    for name, best in results.items():
        print(f"{name:16} {args.lines / best['tap']:12,.0f} {args.lines / best['plain']:14,.0f} "
              f"{best['tap'] / best['plain']:17.2f}")
        if "other" in best:
            print(f"{'':16} the tap of {args.against}: {args.lines / best['other']:,.0f} lines/s; "
                  f"this tap's throughput / its: {best['other'] / best['tap']:.2f}")


if __name__ == "__main__":
    main()
