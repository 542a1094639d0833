#!/usr/bin/env python3
"""Many call flows at once over one client: commands per second, answer
latency, CPU and memory, through the tap and through plain Python.

A flow is one call, made again and again: the client makes a call
(CallMake on its front-end), starts a player on it (PlayFile), starts a
recording (RecorderStartToFile) and hangs up (CallClear), each command
waiting for its answer before the next is sent. The client logs in once.
N flows run at once over ONE connection, four ways:

  tap-async   asyncio tasks over one SonvexClient, each command
              `await tap.acall(client.<method>, ...)` (N = 1 ... 10,000)
  py-async    the same flows in plain Python: asyncio streams, the line
              formatted with an f-string, one future per tag that a reader
              task resolves (the way a pure-Python client matches answers)
  tap-thread  threads over one SonvexClient, each command
              `tap.call(client.<method>, ...)` (N = 1 ... 1,000)
  py-thread   the same flows in plain Python: a socket, a lock around tag
              and send, one reader thread and an Event per tag

The server is the C answering server of sendfloor.c (benchlib.py), which
answers each line as the fake server does ("<word> OK COMMANDTAG=<n>") and
costs a fraction of a client's CPU per line; its ceiling alone (lines per
second per core-second of its own CPU, under a pipelined load) and its
busiest share of a core during the flows are printed, so that one sees it
never limits them. Every (way, N) runs in a process of its own, the ways
of one N in turns for --rounds rounds, so that a loaded machine slows them
alike; the figures are medians over the rounds, the ratios per round.

Per way and N: commands per second; answer latency p50 and p99 (send to
answer in hand, per command); CPU per 1,000 commands (the process's CPU
time, all its threads: the tap's drain and the client's reader included);
memory per waiting flow (the growth of the process's resident memory while
N flows wait for an answer that the server holds back, divided by N).

    python benchmarks/bench_flows.py                # this interpreter
    python benchmarks/bench_flows.py --all          # every venv of the repository
    python benchmarks/bench_flows.py --quick        # small N, few commands (a test runs it)
    python benchmarks/bench_flows.py --async-flows 1000 --thread-flows 10 --wakes
    python benchmarks/bench_flows.py --async-flows 10 --thread-flows 10 --idle 1000
    python benchmarks/bench_flows.py --profile tap-async:1000   # cProfile of one run

--idle K keeps K more flows waiting, unanswered (the server parks their
answers), while the N flows run: the cost of a command beside many idle
waiting calls, as in a real program whose calls mostly wait.

--wakes adds, for the tap's ways, how often a waiting flow is woken per
command (asyncio: futures the tap resolves; threads: returns of the drain's
wait), which says whether one answer wakes one flow or all of them.
"""

import argparse
import asyncio
import gc
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from benchlib import (AnswerServer, compile_c_helper, cpu_seconds, load, rss_kib, run_in_venvs,
                      show)

HERE = Path(__file__).resolve()
ASYNC_COUNTS = [1, 10, 100, 1000, 10000]
THREAD_COUNTS = [1, 10, 100, 1000]
WAYS = {"async": ["tap-async", "py-async"], "thread": ["tap-thread", "py-thread"]}
STEPS = 4   # commands per cycle of a flow


# ----- the flows' commands ----------------------------------------------------
#
# Flow i uses front-end 3i+1, player 3i+2, recorder 3i+3 and calls number
# 200+i. The plain-Python lines are the text the module sends for the same
# call (checked at start-up).

def ids(i):
    return 3 * i + 1, 3 * i + 2, 3 * i + 3, str(200 + i)


def module_steps(client, i):
    frontend, player, recorder, number = ids(i)
    return [
        (client.call_make, (frontend, number, None, None, None, None, None)),
        (client.play_file, (player, "greeting.wav", None, 8000, None, None, None)),
        (client.recorder_start_to_file,
         (recorder, "message.wav", None, 8000, None, None, 30000, None, None, None)),
        (client.call_clear, (frontend, "normal")),
    ]


