"""Reference counting on a debug build of CPython: every callable of the module,
on its success and error paths, leaves the interpreter's total reference count
and the number of open descriptors as it found them."""

import gc
import subprocess
import sys

import pytest

from command_table import FULL_ARGS, PARAMS, WIRE
import helpers
from helpers import (DEADLINE, Command, Index, NumpyBool, SonvexClient, open_descriptor_count,
                     raising)
from oracle import METHOD_OF

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug build of CPython")

EXPECTED = (TypeError, ValueError, OverflowError, IndexError, RuntimeError, UnicodeEncodeError,
            OSError, AttributeError)


def RaisingIndex(exc_type):
    # A new exception each time, with its own traceback.
    return Index(action=raising(exc_type))


def factory_calls():
    calls = [(getattr(Command, f), args) for f, args, _ in WIRE]
    for f, params in PARAMS.items():
        full = FULL_ARGS[f]
        if not params:
            calls.append((getattr(Command, f), (1,)))                 # refused by the interpreter
            continue
        calls += [
            (getattr(Command, f), full + (None,)),                   # too many
            (getattr(Command, f), full[:-1]),                         # missing
            (getattr(Command, f), ("x",) * len(params)),              # wrong kinds
            (getattr(Command, f), (None,) * len(params)),             # None where required
            (getattr(Command, f), (2 ** 64,) + full[1:]),             # interpreter's overflow
            (getattr(Command, f), (RaisingIndex(TypeError),) + full[1:]),
            (getattr(Command, f), (RaisingIndex(ValueError),) + full[1:]),
        ]
    return calls


def keyword_calls():
    call_hold = Command.call_hold
    return [
        lambda: call_hold(resource_id=1),
        lambda: call_hold(1, resource_id=1),
        lambda: call_hold(rid=1),
        lambda: Command.login(username="a", password="b", major=None, minor=None, revision=None),
        lambda: Command.call_clear(1, "a\r\nb"),
        lambda: Command.calls_set_accepting(1, 1),
        lambda: Command.calls_set_accepting(1, NumpyBool()),
        lambda: Command.call_clear(1, "\ud800"),
        lambda: Command.play_file(1, "x", "wav", None, 1, None, None),
        lambda: Command.fax_send(1, 2, 3, None, 1, None, None),
    ]


def variant_operations():
    c = Command.call_make(7, "200", None, None, None, None, None)
    other = Command.call_answer(5)
    return [
        lambda: str(c), lambda: repr(c), lambda: len(c), lambda: c[0], lambda: c[1], lambda: c[-1],
        lambda: c["x"], lambda: c[0:1], lambda: c._0, lambda: setattr(c, "_0", 1),
        lambda: Command.CallMake(c._0), lambda: Command.CallMake(_0=c._0),
        lambda: Command.CallMake(other._0), lambda: Command.CallMake(), lambda: Command.CallMake(1, 2),
        lambda: Command(), lambda: type(c._0)(), lambda: c == c, lambda: hash(c),
        lambda: sys.modules["sonvex_rs"].sum_as_string(4294967295, 4294967295),
        lambda: sys.modules["sonvex_rs"].sum_as_string(1),
        lambda: sys.modules["sonvex_rs"].sum_as_string(-1, 1),
    ]


def client_operations(port):
    idle = SonvexClient("127.0.0.1", port, None, None, None)
    ops = [
        lambda: SonvexClient("127.0.0.1", None, None, None, None),
        lambda: SonvexClient("::ffff:1.2.3.4", 1, 2, "u", "p").print_details(),
        lambda: SonvexClient("not an address", None, None, None, None),
        lambda: SonvexClient("::1", 65536, None, None, None),
        lambda: SonvexClient("::1", None, None, "a\nb", None),
        lambda: SonvexClient("::1"),
        lambda: SonvexClient(server="::1", control_port=None, transport_channel_port=None,
                             username=None, password=None, x=1),
        lambda: idle.command_tag, lambda: idle.disconnect(), lambda: idle.send_raw_command("x"),
        lambda: idle.send_raw_command(b"x"), lambda: idle.send_command(Command.quit()),
        lambda: idle.send_command(1), lambda: idle.print_details(),
    ]
    for f, args, _ in WIRE:
        method = getattr(idle, METHOD_OF[f])
        args = () if f == "login" else args
        ops.append(lambda method=method, args=args: method(*args))
    return idle, ops


def connected_operations(client):
    ops = [lambda: client.send_raw_command("GetVersion"),
           lambda: client.send_command(Command.call_hold(5)),
           lambda: client.resource_delete(RaisingIndex(TypeError))]
    for f, args, _ in WIRE:
        method = getattr(client, METHOD_OF[f])
        args = () if f == "login" else args
        ops.append(lambda method=method, args=args: method(*args))
    return ops


def run(ops):
    for op in ops:
        try:
            op()
        except EXPECTED:
            pass


def measure(ops, rounds):
    gc.collect()
    refs, fds = sys.gettotalrefcount(), open_descriptor_count()
    for _ in range(rounds):
        run(ops)
    gc.collect()
    return sys.gettotalrefcount() - refs, open_descriptor_count() - fds


def leaked(ops, rounds=20):
    """References and descriptors gained over `rounds` runs of `ops`, after a
    warm-up, less what the measurement itself costs."""
    for _ in range(3):
        run(ops)
    base_refs, base_fds = measure([], rounds)
    refs, fds = measure(ops, rounds)
    return refs - base_refs, fds - base_fds


@pytest.fixture(scope="module")
def sink():
    """A fake server in another process, so that its own work does not move
    this interpreter's reference count."""
    proc = helpers.Child([sys.executable, "-m", "sonvex_fake_server",
                             "--quiet", "--silent", "--stop-at-eof"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(proc.stdout.readline().split()[-1])
    yield port
    proc.stdin.close()
    proc.wait(timeout=DEADLINE)
    proc.stdout.close()


def test_the_measurement_sees_a_leak():
    kept = []
    assert leaked([lambda: kept.append(object())])[0] >= 20


@pytest.mark.parametrize("group", ["factories", "keywords", "variants"])
def test_command_model_leaks_nothing(group):
    ops = {"factories": [lambda f=f, a=a: f(*a) for f, a in factory_calls()],
           "keywords": keyword_calls(), "variants": variant_operations()}[group]
    assert leaked(ops) == (0, 0)


def test_client_leaks_nothing(sink):
    idle, ops = client_operations(sink)
    assert leaked(ops) == (0, 0)
    client = SonvexClient("127.0.0.1", sink, None, None, None)
    client.connect()
    try:
        assert leaked(connected_operations(client)) == (0, 0)
    finally:
        client.disconnect()
