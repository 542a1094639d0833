"""Random arguments to every callable of the module: only the documented
exception classes come out, a failed call has no effect (nothing sent, the
command tag unchanged), and no command line holds a line break before its end.

Short by default; pytest --long runs at least 100,000 cases."""


import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from command_table import PARAMS
from helpers import Command, Index, NumpyBool, SonvexClient, long_mode
from oracle import METHOD_OF

LONG = long_mode()
# A factory and a method per command and the other callables: the long mode
# passes about 100,000 cases in all.
EXAMPLES = 900 if LONG else 15
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=list(HealthCheck))


CASES = [0]  # examples run in this module; the session's summary reports it


class FuzzError(Exception):
    """Raised by the test's own __index__/__bool__ objects."""


class MyInt(int):
    pass


class MyStr(str):
    pass


ints = st.one_of(st.integers(-2 ** 70, 2 ** 70), st.integers(-2, 70000),
                 st.sampled_from([0, 255, 256, 65535, 65536, 2 ** 32 - 1, 2 ** 32, -2 ** 63, 2 ** 63 - 1,
                                  2 ** 63, 2 ** 64 - 1, 2 ** 64, -32768, -32769, 32767, 32768]))
texts = st.text(st.characters(blacklist_categories=()), max_size=20)  # surrogates included
line_texts = st.builds(lambda a, b, sep: a + sep + b, texts, texts, st.sampled_from(["\r", "\n", "\r\n"]))
values = st.one_of(
    st.none(), ints, st.booleans(), st.floats(allow_nan=True), texts, line_texts,
    ints.map(MyInt), texts.map(MyStr), st.binary(max_size=8),
    ints.map(Index), st.just(Index(FuzzError("index"))), st.just(Index(2 ** 100)),
    st.just(Index(TypeError("index"))), st.booleans().map(NumpyBool),
    st.just(NumpyBool(1)), st.builds(object), st.just(Command.quit()),
    st.just(Command.call_hold(1)._0),
)
EXPECTED = (TypeError, ValueError, OverflowError, FuzzError)


@st.composite
def argument_lists(draw, names):
    """Mostly well-formed calls, some with too few or too many arguments,
    unknown, repeated or misspelt keywords."""
    args = [draw(values) for _ in names]
    shape = draw(st.sampled_from(["positional", "keywords", "mixed", "short", "long", "bad keyword"]))
    if shape == "positional" or not names:
        return tuple(args) + ((draw(values),) if shape == "long" else ()), {}
    if shape == "keywords":
        return (), dict(zip(names, args))
    if shape == "mixed":
        k = draw(st.integers(0, len(names)))
        return tuple(args[:k]), dict(zip(names[k:], args[k:]))
    if shape == "short":
        return tuple(args[:-1]), {}
    if shape == "long":
        return tuple(args), {draw(st.sampled_from(names)): draw(values)}
    return tuple(args[:-1]), {draw(st.sampled_from(names + ["x", "_0", ""])) + "_": args[-1]}


@pytest.mark.parametrize("factory", list(PARAMS))
@FUZZ
@given(data=st.data())
def test_factories(factory, data):
    CASES[0] += 1
    args, kwargs = data.draw(argument_lists(list(PARAMS[factory])))
    try:
        command = getattr(Command, factory)(*args, **kwargs)
    except EXPECTED:
        return
    text = str(command)
    assert "\r" not in text and "\n" not in text
    assert str(type(command)(command._0)) == text


@pytest.fixture(scope="module")
def wire():
    """One connected client for all examples, and a way to see what reached
    the server since the last look."""
    from sonvex_fake_server import FakeMediaServer

    server = FakeMediaServer(reply=False).start()
    client = SonvexClient("127.0.0.1", server.port, None, None, None)
    client.connect()
    conn = server.wait_for_connections(1)[0]
    seen = [0]

    def sent_since_last():
        # A marker line fences what the examples sent before it.
        marker = f"MARK {client.command_tag}"
        client.send_raw_command(marker)
        data = conn.wait_for_bytes(seen[0] + 1)
        while not data.endswith(f"{marker} COMMANDTAG={client.command_tag - 1}\n".encode()):
            data = conn.wait_for_bytes(len(data) + 1)
        new = data[seen[0]:]
        seen[0] = len(data)
        return new[: new.rindex(marker.encode())]

    yield client, sent_since_last
    client.disconnect()
    server.stop()


def call_on_the_wire(wire, call, args, kwargs, expected=EXPECTED):
    """Calls; a refused call must leave the tag and the wire untouched.
    Returns (result, tags used by the call, bytes it sent, tag before it), or
    None when the call was refused."""
    client, sent_since_last = wire
    tag = client.command_tag
    try:
        result = call(*args, **kwargs)
    except expected:
        assert client.command_tag == tag
        assert sent_since_last() == b""
        return None
    used = client.command_tag - tag  # read before the marker line takes a tag
    return result, used, sent_since_last(), tag


@pytest.mark.parametrize("factory", list(PARAMS))
@FUZZ
@given(data=st.data())
def test_client_methods(wire, factory, data):
    CASES[0] += 1
    client = wire[0]
    names = [] if factory == "login" else list(PARAMS[factory])
    args, kwargs = data.draw(argument_lists(names))
    outcome = call_on_the_wire(wire, getattr(client, METHOD_OF[factory]), args, kwargs)
    if outcome is None:
        return
    result, used, line, tag = outcome
    assert result is None and used == 1
    assert line.endswith(b" COMMANDTAG=%d\n" % tag)
    assert b"\r" not in line and line.count(b"\n") == 1


OTHER = {
    "send_raw_command": ["message"], "send_command": ["command"], "sum_as_string": ["a", "b"],
    "SonvexClient": ["server", "control_port", "transport_channel_port", "username", "password"],
    "variant": ["_0"], "subscript": ["idx"],
}


@pytest.mark.parametrize("name", list(OTHER))
@FUZZ
@given(data=st.data())
def test_other_callables(wire, name, data):
    import sonvex_rs

    CASES[0] += 1
    client = wire[0]
    args, kwargs = data.draw(argument_lists(OTHER[name]))
    call = {
        "send_raw_command": client.send_raw_command, "send_command": client.send_command,
        "sum_as_string": sonvex_rs.sum_as_string, "SonvexClient": SonvexClient,
        "variant": Command.CallHold, "subscript": lambda *a, **k: Command.call_hold(1).__getitem__(*a, **k),
    }[name]
    outcome = call_on_the_wire(wire, call, args, kwargs, EXPECTED + (IndexError,))
    if outcome is None:
        return
    _, used, sent, tag = outcome
    if name in ("send_raw_command", "send_command"):
        assert used == 1 and sent.endswith(b" COMMANDTAG=%d\n" % tag)
    else:
        assert used == 0 and sent == b""


@pytest.mark.skipif(not LONG, reason="the long mode's count")
def test_long_mode_ran_enough_cases():
    assert CASES[0] >= 100_000, CASES[0]
