#!/usr/bin/env python3
"""Stress: replies pushed through a ReplyTap, taken by many waiters, among
lines passed on to standard output; everything must arrive exactly.

A child interpreter opens a tap. One thread pushes N reply lines
("Received: Pushed <n> COMMANDTAG=<n>", written straight to descriptor 1
in bursts of up to 64) and after each burst prints an ordinary line
("pass <k>") with print(). Eight threads and one asyncio loop take the
replies by tag (waiter k takes the tags n with n % 9 == k). The child says
how many replies each took, how many were missing, duplicated or out of
order (a later tag that arrived before an earlier one); this script reads
the child's standard output and checks the passed-on lines: all there, in
order, nothing else. Run with and without PYTHONUNBUFFERED.

    python benchmarks/stress_replies.py [--replies N] [--threads T] [--max-queued-output B]
    python benchmarks/stress_replies.py --all    # every interpreter of the repository's venvs

Exits non-zero unless every run is exact.
"""

import argparse
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
VENVS = [".venv-cpython", ".venv-pypy"]

CHILD = r"""
import asyncio, json, os, sys, threading, time
from sonvex_replies import ReplyTap

total, threads, bound = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
ways = threads + 1
got = [[] for _ in range(ways)]
passes = [0]

def push():
    for start in range(0, total, 64):
        end = min(start + 64, total)
        os.write(1, b"".join(b"Received: Pushed %d COMMANDTAG=%d\n" % (n, n)
                             for n in range(start, end)))
        print("pass %d" % passes[0])
        passes[0] += 1

began = time.monotonic()
with ReplyTap(max_kept=total, **({} if bound < 0 else {"max_queued_output": bound})) as tap:
    def take(k):
        for tag in range(k, total, ways):
            got[k].append(tap.wait_for(tag, timeout=120))

    async def take_in_loop():
        for tag in range(threads, total, ways):
            got[threads].append(await tap.reply(tag, timeout=120))

    workers = [threading.Thread(target=take, args=(k,)) for k in range(threads)]
    workers.append(threading.Thread(target=push))
    for worker in workers:
        worker.start()
    asyncio.run(take_in_loop())
    for worker in workers:
        worker.join()
    left = len(tap.replies)
seconds = time.monotonic() - began

by_tag = {}
duplicated = wrong = 0
for replies in got:
    for reply in replies:
        if reply.tag in by_tag:
            duplicated += 1
        by_tag[reply.tag] = reply
        if reply.text != "Pushed %d COMMANDTAG=%d" % (reply.tag, reply.tag):
            wrong += 1
reordered = sum(1 for n in range(1, total)
                if n in by_tag and n - 1 in by_tag and by_tag[n].time < by_tag[n - 1].time)
os.write(2, json.dumps({
    "replies": len(by_tag), "lost": total - len(by_tag), "duplicated": duplicated,
    "wrong": wrong, "reordered": reordered, "left": left, "passes": passes[0],
    "seconds": round(seconds, 2)}).encode() + b"\n")
"""


def run_one(python, total, threads, bound, unbuffered):
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    if unbuffered:
        env["PYTHONUNBUFFERED"] = "1"
    proc = subprocess.Popen([python, "-c", CHILD, str(total), str(threads), str(bound)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)
    err = bytearray()
    reader = threading.Thread(target=lambda: err.extend(proc.stderr.read()), daemon=True)
    reader.start()
    out = proc.stdout.read()
    proc.wait()
    reader.join()
    try:
        result = json.loads(err.decode().strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"error": err.decode()[-2000:], "status": proc.returncode}
    lines = out.split(b"\n")
    expected = [b"pass %d" % k for k in range(result["passes"])] + [b""]
    result["passed_on_exact"] = lines == expected
    result["status"] = proc.returncode
    return result


def exact(result):
    return (result.get("status") == 0 and result.get("passed_on_exact") and
            all(result.get(key) == 0 for key in ("lost", "duplicated", "wrong", "reordered",
                                                 "left")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--replies", type=int, default=500_000)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--max-queued-output", type=int, default=-1,
                        help="the tap's bound of queued output (default: its own)")
    parser.add_argument("--all", action="store_true")
    args = parser.parse_args()
    pythons = [sys.executable]
    if args.all:
        pythons = [str(ROOT / venv / "bin" / "python") for venv in VENVS
                   if (ROOT / venv / "bin" / "python").exists()]
    ok = True
    for python in pythons:
        for unbuffered in (False, True):
            began = time.monotonic()
            result = run_one(python, args.replies, args.threads, args.max_queued_output,
                             unbuffered)
            good = exact(result)
            ok = ok and good
            print(json.dumps({"python": python, "PYTHONUNBUFFERED": unbuffered,
                              "exact": good, **result,
                              "wall": round(time.monotonic() - began, 2)}), flush=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
