"""Inputs that reach the module's slots past the usual checks: foreign
objects handed to slots and constructors, objects made by object.__new__,
keyword dictionaries changed during a conversion, texts with NUL, and an
internal failure. None of them may crash the interpreter."""

import gc
import operator

import pytest

from helpers import Command, SonvexClient, run_child, value_class

Channels = value_class("Channels")
ECM = value_class("ECM")


@pytest.mark.parametrize("call, words", [
    (lambda: Command.__str__(5), "requires a"),
    (lambda: Command.__str__(Command.call_hold(1)._0), "requires a"),
    (lambda: Channels.__repr__("x"), "requires a"),
    (lambda: Channels.__int__(object()), "requires a"),
    (lambda: SonvexClient.__new__(object, "127.0.0.1", None, None, None, None), "is not a subtype of"),
    (lambda: SonvexClient.__new__(Command.CallHold, "127.0.0.1", None, None, None, None),
     "is not a subtype of"),
    (lambda: SonvexClient.command_tag.__get__(5), ""),
    (lambda: SonvexClient.connect(5), ""),
    (lambda: SonvexClient.call_hold(Command.quit(), 1), ""),
])
def test_slots_refuse_foreign_objects(call, words):
    """Refused with TypeError: by the interpreter where it checks (in its own
    words), by the module where it does not (in the same words)."""
    with pytest.raises(TypeError) as info:
        call()
    assert words in str(info.value)


def test_the_module_words_its_own_refusals_like_the_interpreter():
    message = "descriptor '__str__' requires a 'Command' object but received a 'int'"
    with pytest.raises(TypeError) as info:
        Command.__str__(5)
    assert str(info.value) in (message, message.replace("'Command'", "'sonvex_rs.commands.Command'"))


UNCONSTRUCTED = r"""
import sonvex_rs
C = sonvex_rs.commands.Command
try:
    C.play_file(1, "x", None, None, 5, None, None)
except TypeError:
    pass
Channels = next(c for c in object.__subclasses__() if c.__name__ == "Channels")
classes = [sonvex_rs.client.SonvexClient, C.CallHold, type(C.call_hold(1)._0), Channels]
for cls in classes:
    try:
        o = object.__new__(cls)
    except TypeError:
        continue                      # the interpreter refused, as CPython does
    for use in (str, repr, len, int, lambda o: o[0], lambda o: o._0, lambda o: o.command_tag,
                lambda o: o.print_details(), lambda o: o.connect(), lambda o: C.CallHold(o),
                lambda o: C.play_file(1, "x", None, None, o, None, None)):
        try:
            use(o)
        except BaseException as e:
            assert isinstance(e, (TypeError, AttributeError, IndexError)) or \
                type(e).__name__ == "PanicException", repr(e)
    del o
print("survived")
"""


def test_objects_made_without_the_constructor_do_not_crash():
    result = run_child(UNCONSTRUCTED)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.endswith(b"survived\n")


def test_keyword_values_survive_a_conversion_that_empties_the_callers_dict():
    # A caller that hands its own keyword dictionary to the constructor, and
    # an argument whose conversion empties that dictionary.
    class Emptying:
        def __index__(self):
            kwargs = next(x for x in gc.get_referents(caller) if isinstance(x, dict))
            kwargs.clear()
            return 1

    server = "".join(["127.0.", "0.1"])  # a str only the dictionary holds
    caller = operator.methodcaller("__new__", SonvexClient, server=server, control_port=Emptying(),
                                   transport_channel_port=None, username="".join(["a", "b"]),
                                   password=None)
    del server
    client = caller(SonvexClient)
    assert type(client) is SonvexClient and client.command_tag == 0


@pytest.mark.parametrize("server", ["1.2.3.4\x00junk", "\x00", "é", "::1\x00"])
def test_invalid_address_message_keeps_the_whole_text(server):
    with pytest.raises(ValueError) as info:
        SonvexClient(server, None, None, None, None)
    assert str(info.value) == "Invalid IP address: " + server


INTERNAL_FAILURE = r"""
import os, sonvex_rs
client = sonvex_rs.client.SonvexClient("127.0.0.1", None, None, None, None)
os.close(1)                           # standard output can no longer be written
try:
    try:
        client.print_details()
    except Exception:
        os.write(2, b"caught as Exception\n")
except BaseException as e:
    cls = type(e)
    os.write(2, ("raised %s(%r) base=%s args=%d doc=%r\n" % (
        cls.__name__, str(e), cls.__bases__[0].__name__, len(e.args), "BaseException" in (cls.__doc__ or ""))).encode())
print_details_again = client.command_tag  # the client was released
os.write(2, b"usable %d\n" % print_details_again)
"""


def test_internal_failure_raises_panic_exception_and_reports_it():
    result = run_child(INTERNAL_FAILURE)
    err = result.stderr.decode()
    assert result.returncode == 0, err
    assert "raised PanicException('failed printing to stdout: Bad file descriptor (os error 9)') " \
           "base=BaseException args=1 doc=True" in err
    assert "caught as Exception" not in err
    # The report names the thread, the place and the text.
    assert "sonvex_rs: internal failure in thread " in err and "client.cpp:" in err
    assert "usable 0" in err
