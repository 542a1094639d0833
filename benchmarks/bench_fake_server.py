#!/usr/bin/env python3
"""The fake media server alone: lines answered per second, beside asyncio.

Two servers answer every command line the same way (reply_for_line, the
fake server's default answer), each in a process of its own on this
interpreter:

  fake     python -m sonvex_fake_server --quiet (one thread, epoll)
  asyncio  a minimal asyncio server: a Protocol whose data_received splits
           the lines and writes their answers (the quicker of asyncio's two
           ways; its streams read a line per await)

The load generator here, with plain sockets in one thread, keeps N
connections busy (N = 1, 10, 100): each has two batches of --batch
pipelined lines in flight and sends the next batch as soon as the answers
to one have all come. Each measurement runs --seconds after a warm-up and
counts the lines answered; the two servers take turns for --rounds rounds,
so that a busy machine slows both alike.

    python benchmarks/bench_fake_server.py [--conns N...] [--batch B] [--seconds S] [--rounds R]
    python benchmarks/bench_fake_server.py --all      # every venv of the repository
    python benchmarks/bench_fake_server.py --idle 10000

Prints, for each N, the median lines per second of each server, the
ratio fake/asyncio, and the server's CPU time per line (microseconds,
from /proc/<pid>/stat): the ratio of those says what each costs when the
machine is shared.

--idle N opens N idle connections to the fake server under a descriptor
limit that leaves exactly one more (the server's own descriptors, N and
one), then shows that one new client is served, that the one after waits
until an idle one ends, and the server's memory (VmRSS) before and after.
"""

import argparse
import asyncio
import os
import resource
import socket
import statistics
import subprocess
import sys
import time

from benchlib import expect, load, rss_kib, run_in_venvs, show

COUNTS = [1, 10, 100]
SERVERS = ["fake", "asyncio"]


# ----- the asyncio peer -------------------------------------------------------

def serve_asyncio():
    from sonvex_fake_server import reply_for_line

    class Answer(asyncio.Protocol):
        def connection_made(self, transport):
            self.transport = transport
            self.tail = b""

        def data_received(self, data):
            lines = (self.tail + data).split(b"\n") if self.tail else data.split(b"\n")
            self.tail = lines.pop()
            if lines:
                self.transport.write(b"".join([reply_for_line(line) for line in lines]))

    async def run():
        server = await asyncio.get_running_loop().create_server(Answer, "127.0.0.1", 0)
        print("listening on 127.0.0.1 %d" % server.sockets[0].getsockname()[1], flush=True)
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)

    asyncio.run(run())


# ----- servers in processes of their own -------------------------------------

