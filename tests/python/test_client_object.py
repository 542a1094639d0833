"""SonvexClient construction, print_details, command_tag and class rules."""

import ipaddress
import subprocess
import sys

import pytest

import helpers
from helpers import DEADLINE, IS_PYPY, ROOT, Command, SonvexClient

ADDRESS = "127.0.0.1"


def details(capfd, client):
    """The print_details line, as written to file descriptor 1."""
    capfd.readouterr()
    client.print_details()
    out = capfd.readouterr().out
    # A reader thread left over from another test may print too.
    lines = [l for l in out.splitlines(keepends=True) if l.startswith("SonvexClient(")]
    assert len(lines) == 1, out
    return lines[0]


def line(server=ADDRESS, control=1234, transport=1235, username="user1", password="pwd"):
    return (f"SonvexClient(server: {server}, control_port: {control}, "
            f"transport_channel_port: {transport}, username: {username}, "
            f"password: {password})\n")


def test_print_details_writes_to_descriptor_1_not_sys_stdout():
    code = (
        "import io, sys, sonvex_rs\n"
        "sys.stdout = io.StringIO()\n"
        "c = sonvex_rs.client.SonvexClient('127.0.0.1', None, None, None, None)\n"
        "assert c.print_details() is None\n"
        "assert sys.stdout.getvalue() == ''\n"
        "sonvex_rs.client.SonvexClient('::1', 0, 65535, '', 'p w').print_details()\n"
    )
    result = helpers.run([sys.executable, "-c", code], capture_output=True, cwd=ROOT,
                         timeout=DEADLINE)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (
        b"SonvexClient(server: 127.0.0.1, control_port: 1234, transport_channel_port: 1235, "
        b"username: user1, password: pwd)\n"
        b"SonvexClient(server: ::1, control_port: 0, transport_channel_port: 65535, "
        b"username: , password: p w)\n")


def test_defaults_and_fresh_state(capfd):
    client = SonvexClient(ADDRESS, None, None, None, None)
    assert details(capfd, client) == line()
    assert type(client.command_tag) is int and client.command_tag == 0


KEYWORDS = dict(server="10.1.2.3", control_port=5000, transport_channel_port=5001,
                username="alice", password="secret")


@pytest.mark.parametrize("order", [
    ["server", "control_port", "transport_channel_port", "username", "password"],
    ["password", "username", "transport_channel_port", "control_port", "server"],
    ["username", "server", "password", "control_port", "transport_channel_port"],
])
def test_all_keywords_in_any_order(order, capfd):
    client = SonvexClient(**{k: KEYWORDS[k] for k in order})
    assert details(capfd, client) == line("10.1.2.3", 5000, 5001, "alice", "secret")


@pytest.mark.parametrize("text, shown", [
    ("0.0.0.0", "0.0.0.0"),
    ("255.255.255.255", "255.255.255.255"),
    ("10.0.0.1", "10.0.0.1"),
    ("::", "::"),
    ("::1", "::1"),
    ("0:0:0:0:0:0:0:1", "::1"),
    ("::FFFF:10.0.0.1", "::ffff:10.0.0.1"),
    ("::ffff:a00:1", "::ffff:10.0.0.1"),
    ("2001:DB8::A", "2001:db8::a"),
    ("2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"),
    ("1:0:0:2:0:0:0:3", "1:0:0:2::3"),      # longest zero run
    ("1:0:0:2:0:0:3:4", "1::2:0:0:3:4"),    # first of equal runs
    ("1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"),  # a single zero group stays
    ("1::", "1::"),
    ("0:0:1::", "0:0:1::"),
    ("fe80::1:2", "fe80::1:2"),
    ("1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"),
    ("::1.2.3.4", "::102:304"),
])
def test_accepted_addresses_print_canonically(text, shown, capfd):
    assert details(capfd, SonvexClient(text, None, None, None, None)) == line(shown)
    if ":" in text and not shown.startswith("::ffff:"):
        assert shown == ipaddress.IPv6Address(text).compressed


@pytest.mark.parametrize("text", [
    "localhost", "example.com", "10.0.0.256", "10.00.0.1", "010.0.0.1", "10.0.0", "1.2.3.4.5",
    "1.2.3.", "0x1.2.3.4", "\uff11.2.3.4", "[::1]", "fe80::1%eth0", " 10.0.0.1", "10.0.0.1 ",
    "10.0.0.1\n", "", "1.2.3.4:80", ":::", "1::2::3", "12345::", "1:2:3:4:5:6:7:8:9",
    "1:2:3:4:5:6:7", ":1::", "1:", "::1.2.3", "::1.2.3.4:5", "1:2:3:4:5:6:7:1.2.3.4", "g::1",
])
def test_rejected_addresses(text):
    with pytest.raises(ValueError) as info:
        SonvexClient(text, None, None, None, None)
    assert type(info.value) is ValueError
    assert str(info.value) == "Invalid IP address: " + text


