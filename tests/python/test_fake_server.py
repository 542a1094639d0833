import inspect
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import threading

import pytest

import helpers
from helpers import DEADLINE
from sonvex_fake_server import FakeMediaServer, reply_for_line

SCRIPT = ["-m", "sonvex_fake_server"]


def _ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def connect(server):
    return socket.create_connection(server.address, timeout=DEADLINE)


def expect(sock, wanted):
    data = b""
    while len(data) < len(wanted):
        chunk = sock.recv(len(wanted) - len(data))
        assert chunk, "connection ended after %r" % data
        data += chunk
    assert data == wanted


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("host", ["127.0.0.1", pytest.param(
    "::1", marks=pytest.mark.skipif(not _ipv6_loopback(), reason="no IPv6 loopback"))])
@pytest.mark.parametrize("segments, replies", [
    ([b"CallHold 4 COMMANDTAG=7\nLogin user1 pw COMMANDTAG=0\n"],
     b"CallHold OK COMMANDTAG=7\r\nLogin OK COMMANDTAG=0\r\n"),
    ([b"CallMake 7 200 Time", b"Out=30000 COMMAND", b"TAG=12\nPing COMMANDTAG=1", b"3\n"],
     b"CallMake OK COMMANDTAG=12\r\nPing OK COMMANDTAG=13\r\n"),
    # no tag, empty line, CRLF from the client, malformed or embedded tags,
    # a tag-like text in a parameter followed by the real tag
    ([b"Ping\n\nPing COMMANDTAG=3\r\nA COMMANDTAG=x\nB XCOMMANDTAG=5\n"
      b"PlayFile 1 COMMANDTAG=9.wav COMMANDTAG=10\n"],
     b"Ping OK\r\n OK\r\nPing OK COMMANDTAG=3\r\nA OK\r\nB OK\r\nPlayFile OK COMMANDTAG=10\r\n"),
])
def test_replies_and_recording(host, segments, replies):
    with FakeMediaServer(host) as server, connect(server) as client:
        conn = server.wait_for_connections(1)[0]
        sent = b""
        for segment in segments:          # each segment is a separate recv
            client.sendall(segment)
            sent += segment
            conn.wait_for_bytes(len(sent))
        expect(client, replies)
        assert conn.received == sent
        assert conn.lines() == sent.split(b"\n")[:-1]


def test_silent_then_reply_switched_on_and_greeting():
    with FakeMediaServer(reply=False, greeting=b"HELLO\r\n") as server, connect(server) as client:
        expect(client, b"HELLO\r\n")
        conn = server.wait_for_connections(1)[0]
        client.sendall(b"A COMMANDTAG=0\n")
        conn.wait_for_lines(1)
        client.settimeout(0.2)
        with pytest.raises(socket.timeout):
            client.recv(100)
        server.reply = True
        client.sendall(b"B COMMANDTAG=1\n")
        client.settimeout(5)
        expect(client, b"B OK COMMANDTAG=1\r\n")


def _received_to_end(sock):
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


# A reply function, and what the server answers to the lines "A x COMMANDTAG=0"
# and "B y" with it.
REPLY_FUNCTIONS = {
    "one line each": (lambda line: line.split()[0] + b" Done", b"A Done\r\nB Done\r\n"),
    "several lines, their line ends replaced": (
        lambda line: [line[:1], bytearray(b"Event " + line[:1] + b"\r\n")],
        b"A\r\nEvent A\r\nB\r\nEvent B\r\n"),
    "no answer to one": (lambda line: None if line.startswith(b"A") else b"",
                         b"\r\n"),
    "the default answer": (reply_for_line, b"A OK COMMANDTAG=0\r\nB OK\r\n"),
}


@pytest.mark.parametrize("case", list(REPLY_FUNCTIONS))
def test_reply_function_plays_a_flow(case):
    function, answers = REPLY_FUNCTIONS[case]
    seen = []

    def reply(line):
        seen.append(line)
        return function(line)

    with FakeMediaServer(reply=reply) as server, connect(server) as client:
        client.sendall(b"A x COMMANDTAG=0\nB y\n")
        conn = server.wait_for_connections(1)[0]
        expect(client, answers)
        conn.close()
        assert _received_to_end(client) == b""
    assert seen == [b"A x COMMANDTAG=0", b"B y"]


@pytest.mark.parametrize("close_on_eof", [True, False])
def test_client_half_close(close_on_eof):
    with FakeMediaServer(close_on_eof=close_on_eof) as server, connect(server) as client:
        client.sendall(b"Logout COMMANDTAG=4\n")
        client.shutdown(socket.SHUT_WR)
        conn = server.wait_for_connections(1)[0]
        assert conn.wait_for_eof()
        # the reply to the last line still arrives before the server closes
        expect(client, b"Logout OK COMMANDTAG=4\r\n")
        if close_on_eof:
            assert client.recv(100) == b""
            assert conn.wait_closed()
        else:
            conn.send(b"late\n")
            expect(client, b"late\n")
            conn.close()
            assert client.recv(100) == b"" and conn.closed
            with pytest.raises(ConnectionError):
                conn.send(b"x")