def start(kind):
    command = {"fake": ["-m", "sonvex_fake_server", "--quiet", "--stop-at-eof"],
               "asyncio": [__file__, "--asyncio-server"]}[kind]
    proc = subprocess.Popen([sys.executable, *command], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    words = proc.stdout.readline().split()   # b"listening on <host> <port>"
    return proc, int(words[3])


def stop(proc):
    proc.stdin.close()
    proc.wait()
    proc.stdout.close()


def run_here(counts, batch, warmup, seconds, rounds):
    procs = {kind: start(kind) for kind in SERVERS}
    results = {}
    try:
        for n in counts:
            rates = {kind: [] for kind in SERVERS}
            costs = {kind: [] for kind in SERVERS}
            for r in range(rounds):
                for kind in SERVERS if r % 2 == 0 else SERVERS[::-1]:   # first in turn
                    proc, port = procs[kind]
                    rate, cost = load(proc.pid, port, n, batch, warmup, seconds)
                    rates[kind].append(rate)
                    costs[kind].append(cost)
            results[n] = {kind: (statistics.median(rates[kind]), statistics.median(costs[kind]))
                          for kind in SERVERS}
    finally:
        for proc, _ in procs.values():
            stop(proc)
    return results


def report(name, results):
    print("%s: lines answered per second (median), server CPU per line" % name)
    print("  %5s %12s %12s %7s %9s %9s %7s" % ("conns", "fake", "asyncio", "ratio",
                                               "fake us", "async us", "ratio"))
    for n, by in sorted(results.items(), key=lambda item: int(item[0])):
        (fr, fc), (ar, ac) = by["fake"], by["asyncio"]
        print("  %5s %12.0f %12.0f %7.2f %9.2f %9.2f %7.2f" % (
            n, fr, ar, fr / ar, fc * 1e6, ac * 1e6, ac / fc if fc else 0.0))


# ----- idle connections -------------------------------------------------------

def idle(count):
    """Fill the fake server's descriptor limit with idle connections."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < count + 64:
        sys.exit("--idle %d needs a descriptor limit of %d here, the hard limit is %d"
                 % (count, count + 64, hard))
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    proc, port = start("fake")
    try:
        used = len(os.listdir("/proc/%d/fd" % proc.pid))
        limit = used + count + 1
        resource.prlimit(proc.pid, resource.RLIMIT_NOFILE, (limit, hard))
        print("server: %d descriptors at start, limit set to %d; VmRSS %d KiB"
              % (used, limit, rss_kib(proc.pid)))
        began = time.monotonic()
        clients = []
        for i in range(count):
            client = socket.create_connection(("127.0.0.1", port))
            clients.append(client)
            client.sendall(b"Ping COMMANDTAG=%d\n" % i)
            expect(client, b"Ping OK COMMANDTAG=%d\r\n" % i)
        print("%d idle connections opened and each served once in %.2f s; VmRSS %d KiB"
              % (count, time.monotonic() - began, rss_kib(proc.pid)))
        began = time.monotonic()
        with socket.create_connection(("127.0.0.1", port)) as new:
            new.sendall(b"CallHold 4 COMMANDTAG=1\n")
            expect(new, b"CallHold OK COMMANDTAG=1\r\n")
            print("a new client beside them: served in %.1f ms"
                  % ((time.monotonic() - began) * 1e3))
            with socket.create_connection(("127.0.0.1", port)) as late:
                late.sendall(b"CallHold 4 COMMANDTAG=2\n")
                late.settimeout(0.5)
                try:
                    late.recv(100)
                    print("the one after it was served at once (limit not reached?)")
                except socket.timeout:
                    print("the one after it waits (no descriptor left)...")
                late.settimeout(None)
                began = time.monotonic()
                clients.pop().close()
                expect(late, b"CallHold OK COMMANDTAG=2\r\n")
                print("... and is served %.1f ms after an idle one ends"
                      % ((time.monotonic() - began) * 1e3))
        for client in clients:
            client.close()
    finally:
        stop(proc)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--conns", type=int, nargs="+", default=COUNTS, metavar="N",
                        help="connection counts (1 10 100)")
    parser.add_argument("--batch", type=int, default=32, help="lines in a batch (32)")
    parser.add_argument("--warmup", type=float, default=0.5, help="seconds (0.5)")
    parser.add_argument("--seconds", type=float, default=1.0, help="seconds measured (1.0)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds (5)")
    parser.add_argument("--all", action="store_true",
                        help="run in every interpreter of the repository's venvs")
    parser.add_argument("--idle", type=int, metavar="N",
                        help="open N idle connections under a matching descriptor limit")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--asyncio-server", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.asyncio_server:
        serve_asyncio()
        return
    if args.idle:
        idle(args.idle)
        return
    options = ["--conns", *map(str, args.conns), "--batch", str(args.batch), "--warmup", str(args.warmup),
               "--seconds", str(args.seconds), "--rounds", str(args.rounds)]
    if args.all:
        for venv, results in run_in_venvs(__file__, options).items():
            report(venv, results)
        return
    show(run_here(args.conns, args.batch, args.warmup, args.seconds, args.rounds), args.json,
         report)


if __name__ == "__main__":
    main()
