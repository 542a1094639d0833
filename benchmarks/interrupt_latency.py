#!/usr/bin/env python3
"""How long a send blocked on a server that does not read takes to end after
a signal whose handler raises (SIGINT, and SIGTERM with a raising handler),
and how long SIGINT takes to end a print_details that waits for the output
lock.

The server's receive buffer is 4 KiB and it never reads; the client, in a
child process, sends a 64 MiB line. Once the child waits in sendto, the
signal is sent; the time is measured until the child reports the exception
and until the server sees the end of the stream (after the part of the line
it got).

For the print, the server sends lines that the reader prints into a pipe
nobody reads, so that it waits for room holding the output lock; once the
child's print_details waits for that lock (in futex), SIGINT is sent and the
time is measured until the child reports KeyboardInterrupt.

    python benchmarks/interrupt_latency.py [--runs 20]
"""

import argparse
import os
import signal
import socket
import statistics
import subprocess
import sys
import time

CHILD = r"""
import os, signal, sys
import sonvex_rs
class Stop(Exception):
    pass
def stop(*_):
    raise Stop()
signal.signal(signal.SIGTERM, stop)
c = sonvex_rs.client.SonvexClient("127.0.0.1", int(sys.argv[1]), None, None, None)
c.connect()
os.write(2, b"sending\n")
try:
    c.send_raw_command("x" * (64 << 20))
except BaseException as e:
    os.write(2, type(e).__name__.encode() + b"\n")
"""


PRINTER = r"""
import os, sys
import sonvex_rs
c = sonvex_rs.client.SonvexClient("127.0.0.1", int(sys.argv[1]), None, None, None)
c.connect()
sys.stdin.readline()
os.write(2, b"printing\n")
try:
    c.print_details()
except BaseException as e:
    os.write(2, type(e).__name__.encode() + b"\n")
os._exit(0)
"""


def blocked_in(task, number):
    try:
        with open("/proc/%s/syscall" % task) as f:
            return f.read().startswith("%d " % number)
    except OSError:
        return False


def blocked_in_sendto(pid):
    return blocked_in(pid, 44)


def one_run(sig):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(listener.getsockname()[1])],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    conn, _ = listener.accept()
    try:
        assert proc.stderr.readline() == b"sending\n"
        while not blocked_in_sendto(proc.pid):
            time.sleep(0.001)
        start = time.monotonic()
        os.kill(proc.pid, sig)
        said = proc.stderr.readline()
        raised = time.monotonic() - start
        conn.settimeout(30)
        while conn.recv(1 << 20):
            pass
        ended = time.monotonic() - start
        assert proc.wait(30) == 0
        return said.strip().decode(), raised, ended
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stderr.close()
        conn.close()
        listener.close()


def one_print_run():
    listener = socket.create_server(("127.0.0.1", 0))
    r, w = os.pipe()
    proc = subprocess.Popen([sys.executable, "-c", PRINTER, str(listener.getsockname()[1])],
                            stdin=subprocess.PIPE, stdout=w, stderr=subprocess.PIPE)
    os.close(w)
    conn, _ = listener.accept()
    try:
        conn.setblocking(False)
        block = b"a line the reader prints into a pipe nobody reads\n" * 4096
        while not any(blocked_in("%d/task/%s" % (proc.pid, t), 1)
                      for t in os.listdir("/proc/%d/task" % proc.pid)):
            try:
                conn.send(block)
            except BlockingIOError:
                time.sleep(0.001)
        proc.stdin.write(b"print\n")
        proc.stdin.flush()
        assert proc.stderr.readline() == b"printing\n"
        while not blocked_in(proc.pid, 202):
            time.sleep(0.001)
        start = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        said = proc.stderr.readline()
        raised = time.monotonic() - start
        assert proc.wait(30) == 0
        return said.strip().decode(), raised
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdin.close()
        proc.stderr.close()
        os.close(r)
        conn.close()
        listener.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=20)
    runs = parser.parse_args().runs
    for name in ("SIGINT", "SIGTERM"):
        results = [one_run(getattr(signal, name)) for _ in range(runs)]
        raised = [r[1] * 1000 for r in results]
        ended = [r[2] * 1000 for r in results]
        print("%s (%s): exception after median %.1f ms, max %.1f ms; server saw the end after "
              "median %.1f ms, max %.1f ms" % (name, results[0][0], statistics.median(raised),
                                              max(raised), statistics.median(ended), max(ended)))
    results = [one_print_run() for _ in range(runs)]
    raised = [r[1] * 1000 for r in results]
    print("SIGINT during print_details waiting for the output lock (%s): exception after median "
          "%.1f ms, max %.1f ms" % (results[0][0], statistics.median(raised), max(raised)))


if __name__ == "__main__":
    main()