def test_reset_gives_connection_reset():
    with FakeMediaServer() as server, connect(server) as client:
        conn = server.wait_for_connections(1)[0]
        conn.reset()
        with pytest.raises(ConnectionResetError):
            client.recv(100)


def test_stop_reading_backs_up_client_then_resume_lets_it_through():
    block = b"F " * 32768        # one long line whose command word is "F"
    with FakeMediaServer(max_line=1 << 30) as server, connect(server) as client:
        conn = server.wait_for_connections(1)[0]
        conn.stop_reading()
        client.setblocking(False)
        sent = 0
        for _ in range(10000):
            try:
                sent += client.send(block)
            except BlockingIOError:
                break
        else:
            pytest.fail("client send buffer never filled")
        assert conn.byte_count == 0       # not a single recv after stop_reading
        conn.resume_reading()
        client.setblocking(True)
        client.sendall(b"\nEnd COMMANDTAG=1\n")
        assert conn.wait_for_lines(2)[1] == b"End COMMANDTAG=1"
        assert conn.byte_count == sent + 18
        expect(client, b"F OK\r\nEnd OK COMMANDTAG=1\r\n")


def test_many_lines_in_flight():
    count = 100000
    payload = b"".join(b"CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1 COMMANDTAG=%d\n" % i
                       for i in range(count))
    expected = b"".join(b"CallMake OK COMMANDTAG=%d\r\n" % i for i in range(count))
    with FakeMediaServer() as server, connect(server) as client:
        writer = threading.Thread(target=client.sendall, args=(payload,))
        writer.start()
        expect(client, expected)
        writer.join()
        conn = server.connections[0]
        assert conn.line_count == count and conn.received == payload


def test_no_threads_or_descriptors_left():
    threads, fds = threading.active_count(), open_fds()
    server = FakeMediaServer().start()
    for _ in range(300):                  # short connect/disconnect cycles
        connect(server).close()
    server.wait_for_connections(300)
    for conn in server.connections:
        conn.close()                      # ended already; joins its thread
    assert threading.active_count() == threads + 1    # the server's thread
    assert open_fds() == fds + 4                      # listener, poller, wake pipe
    # connections still open at stop(): idle, paused, and one owing replies
    clients = [connect(server) for _ in range(3)]
    conns = server.wait_for_connections(303)[300:]
    conns[1].stop_reading()
    clients[2].sendall(b"Ping COMMANDTAG=1\n" * 200000)
    conns[2].wait_for_bytes(18 * 200000)
    server.stop()
    server.stop()
    assert threading.active_count() == threads
    for client in clients:
        with client:
            client.settimeout(DEADLINE)
            while client.recv(65536):
                pass
    assert open_fds() == fds
    with pytest.raises(TimeoutError):
        conns[0].wait_for_lines(1, timeout=0.05)
    with pytest.raises(TimeoutError):
        server.wait_for_connections(304, timeout=0.05)


