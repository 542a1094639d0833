#!/usr/bin/env python3
"""Round trips: send one command, wait for its answer, send the next.

Against the fake server in a process of its own (python -m sonvex_fake_server
--quiet), CallHold commands one at a time, seven ways measured alternately in
one run, so that a busy machine slows them all alike:

  socket      a plain-socket Python client: sendall, then readline
  floor       sonvex_rs prints into a pipe on descriptor 1 that the waiting
              thread reads itself (no tap: the least any reader of descriptor
              1 can cost)
  tap         tap.wait_for(client.send_command(command))
  tap-method  client.call_hold(4), then tap.wait_for(the tag it used)
  tap-async   await tap.reply(client.send_command(command))
  tap-call    tap.call(client.call_hold, 4): tap-method in one call
  tap-acall   await tap.acall(client.send_command, command): tap-async in one call

    python benchmarks/bench_roundtrip.py [--trips N] [--rounds R]
    python benchmarks/bench_roundtrip.py --all    # every interpreter of the repository's venvs

Prints, per interpreter, microseconds per round trip of each way (the median
of R rounds of N trips, each round after a warm-up) and the ratios that
matter: the tap over the floor and over the socket client, async over sync.
"""

import argparse
import asyncio
import json
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
VENVS = [".venv-cpython", ".venv-pypy"]
WAYS = ["socket", "floor", "tap", "tap-method", "tap-async", "tap-call", "tap-acall"]


def start_server():
    proc = subprocess.Popen([sys.executable, "-m", "sonvex_fake_server", "--quiet"],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    words = proc.stdout.readline().split()   # b"listening on <host> <port>"
    return proc, words[2].decode(), int(words[3])


def new_client(host, port):
    import sonvex_rs
    client = sonvex_rs.client.SonvexClient(host, port, None, None, None)
    client.connect()
    return client


def hold():
    import sonvex_rs
    return sonvex_rs.commands.Command.call_hold(4)


def run_socket(host, port, trips):
    with socket.create_connection((host, port)) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader = sock.makefile("rb")
        start = time.perf_counter()
        for tag in range(trips):
            sock.sendall(b"CallHold 4 COMMANDTAG=%d\n" % tag)
            reader.readline()
        return time.perf_counter() - start


def run_floor(host, port, trips):
    read_end, write_end = os.pipe()
    saved = os.dup(1)
    os.dup2(write_end, 1)
    os.close(write_end)
    try:
        client = new_client(host, port)
        command = hold()
        pending = b""
        start = time.perf_counter()
        for _ in range(trips):
            want = b"COMMANDTAG=%d\n" % client.send_command(command)
            while want not in pending:
                pending += os.read(read_end, 65536)
            pending = pending[pending.index(want) + len(want):]
        elapsed = time.perf_counter() - start
        client.disconnect()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(read_end)
    return elapsed


def run_tap(host, port, trips, way):
    from sonvex_replies import ReplyTap
    with ReplyTap() as tap:
        client = new_client(host, port)
        command = hold()
        start = time.perf_counter()
        if way == "tap":
            for _ in range(trips):
                tap.wait_for(client.send_command(command))
        elif way == "tap-method":
            for _ in range(trips):
                tag = client.command_tag
                client.call_hold(4)
                tap.wait_for(tag)
        elif way == "tap-call":
            for _ in range(trips):
                tap.call(client.call_hold, 4)
        elif way == "tap-acall":
            async def call_all():
                for _ in range(trips):
                    await tap.acall(client.send_command, command)
            asyncio.run(call_all())
        else:
            async def trip_all():
                for _ in range(trips):
                    await tap.reply(client.send_command(command))
            asyncio.run(trip_all())
        elapsed = time.perf_counter() - start
        client.disconnect()
        tap.wait_closed()
    return elapsed


def measure(way, host, port, trips):
    if way == "socket":
        return run_socket(host, port, trips)
    if way == "floor":
        return run_floor(host, port, trips)
    return run_tap(host, port, trips, way)


def run_here(trips, rounds):
    proc, host, port = start_server()
    try:
        for way in WAYS:
            measure(way, host, port, max(trips // 5, 100))   # warm-up (PyPy's JIT too)
        times = {way: [] for way in WAYS}
        for _ in range(rounds):
            for way in WAYS:
                times[way].append(measure(way, host, port, trips) / trips * 1e6)
    finally:
        proc.terminate()
        proc.wait()
    return {way: sorted(values)[len(values) // 2] for way, values in times.items()}, {
        way: (min(values), max(values)) for way, values in times.items()}


def report(name, median, spread):
    print(f"{name}: microseconds per round trip (median of rounds, min to max)")
    for way in WAYS:
        low, high = spread[way]
        print(f"  {way:11} {median[way]:7.1f}   ({low:.1f} to {high:.1f})")
    for way in ("tap", "tap-method"):
        print(f"  {way} / floor  {median[way] / median['floor']:.2f}    "
              f"{way} / socket {median[way] / median['socket']:.2f}")
    print(f"  tap-async / tap {median['tap-async'] / median['tap']:.2f}")
    print(f"  tap-call / tap-method {median['tap-call'] / median['tap-method']:.2f}    "
          f"tap-acall / tap-async {median['tap-acall'] / median['tap-async']:.2f}")
    load = os.getloadavg()[0]
    print(f"  load average {load:.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trips", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--all", action="store_true",
                        help="run in every interpreter of the repository's venvs")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.all:
        for venv in VENVS:
            python = ROOT / venv / "bin" / "python"
            if not python.exists():
                continue
            out = subprocess.run([str(python), __file__, "--json", "--trips", str(args.trips),
                                  "--rounds", str(args.rounds)],
                                 check=True, stdout=subprocess.PIPE).stdout
            median, spread = json.loads(out.decode().strip().splitlines()[-1])
            report(venv, median, {k: tuple(v) for k, v in spread.items()})
        return
    median, spread = run_here(args.trips, args.rounds)
    if args.json:
        print(json.dumps([median, spread]))
    else:
        report(sys.implementation.name, median, spread)


if __name__ == "__main__":
    main()
