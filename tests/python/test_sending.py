"""The sending path: framing of command lines, command tags and send errors."""

import re

import pytest

from helpers import Command, FakeMediaServer, Session, new_client


@pytest.fixture
def server():
    # A server that does not answer: what the client sent is all that matters
    # here, lines of several MiB too.
    with FakeMediaServer(reply=False, max_line=64 << 20) as s:
        yield s


def test_first_sends_and_tags(session):
    c = session.client
    assert c.send_raw_command("GetVersion") == 0
    assert session.conn.wait_for_bytes(24) == b"GetVersion COMMANDTAG=0\n"
    assert c.send_raw_command("GetVersion") == 1
    assert c.command_tag == 2
    assert session.conn.wait_for_bytes(48) == b"GetVersion COMMANDTAG=0\nGetVersion COMMANDTAG=1\n"


@pytest.mark.parametrize("message, wire", [
    ("", b" COMMANDTAG=0\n"),
    ("GetVersion\n", b"GetVersion\n COMMANDTAG=0\n"),
    ("a\r\nb\n", b"a\r\nb\n COMMANDTAG=0\n"),
    (" padded\t ", b" padded\t  COMMANDTAG=0\n"),
    ("Gr\u00fc\u00dfe \u20ac \U0001f600", "Gr\u00fc\u00dfe \u20ac \U0001f600 COMMANDTAG=0\n".encode()),
    ("a\x00b", b"a\x00b COMMANDTAG=0\n"),
    ("x" * 3000000, b"x" * 3000000 + b" COMMANDTAG=0\n"),
], ids=["empty", "ends-in-lf", "crlf-inside", "spaces", "non-ascii", "nul", "3mb"])
def test_raw_message_written_unchanged(session, message, wire):
    assert session.client.send_raw_command(message) == 0
    assert session.conn.wait_for_bytes(len(wire)) == wire
    assert session.client.command_tag == 1


def test_lone_surrogate_sends_nothing(session):
    with pytest.raises(UnicodeEncodeError):
        session.client.send_raw_command("a\ud800b")
    assert session.client.command_tag == 0
    assert session.client.send_raw_command("ok") == 0
    assert session.conn.wait_for_bytes(16) == b"ok COMMANDTAG=0\n"


@pytest.mark.parametrize("make", [
    lambda: Command.call_hold(5),
    lambda: Command.call_make(7, "200", None, "100", None, None, None),
    lambda: Command.login("u", "p", 4, 5, 6),
    lambda: Command.resource_create_frontend(None, None, None, True),
], ids=["call_hold", "call_make", "login", "frontend"])
def test_send_command_writes_its_str(session, make):
    session.client.send_raw_command("first")
    cmd = make()
    assert session.client.send_command(cmd) == 1
    assert session.client.command_tag == 2
    assert session.lines(2)[1] == str(cmd) + " COMMANDTAG=1"


def test_send_command_known_line(session):
    assert session.client.send_command(Command.call_hold(5)) == 0
    assert session.conn.wait_for_bytes(22) == b"CallHold 5 COMMANDTAG=0\n"


ARG_ERRORS = [
    ("send_raw_command", b"GetVersion",
     "argument 'message': 'bytes' object cannot be converted to 'PyString'"),
    ("send_raw_command", None, "argument 'message': 'NoneType' object cannot be converted to 'PyString'"),
    ("send_command", 5, "argument 'command': 'int' object cannot be converted to 'Command'"),
    ("send_command", "CallHold 5",
     "argument 'command': 'str' object cannot be converted to 'Command'"),
]


@pytest.mark.parametrize("connected", [True, False])
@pytest.mark.parametrize("method, arg, message", ARG_ERRORS)
def test_argument_error_precedes_connection_check(server, connected, method, arg, message):
    c = new_client(server.port)
    if connected:
        c.connect()
    with pytest.raises(TypeError) as info:
        getattr(c, method)(arg)
    assert str(info.value) == message
    assert c.command_tag == 0


SENDS = [lambda c: c.send_raw_command("Ping"), lambda c: c.send_command(Command.call_hold(1)),
         lambda c: c.play_stop(1), lambda c: c.get_version()]
SEND_IDS = ["send_raw_command", "send_command", "play_stop", "get_version"]


@pytest.mark.parametrize("send", SENDS, ids=SEND_IDS)
def test_tag_kept_while_disconnected(server, send):
    c = new_client(server.port)
    for rnd in range(2):
        with pytest.raises(RuntimeError) as info:
            send(c)
        assert type(info.value) is RuntimeError
        assert str(info.value) == "No active connection to send message"
        assert c.command_tag == rnd * 2
        c.connect()
        send(c)
        send(c)
        assert c.command_tag == rnd * 2 + 2
        c.disconnect()
    conns = server.wait_for_connections(2)
    tags = [int(line.rsplit(b"=", 1)[1]) for conn in conns for line in conn.wait_for_lines(2)]
    assert tags == [0, 1, 2, 3]


def test_tag_continues_after_reconnect_without_disconnect(server):
    c = new_client(server.port)
    c.connect()
    assert c.send_raw_command("A") == 0
    c.connect()
    assert c.send_raw_command("B") == 1
    first, second = server.wait_for_connections(2)
    assert first.wait_for_lines(1) == [b"A COMMANDTAG=0"]
    assert second.wait_for_lines(1) == [b"B COMMANDTAG=1"]


def test_failed_write_after_reset(server):
    s = Session(server)
    c = s.client
    assert c.send_raw_command("Before") == 0
    s.conn.wait_for_lines(1)
    s.conn.reset()
    error = None
    for _ in range(200):                    # the first send after a reset may still succeed
        tag = c.command_tag
        try:
            c.send_raw_command("After")
        except OSError as exc:
            error = exc
            break
    assert error is not None
    assert type(error) is OSError
    assert re.match(r"Failed to send message: .+ \(os error (32|104)\)$", str(error)), str(error)
    assert error.errno == int(str(error).rsplit(" ", 1)[1].rstrip(")"))
    assert c.command_tag == tag
    with pytest.raises(OSError, match="^Failed to send message: "):
        c.send_command(Command.call_hold(1))   # the connection stays in place, still broken
    assert c.command_tag == tag
    c.disconnect()
    c.connect()
    conn = server.wait_for_connections(2)[1]
    assert c.send_raw_command("Again") == tag
    assert conn.wait_for_lines(1) == [b"Again COMMANDTAG=%d" % tag]