@pytest.mark.parametrize("how", ["stdin", signal.SIGTERM, signal.SIGINT])
def test_command_line(how):
    """Without --stop-at-eof the server outlives the end of its standard
    input (as `python -m sonvex_fake_server &` in a script) and stops at a
    signal; with it, it also stops at end of input."""
    options = ["--stop-at-eof"] if how == "stdin" else []
    proc = helpers.Child([sys.executable, *SCRIPT, "--port", "0", *options],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        words = proc.stdout.readline().split()
        assert words[:3] == [b"listening", b"on", b"127.0.0.1"] and len(words) == 4
        if how != "stdin":
            proc.stdin.close()
        with socket.create_connection(("127.0.0.1", int(words[3])), timeout=DEADLINE) as client:
            client.sendall(b"CallHold 4 COMMANDTAG=7\n")
            expect(client, b"CallHold OK COMMANDTAG=7\r\n")
            if how == "stdin":
                proc.stdin.close()
            else:
                proc.send_signal(how)
            assert proc.wait(timeout=DEADLINE) == 0
            assert client.recv(100) == b""
        assert proc.stdout.read() == b""
        assert proc.stderr.read() == b"server got: CallHold 4 COMMANDTAG=7\n"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            stream.close()


def test_help_says_what_each_option_does_and_its_default():
    """--help gives every option of its usage line a meaning and a default,
    and the defaults it shows for the address are the server's own."""
    out = subprocess.run([sys.executable, *SCRIPT, "--help"], capture_output=True, text=True,
                         timeout=DEADLINE, check=True, env={**os.environ, "COLUMNS": "80"}).stdout
    usage, _, rest = out.partition("\n\n")
    listed = re.findall(r"\[(--[\w-]+)", usage)
    # An option's entry: its name at the start of a line, then its help
    # text, which may start on the next line and wrap, up to the next entry.
    entries = {name: " ".join(text.split()) for name, text in
               re.findall(r"^  (--[\w-]+)(?: [A-Z.]+)?\s+(.*?)(?=^  -|\Z)", rest, re.M | re.S)}
    assert sorted(entries) == sorted(listed) and len(listed) >= 6
    for name, text in entries.items():
        assert re.fullmatch(r"\w.* \(default: [^()]+\)", text), (name, text)
    defaults = inspect.signature(FakeMediaServer).parameters
    assert f"(default: {defaults['host'].default})" in entries["--host"]
    assert f"(default: {defaults['port'].default})" in entries["--port"]


def _gen(line):
    yield line


# A reply function that fails on the line "B y" (after answering "A x").
FAILING = {
    "raises": lambda line: 1 / 0 if line.startswith(b"B") else line,
    "returns an int": lambda line: 7 if line.startswith(b"B") else line,
    "returns a str": lambda line: "B" if line.startswith(b"B") else line,
    "returns a generator": lambda line: _gen(line) if line.startswith(b"B") else line,
    "returns a mixed list": lambda line: [line, "x"] if line.startswith(b"B") else line,
    "raises ConnectionResetError": lambda line: (_ for _ in ()).throw(ConnectionResetError())
    if line.startswith(b"B") else line,
    "raises SystemExit": lambda line: sys.exit(3) if line.startswith(b"B") else line,
}


@pytest.mark.parametrize("case", list(FAILING))
def test_a_failing_reply_function_ends_its_connection_and_keeps_the_record(case, capfd):
    with FakeMediaServer(reply=FAILING[case]) as server, connect(server) as client:
        client.sendall(b"A x\nB y\nC z\n")
        conn = server.wait_for_connections(1)[0]
        assert _received_to_end(client) == b"A x\r\n"   # the answer before, then the end
        assert conn.wait_closed()
        assert conn.lines() == [b"A x", b"B y", b"C z"]
        with connect(server) as second:   # the server itself serves on
            second.sendall(b"A w\n")
            expect(second, b"A w\r\n")
    err = capfd.readouterr().err
    assert "connection 0: the reply function or on_line callback failed" in err
    assert "Traceback" in err


def test_a_client_gone_while_its_answers_go_out_is_no_fault_of_the_flow(capfd):
    clients = []

    def on_line(conn, line):   # the client resets before the answer is written
        clients[0].setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        clients[0].close()

    with FakeMediaServer(on_line=on_line) as server:
        clients.append(connect(server))
        clients[0].sendall(b"A 1\n")
        conn = server.wait_for_connections(1)[0]
        assert conn.wait_closed() and conn.lines() == [b"A 1"]
    assert capfd.readouterr().err == ""


def test_a_client_that_never_reads_is_closed_once_its_answers_pass_the_bound(capfd):
    with FakeMediaServer(max_queued=100_000) as server, connect(server) as client:
        conn = server.wait_for_connections(1)[0]
        client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        try:
            while True:   # until the server closes; the client never reads
                client.sendall(b"CallHold 4 COMMANDTAG=1234567\n" * 1000)
        except OSError:
            pass
        assert conn.wait_closed()
    assert "connection 0: the client does not read" in capfd.readouterr().err


@pytest.mark.parametrize("wait, what", [
    (lambda server, conn: server.wait_for_connections(2, 0.05), "waited for 2 connections, got 1"),
    (lambda server, conn: conn.wait_for_lines(2, 0.05), "waited for 2 lines from connection 0"),
    (lambda server, conn: conn.wait_for_bytes(99, 0.05), "waited for 99 bytes from connection 0"),
    (lambda server, conn: conn.wait_for_eof(0.05), "end of connection 0's input"),
    (lambda server, conn: conn.wait_closed(0.05), "connection 0 to close"),
])
def test_every_wait_that_runs_out_of_time_says_what_it_waited_for(wait, what):
    with FakeMediaServer(record=False) as server, connect(server) as client:
        client.sendall(b"Ping 1\n")
        conn = server.wait_for_connections(1)[0]
        assert conn.wait_for_lines(1) == [] and conn.line_count == 1   # not recorded
        with pytest.raises(TimeoutError, match=what + ".*timed out after 0.05 s"):
            wait(server, conn)


FLOW = b'''
def reply(line):
    return [b"Flow " + line.split()[0], b"Event 1 Done"]
'''


@pytest.mark.parametrize("flow, status, reason", [
    (FLOW, None, None),
    (b"x = 1\n", 2, b"defines no function reply(line)"),
    (b"1 / 0\n", 2, b"ZeroDivisionError"),
    (b"def reply(line):\n    return line\nraise RuntimeError('no media')\n", 2,
     b"RuntimeError: no media"),
    (b"import sys\nsys.exit(0)\n", 2, b"sys.exit(0) while loading"),
    (b"import sys\nsys.exit(3)\n", 2, b"sys.exit(3) while loading"),
    (b"def reply(line)\n    return line\n", 2, b"SyntaxError"),
])
def test_command_line_plays_a_flow_file(tmp_path, flow, status, reason):
    path = tmp_path / "flow.py"
    path.write_bytes(flow)
    proc = helpers.Child([sys.executable, *SCRIPT, "--quiet", "--flow", str(path)],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with proc:
        if status is not None:
            assert proc.wait(timeout=DEADLINE) == status
            err = proc.stderr.read()
            assert b"fake media server: " in err and reason in err
            assert proc.stdout.read() == b""   # never listened
            return
        port = int(proc.stdout.readline().split()[3])
        with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as client:
            client.sendall(b"CallHold 4 COMMANDTAG=7\n")
            expect(client, b"Flow CallHold\r\nEvent 1 Done\r\n")
        proc.terminate()
        assert proc.wait(timeout=DEADLINE) == 0


@pytest.mark.parametrize("chunks, lines", [
    # a line that never ends, in pieces: bounded before it is complete
    ([b"A 1\n", b"x" * 600, b"x" * 600], [b"A 1"]),
    # a complete line past the bound after good lines, all in one piece
    ([b"A 1\nB 2\n" + b"y" * 1001 + b"\nC 3\n"], [b"A 1", b"B 2"]),
    # a line that ends only after the bound
    ([b"A 1\n" + b"z" * 900, b"z" * 200 + b"\nC 3\n"], [b"A 1"]),
])
def test_a_line_longer_than_max_line_ends_its_connection(chunks, lines, capfd):
    with FakeMediaServer(max_line=1000) as server, connect(server) as client:
        conn = server.wait_for_connections(1)[0]
        for chunk in chunks:
            client.sendall(chunk)
            conn.wait_for_bytes(len(chunk))     # each chunk its own recv()
        # the lines before it are answered and stay recorded, then the end
        assert _received_to_end(client) == b"".join(line[:1] + b" OK\r\n" for line in lines)
        assert conn.wait_closed() and conn.lines() == lines
        with connect(server) as second:          # a line of the bound is fine
            second.sendall(b"D" * 1000 + b"\n")
            expect(second, b"D" * 1000 + b" OK\r\n")
    assert "connection 0: a line longer than 1000 bytes (max_line)" in capfd.readouterr().err


def test_memory_stays_bounded_under_a_line_without_end():
    """The server keeps at most about max_line bytes of a line that never
    ends: it stops recording and closes the connection."""
    with FakeMediaServer(max_line=100_000) as server, connect(server) as client:
        try:
            for _ in range(1000):                # 64 MiB unless closed first
                client.sendall(b"x" * 65536)
        except OSError:
            pass
        conn = server.wait_for_connections(1)[0]
        assert conn.wait_closed()
        assert conn.byte_count <= 100_000 + 65536 and len(conn.received) == conn.byte_count


def test_one_descriptor_per_connection_and_a_new_client_once_one_ends():
    """Under a descriptor limit of 64 the server in a process of its own
    serves as many clients as it has descriptors left once it listens (one
    each); the next one is served as soon as one of them ends."""
    limit = 64
    start = ("import resource, runpy; resource.setrlimit(resource.RLIMIT_NOFILE, (%d, "
             "resource.getrlimit(resource.RLIMIT_NOFILE)[1])); "
             "runpy.run_module('sonvex_fake_server', run_name='__main__')" % limit)
    proc = subprocess.Popen([sys.executable, "-c", start, "--quiet"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    clients = []
    try:
        port = int(proc.stdout.readline().split()[3])
        free = limit - len(os.listdir("/proc/%d/fd" % proc.pid))
        assert free > limit * 3 // 4
        for i in range(free + 1):
            clients.append(socket.create_connection(("127.0.0.1", port), timeout=DEADLINE))
            clients[i].sendall(b"Ping COMMANDTAG=%d\n" % i)
        for i in range(free):
            expect(clients[i], b"Ping OK COMMANDTAG=%d\r\n" % i)
        clients.pop(0).close()
        expect(clients[-1], b"Ping OK COMMANDTAG=%d\r\n" % free)
        proc.terminate()
        assert proc.wait(timeout=DEADLINE) == 0
        assert b"cannot accept connections: [Errno 24]" in proc.stderr.read()
    finally:
        for client in clients:
            client.close()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()