@pytest.mark.parametrize("control, transport", [(0, 65535), (65535, 0), (True, None)])
def test_port_bounds_accepted(control, transport, capfd):
    client = SonvexClient(ADDRESS, control, transport, None, None)
    shown = 1235 if transport is None else transport
    assert details(capfd, client) == line(control=int(control), transport=shown)


@pytest.mark.parametrize("username, password, shown_user, shown_password", [
    ("", "", "", ""),
    (" a b ", "\u00fc\u00df", " a b ", "\u00fc\u00df"),
    (None, "x", "user1", "x"),
    ("x", None, "x", "pwd"),
])
def test_credentials_stored_as_given(username, password, shown_user, shown_password, capfd):
    client = SonvexClient(ADDRESS, None, None, username, password)
    assert details(capfd, client) == line(username=shown_user, password=shown_password)


@pytest.mark.parametrize("args, exc, message", [
    ((ADDRESS, 65536, None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    ((ADDRESS, -1, None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    ((ADDRESS, "1234", None, None, None), TypeError, "argument 'control_port': "),
    ((ADDRESS, None, 1.5, None, None), TypeError, "argument 'transport_channel_port': "),
    ((None, None, None, None, None), TypeError,
     "argument 'server': 'NoneType' object cannot be converted to 'PyString'"),
    ((b"127.0.0.1", None, None, None, None), TypeError,
     "argument 'server': 'bytes' object cannot be converted to 'PyString'"),
    ((ADDRESS, None, None, 1, None), TypeError,
     "argument 'username': 'int' object cannot be converted to 'PyString'"),
    ((ADDRESS, None, None, None, "\ud800"), UnicodeEncodeError, None),
    ((ADDRESS, None, None, "a\nb", None), ValueError, "Line break in text argument: username"),
    ((ADDRESS, None, None, "ab\r", None), ValueError, "Line break in text argument: username"),
    ((ADDRESS, None, None, None, "\n"), ValueError, "Line break in text argument: password"),
    # Conversion runs in parameter order and before the address is parsed.
    ((ADDRESS, 70000, None, "a\nb", None), OverflowError,
     "out of range integral type conversion attempted"),
    ((ADDRESS, None, "x", "a\nb", None), TypeError, "argument 'transport_channel_port': "),
    ((ADDRESS, None, None, "a\nb", "p\n"), ValueError, "Line break in text argument: username"),
    (("bad", 70000, None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    (("bad", None, None, None, "p\r"), ValueError, "Line break in text argument: password"),
])
def test_construction_errors(args, exc, message):
    with pytest.raises(exc) as info:
        SonvexClient(*args)
    assert type(info.value) is exc
    if message is None:
        assert not str(info.value).startswith("argument '")
    elif message.endswith(": "):
        assert str(info.value).startswith(message)
    else:
        assert str(info.value) == message


@pytest.mark.parametrize("action", [
    lambda c: setattr(c, "command_tag", 5),
    lambda c: delattr(c, "command_tag"),
    lambda c: setattr(c, "foo", 1),
    lambda c: setattr(c, "username", "x"),
])
def test_instances_refuse_attribute_changes(action):
    client = SonvexClient(ADDRESS, None, None, None, None)
    with pytest.raises(AttributeError):
        action(client)
    assert client.command_tag == 0
    assert not hasattr(client, "foo")


def test_plain_class_behaviour():
    a = SonvexClient(ADDRESS, None, None, None, None)
    b = SonvexClient(ADDRESS, None, None, None, None)
    assert a == a and a != b and hash(a) != hash(b)
    assert SonvexClient.__name__ == SonvexClient.__qualname__ == "SonvexClient"
    assert SonvexClient.__text_signature__ == (
        "(server, control_port, transport_channel_port, username, password)")
    with pytest.raises(TypeError):
        a.print_details(1)


def variant_and_payload_classes():
    command = Command.call_hold(1)
    return [type(command), type(command._0)]


@pytest.mark.parametrize("base", [SonvexClient] + variant_and_payload_classes(),
                         ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(base):
    with pytest.raises(TypeError):
        type("Derived", (base,), {})


@pytest.mark.skipif(IS_PYPY, reason="method text signatures are shown by CPython only")
@pytest.mark.parametrize("obj, signature", [
    (SonvexClient.send_raw_command, "($self, message)"),
    (SonvexClient.send_command, "($self, command)"),
    (SonvexClient.print_details, "($self)"),
    (SonvexClient.connect, "($self)"),
    (SonvexClient.resource_delete, "($self, resource_id)"),
    (SonvexClient.call_make, "($self, resource_id, address, timeout, caller_number, "
                             "caller_name, privacy, screen)"),
])
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature
    assert not obj.__doc__  # the docstring holds only the signature