def python_steps(i):
    """The same commands as text, formatted when sent, as a pure-Python
    client would."""
    frontend, player, recorder, number = ids(i)
    return [
        lambda: f"CallMake {frontend} {number} TimeOut=30000 Privacy=0 Screen=1",
        lambda: f"PlayFile {player} greeting.wav SampleRate=8000",
        lambda: f"RecorderStartToFile {recorder} message.wav SampleRate=8000 MaxDuration=30000",
        lambda: f"CallClear {frontend} Reason=normal",
    ]


def check_texts():
    import sonvex_rs
    Command = sonvex_rs.commands.Command

    class Recorder:
        def __getattr__(self, name):
            return lambda *args: str(getattr(Command, name)(*args))
    for i in (0, 7):
        made = [send(*args) for send, args in module_steps(Recorder(), i)]
        assert made == [text() for text in python_steps(i)], made


# ----- the plain-Python clients -------------------------------------------------

def tag_of(text):
    return int(text.rsplit("COMMANDTAG=", 1)[1])


class AsyncPeer:
    """asyncio streams; a future per tag, resolved by one reader task."""

    async def open(self, port):
        self.reader, self.writer = await asyncio.open_connection("127.0.0.1", port)
        self.writer.transport.get_extra_info("socket").setsockopt(
            socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = {}
        self.tag = 0
        self.task = asyncio.get_running_loop().create_task(self._read())

    async def _read(self):
        readline, pending = self.reader.readline, self.pending
        while True:
            line = await readline()
            if not line:
                return
            text = line.decode().rstrip("\r\n")
            future = pending.pop(tag_of(text), None)
            if future is not None and not future.done():
                future.set_result(text)

    async def call(self, text):
        tag = self.tag
        self.tag = tag + 1
        future = asyncio.get_running_loop().create_future()
        self.pending[tag] = future
        self.writer.write(f"{text} COMMANDTAG={tag}\n".encode())
        return await future

    async def close(self):
        self.writer.close()
        await self.writer.wait_closed()
        self.task.cancel()


class ThreadPeer:
    """A socket shared by threads: tag and send under a lock, an Event per
    tag, set by one reader thread."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.lock = threading.Lock()
        self.pending = {}
        self.tag = 0
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        pending = self.pending
        for line in self.sock.makefile("rb"):
            text = line.decode().rstrip("\r\n")
            slot = pending.pop(tag_of(text), None)
            if slot is not None:
                slot[1] = text
                slot[0].set()

    def call(self, text, timeout=5.0):
        slot = [threading.Event(), None]
        with self.lock:
            tag = self.tag
            self.tag = tag + 1
            self.pending[tag] = slot
            self.sock.sendall(f"{text} COMMANDTAG={tag}\n".encode())
        if not slot[0].wait(timeout):
            raise TimeoutError(f"no answer with COMMANDTAG={tag}")
        return slot[1]

    def close(self):
        self.sock.shutdown(socket.SHUT_WR)
        self.reader.join()
        self.sock.close()


# ----- one way at one N, in a process of its own --------------------------------

class Run:
    """The client of one way: a tap and a SonvexClient, or a plain-Python peer."""

    def __init__(self, way, port):
        self.way = way
        self.port = port
        self.tap = self.client = self.peer = None

    def tagged(self):
        """Commands sent so far."""
        return self.client.command_tag if self.client is not None else self.peer.tag


def measure_async(run, n, cycles, warm_cycles, server_pid, idle):
    async def main():
        if run.way == "tap-async":
            call = run.tap.acall

            async def flow(steps, count, lat):
                for _ in range(count):
                    for send, args in steps:
                        start = time.perf_counter()
                        await call(send, *args)
                        lat.append(time.perf_counter() - start)

            async def one(i):
                send, arguments = module_steps(run.client, i)[0]
                await call(send, *arguments)

            async def raw(text, timeout=5.0):
                await call(run.client.send_raw_command, text, timeout=timeout)
            await call(run.client.login)
        else:
            run.peer = AsyncPeer()
            await run.peer.open(run.port)
            peer_call = run.peer.call

            async def flow(steps, count, lat):
                for _ in range(count):
                    for text in steps:
                        start = time.perf_counter()
                        await peer_call(text())
                        lat.append(time.perf_counter() - start)

            async def one(i):
                await peer_call(python_steps(i)[0]())

            async def raw(text, timeout=None):
                await peer_call(text)
            await raw("Login bench secret 2 3")

        # Memory: n flows wait while the server holds their answers back.
        gc.collect()
        before = rss_kib(os.getpid())
        first = run.tagged()
        await raw(f"Gate {n + 1}")
        waiting = [asyncio.ensure_future(one(i)) for i in range(n)]
        while run.tagged() < first + 1 + n:
            await asyncio.sleep(0)
        during = rss_kib(os.getpid())
        await raw("CallHold 0")   # the (n+1)th line: the answers go
        await asyncio.gather(*waiting)
        del waiting

        def steps_of(i):
            return python_steps(i) if run.way == "py-async" else module_steps(run.client, i)

        async def flows(count):
            lats = [[] for _ in range(n)]
            await asyncio.gather(*[flow(steps_of(i), count, lats[i]) for i in range(n)])
            return lats

        await flows(warm_cycles)
        # With --idle: flows that wait, unanswered, all along.
        first = run.tagged()
        parked = [asyncio.ensure_future(raw(f"Park {i}", None)) for i in range(idle)]
        while run.tagged() < first + idle:
            await asyncio.sleep(0)
        wakes = Wakes(run)
        cpu, server, start = time.process_time(), cpu_seconds(server_pid), time.perf_counter()
        lats = await flows(cycles)
        wall = time.perf_counter() - start
        cpu, server = time.process_time() - cpu, cpu_seconds(server_pid) - server
        woken = wakes.stop()
        if parked:
            await raw("Unpark")
            await asyncio.gather(*parked)
        if run.peer is not None:
            await run.peer.close()
        return lats, wall, cpu, server, (during - before) * 1024 / n, woken

    return asyncio.run(main())


def measure_threads(run, n, cycles, warm_cycles, server_pid, idle):
    if run.way == "tap-thread":
        call = run.tap.call

        def flow(steps, count, lat):
            for _ in range(count):
                for send, args in steps:
                    start = time.perf_counter()
                    call(send, *args)
                    lat.append(time.perf_counter() - start)

        def raw(text, timeout=5.0):
            call(run.client.send_raw_command, text, timeout=timeout)
        steps_of = lambda i: module_steps(run.client, i)   # noqa: E731
        call(run.client.login)
    else:
        run.peer = ThreadPeer(run.port)
        peer_call = run.peer.call

        def flow(steps, count, lat):
            for _ in range(count):
                for text in steps:
                    start = time.perf_counter()
                    peer_call(text())
                    lat.append(time.perf_counter() - start)
        def raw(text, timeout=5.0):
            peer_call(text, timeout)
        steps_of = python_steps
        raw("Login bench secret 2 3")

    def in_threads(count):
        lats = [[] for _ in range(n)]
        ready = threading.Event()

        def body(i):
            ready.wait()
            flow(steps_of(i), count, lats[i])
        threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
        for thread in threads:
            thread.start()
        return threads, ready, lats

    # Memory: n threads wait while the server holds their answers back.
    gc.collect()
    before = rss_kib(os.getpid())
    first = run.tagged()
    raw(f"Gate {n + 1}")
    threads, ready, _ = in_threads(1)
    ready.set()
    while run.tagged() < first + 1 + n:
        time.sleep(0.001)
    # (Each thread has sent its CallMake; flows go on after its answer.)
    during = rss_kib(os.getpid())
    raw("CallHold 0")
    for thread in threads:
        thread.join()
    del threads

    threads, ready, _ = in_threads(warm_cycles)
    ready.set()
    for thread in threads:
        thread.join()
    # With --idle: flows that wait, unanswered, all along.
    first = run.tagged()
    parked = [threading.Thread(target=raw, args=(f"Park {i}", None)) for i in range(idle)]
    for thread in parked:
        thread.start()
    while run.tagged() < first + idle:
        time.sleep(0.001)
    threads, ready, lats = in_threads(cycles)
    wakes = Wakes(run)
    cpu, server, start = time.process_time(), cpu_seconds(server_pid), time.perf_counter()
    ready.set()
    for thread in threads:
        thread.join()
    wall = time.perf_counter() - start
    cpu, server = time.process_time() - cpu, cpu_seconds(server_pid) - server
    woken = wakes.stop()
    if parked:
        raw("Unpark")
        for thread in parked:
            thread.join()
    if run.peer is not None:
        run.peer.close()
    return lats, wall, cpu, server, (during - before) * 1024 / n, woken


class Wakes:
    """With --wakes, counts the tap's wake-ups during the measured flows:
    the futures of asyncio waits it resolves (by a wake, or by handing a
    wait its reply: Loops.hand), and the returns of the drain's wait (a
    thread woken)."""

    enabled = False

    def __init__(self, run):
        self.count = 0
        self.undo = []
        if not self.enabled or run.tap is None:
            return
        from sonvex_replies import _loops
        woke = _loops._wake
        hand = _loops.Loops.hand
        handed = set()   # futures woken by a hand, counted there

        def wake(future):
            if future not in handed:
                self.count += not future.done()   # a wait resumed, not a wake of a woken one
            woke(future)

        def counted_hand(loops, key, waiting, *args):
            future = next(iter(waiting), None)
            done = hand(loops, key, waiting, *args)
            if done:
                handed.add(future)
                self.count += 1
            return done
        _loops._wake = wake
        _loops.Loops.hand = counted_hand
        self.undo.append(lambda: setattr(_loops, "_wake", woke))
        self.undo.append(lambda: setattr(_loops.Loops, "hand", hand))
        tap = run.tap
        drain = tap._drain
        counter = self

        class Counted:
            def __getattr__(self, name):
                return getattr(drain, name)

            def wait(self, *args):
                try:
                    return drain.wait(*args)
                finally:
                    counter.count += 1
        with tap._lock:
            tap._drain = Counted()

        def put_back():
            with tap._lock:
                tap._drain = drain
        self.undo.append(put_back)

    def stop(self):
        for undo in self.undo:
            undo()
        return self.count if self.undo else None


def run_one(way, n, commands, server_pid, port, idle=0, profile=False):
    """One way at one N: its figures as a dict."""
    cycles = max(1, -(-commands // (STEPS * n)))
    warm = max(1, min(cycles, 2000 // (STEPS * n) + 1))
    measure = measure_async if way.endswith("async") else measure_threads
    run = Run(way, port)
    profiler = None
    if profile:
        import cProfile
        profiler = cProfile.Profile()
    if way.startswith("tap"):
        import sonvex_rs
        from sonvex_replies import ReplyTap
        with ReplyTap() as tap:
            run.tap = tap
            run.client = sonvex_rs.client.SonvexClient("127.0.0.1", port, None, "bench", "secret")
            run.client.connect()
            if profiler:
                profiler.enable()
            result = measure(run, n, cycles, warm, server_pid, idle)
            if profiler:
                profiler.disable()
            run.client.disconnect()
            tap.wait_closed(timeout=60)
            assert not tap.replies, tap.replies[:3]
    else:
        if profiler:
            profiler.enable()
        result = measure(run, n, cycles, warm, server_pid, idle)
        if profiler:
            profiler.disable()
    lats, wall, cpu, server, memory, woken = result
    latencies = sorted(t for lat in lats for t in lat)
    done = len(latencies)
    assert done == n * cycles * STEPS, (done, n, cycles)
    if profiler:
        import pstats
        pstats.Stats(profiler, stream=sys.stderr).sort_stats("tottime").print_stats(25)
    return {
        "commands": done,
        "per_second": done / wall,
        "p50_us": latencies[done // 2] * 1e6,
        "p99_us": latencies[min(done - 1, done * 99 // 100)] * 1e6,
        "cpu_ms_per_1000": cpu / done * 1e6,
        "server_us_per_line": server / done * 1e6,
        "server_share": server / wall,
        "memory_per_flow": memory,
        "wakes_per_command": None if woken is None else woken / done,
    }


# ----- the whole run --------------------------------------------------------------

def child(way, n, args, server):
    command = [sys.executable, str(HERE), "--one", way, str(n), "--commands", str(args.commands),
               "--server", f"{server.pid}:{server.port}", "--idle", str(args.idle), "--json"]
    if args.wakes:
        command.append("--wakes")
    out = subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout
    return json.loads(out.decode().strip().splitlines()[-1])


def ceiling(server):
    """The server alone: lines answered per second under a pipelined load
    from this process, and its CPU per line (1 / that: its ceiling on one
    core)."""
    rate, cost = load(server.pid, server.port, 10, 64, 0.3, 1.0)
    return {"lines_per_second": rate, "server_us_per_line": cost * 1e6,
            "ceiling": 1 / cost if cost else None}


def run_here(args):
    check_texts()
    results = {"impl": f"{sys.implementation.name} {sys.version.split()[0]}",
               "load": os.getloadavg()[0], "idle": args.idle, "rows": []}
    with tempfile.TemporaryDirectory() as workdir:
        server = AnswerServer(compile_c_helper(workdir))
        try:
            results["server"] = ceiling(server)
            for mode, counts in (("async", args.async_flows), ("thread", args.thread_flows)):
                for n in counts:
                    rounds = {way: [] for way in WAYS[mode]}
                    for r in range(args.rounds):
                        for way in WAYS[mode] if r % 2 == 0 else WAYS[mode][::-1]:
                            rounds[way].append(child(way, n, args, server))
                    results["rows"].append({"mode": mode, "n": n, "rounds": rounds})
            results["load_after"] = os.getloadavg()[0]
        finally:
            server.stop()
    return results


def median(rounds, key):
    values = [r[key] for r in rounds if r[key] is not None]
    return statistics.median(values) if values else None


def span(values):
    return f"{min(values):.2f}-{max(values):.2f}" if len(values) > 1 else f"{values[0]:.2f}"


def report(name, results):
    server = results["server"]
    print(f"{name} ({results['impl']}), load average {results['load']:.1f} at start, "
          f"{results.get('load_after', 0):.1f} at end"
          + (f"; {results['idle']} more flows wait unanswered all along" if results["idle"] else ""))
    print(f"  server alone (C, 10 connections pipelined): {server['lines_per_second']:,.0f} "
          f"lines/s at {server['server_us_per_line']:.2f} us CPU per line: ceiling "
          f"{server['ceiling'] or 0:,.0f} lines/s per core")
    print(f"  {'way':10} {'N':>6} {'cmd/s':>9} {'p50 us':>8} {'p99 us':>9} "
          f"{'CPU ms/1k':>9} {'KiB/flow':>8} {'srv core':>8}  tap/peer: cmd/s  CPU/cmd"
          + ("  wakes/cmd" if any(r["rounds"][w][0]["wakes_per_command"] is not None
                                  for r in results["rows"] for w in r["rounds"]) else ""))
    cpu_at = {}
    for row in results["rows"]:
        tap_way, peer_way = WAYS[row["mode"]]
        tap_rounds, peer_rounds = row["rounds"][tap_way], row["rounds"][peer_way]
        speed = [t["per_second"] / p["per_second"] for t, p in zip(tap_rounds, peer_rounds)]
        cost = [t["cpu_ms_per_1000"] / p["cpu_ms_per_1000"] for t, p in zip(tap_rounds, peer_rounds)]
        for way in (tap_way, peer_way):
            rounds = row["rounds"][way]
            cpu_at[(way, row["n"])] = median(rounds, "cpu_ms_per_1000")
            wakes = median(rounds, "wakes_per_command")
            line = (f"  {way:10} {row['n']:>6} {median(rounds, 'per_second'):9,.0f} "
                    f"{median(rounds, 'p50_us'):8.0f} {median(rounds, 'p99_us'):9.0f} "
                    f"{median(rounds, 'cpu_ms_per_1000'):9.1f} "
                    f"{median(rounds, 'memory_per_flow') / 1024:8.1f} "
                    f"{max(r['server_share'] for r in rounds):8.0%}")
            if way == tap_way:
                line += f"  {statistics.median(speed):5.2f} ({span(speed)})" \
                        f"  {statistics.median(cost):5.2f} ({span(cost)})"
                if wakes is not None:
                    line += f"  {wakes:.2f}"
            print(line)
    for way, low, high in (("tap-async", 10, 1000), ("py-async", 10, 1000),
                           ("tap-thread", 10, 1000), ("py-thread", 10, 1000)):
        if cpu_at.get((way, low)) and cpu_at.get((way, high)):
            print(f"  {way}: CPU per command at N={high} / N={low}: "
                  f"{cpu_at[(way, high)] / cpu_at[(way, low)]:.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--async-flows", type=int, nargs="*", default=ASYNC_COUNTS, metavar="N")
    parser.add_argument("--thread-flows", type=int, nargs="*", default=THREAD_COUNTS, metavar="N")
    parser.add_argument("--commands", type=int, default=20000,
                        help="commands measured per run, at least 4 per flow (20000)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds (3)")
    parser.add_argument("--quick", action="store_true",
                        help="N = 1 and 10 (async), 1 and 4 (threads), 200 commands, one round")
    parser.add_argument("--idle", type=int, default=0, metavar="K",
                        help="K more flows wait, unanswered, while the N flows run (0)")
    parser.add_argument("--wakes", action="store_true",
                        help="count the tap's wake-ups per command")
    parser.add_argument("--profile", metavar="WAY:N",
                        help="one run of that way under cProfile, the profile on stderr")
    parser.add_argument("--all", action="store_true",
                        help="run under every interpreter of the repository's venvs")
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--one", nargs=2, metavar=("WAY", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--server", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.async_flows, args.thread_flows = [1, 10], [1, 4]
        args.commands, args.rounds = 200, 1
    Wakes.enabled = args.wakes
    if args.one:
        pid, port = map(int, args.server.split(":"))
        result = run_one(args.one[0], int(args.one[1]), args.commands, pid, port, args.idle)
        print(json.dumps(result))
        return
    if args.profile:
        way, n = args.profile.split(":")
        with tempfile.TemporaryDirectory() as workdir:
            server = AnswerServer(compile_c_helper(workdir))
            try:
                result = run_one(way, int(n), args.commands, server.pid, server.port, args.idle,
                                 True)
            finally:
                server.stop()
        print(json.dumps(result))
        return
    options = ["--commands", str(args.commands), "--rounds", str(args.rounds),
               "--async-flows", *map(str, args.async_flows),
               "--thread-flows", *map(str, args.thread_flows), "--idle", str(args.idle)] + (
                   ["--wakes"] * args.wakes)
    if args.all:
        for venv, results in run_in_venvs(HERE, options).items():
            report(venv, results)
        return
    show(run_here(args), args.json, report)


if __name__ == "__main__":
    main()
