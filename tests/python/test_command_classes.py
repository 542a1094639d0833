"""The Command class, its variant classes and the payload classes."""

import gc
import sys

import pytest

from command_table import FACTORIES, FULL_ARGS
from helpers import IS_PYPY, Command, Index
from oracle import VARIANTS


def test_variant_attributes_in_order():
    assert [n for n in vars(Command) if n[:1].isupper()] == VARIANTS


@pytest.mark.parametrize("factory, variant", list(zip(FACTORIES, VARIANTS)))
def test_variant_and_payload_classes(factory, variant):
    cls = getattr(Command, variant)
    assert cls.__name__ == "Command_" + variant
    assert cls.__bases__ == (Command,)
    assert cls.__text_signature__ == "(_0)"
    assert cls.__match_args__ == ("_0",)

    cmd = getattr(Command, factory)(*FULL_ARGS[factory])
    assert type(cmd) is cls and isinstance(cmd, Command)
    assert len(cmd) == 1
    payload = cmd._0
    payload_cls = type(payload)
    assert payload_cls.__name__ == variant and payload_cls.__bases__ == (object,)
    assert type(cmd[0]) is payload_cls
    assert cls(payload) is not cmd

    # A command rebuilt from the payload is a new object with the same text,
    # which owns its value: it outlives the command and payload it came from.
    text = str(cmd)
    copies = [cls(payload), cls(_0=payload), cls(cmd[0])]
    del cmd, payload
    gc.collect()
    for copy in copies:
        assert type(copy) is cls
        assert str(copy) == text

    for args in [(), (1,), (None,)]:
        with pytest.raises(TypeError) as info:
            payload_cls(*args)
        assert str(info.value) == "No constructor defined for " + variant
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"Command_{variant}.__new__() missing 1 required positional argument: '_0'"
    for base in (cls, payload_cls):
        with pytest.raises(TypeError):
            type("Sub", (base,), {})


@pytest.mark.parametrize("arg, message", [
    (Command.call_answer(5)._0, "argument '_0': 'CallAnswer' object cannot be converted to 'CallHold'"),
    (Command.call_hold(5), "argument '_0': 'Command_CallHold' object cannot be converted to 'CallHold'"),
    (None, "argument '_0': 'NoneType' object cannot be converted to 'CallHold'"),
])
def test_variant_constructor_refuses_other_values(arg, message):
    with pytest.raises(TypeError) as info:
        Command.CallHold(arg)
    assert str(info.value) == message


def test_variant_constructor_binding():
    p = Command.call_hold(5)._0
    for call, message in [
        (lambda: Command.CallHold(p, p), "Command_CallHold.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: Command.CallHold(p, _0=p), "Command_CallHold.__new__() got multiple values for argument '_0'"),
        (lambda: Command.CallHold(x=p), "Command_CallHold.__new__() got an unexpected keyword argument 'x'"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


class MyCommand(Command):
    pass


def test_command_has_no_constructor_and_can_be_subclassed():
    for args, kwargs in [((), {}), ((1,), {"a": 2})]:
        with pytest.raises(TypeError) as info:
            Command(*args, **kwargs)
        assert str(info.value) == "No constructor defined for Command"
    class Sub(Command):     # its __qualname__ has the function's name in it
        pass

    for cls in (MyCommand, Sub):
        with pytest.raises(TypeError) as info:
            cls()
        assert str(info.value) == "No constructor defined for " + cls.__name__
    assert type(MyCommand.quit()) is Command.Quit


def test_payload_reads():
    c = Command.call_hold(5)
    reads = [c._0, c._0, c[0], c[0], c[False]]
    assert len({id(p) for p in reads}) == len(reads)
    assert all(type(p) is type(reads[0]) for p in reads)
    with pytest.raises(AttributeError):
        c._0 = reads[0]
    with pytest.raises(AttributeError):
        del c._0
    with pytest.raises(AttributeError):
        c.note = 1
    with pytest.raises(AttributeError):
        reads[0].resource_id = 6
    assert str(c) == "CallHold 5"


@pytest.mark.parametrize("idx, exc, message", [
    (1, IndexError, "tuple index out of range"),
    (True, IndexError, "tuple index out of range"),
    (2 ** 32 - 1, IndexError, "tuple index out of range"),
    (Index(7), IndexError, "tuple index out of range"),
    (2 ** 32, OverflowError, "out of range integral type conversion attempted"),
    (-1, OverflowError, None),
    (2 ** 64, OverflowError, None),
    ("x", TypeError, "argument 'idx': "),
    (slice(0, 1), TypeError, "argument 'idx': "),
    (None, TypeError, "argument 'idx': "),
    (0.0, TypeError, "argument 'idx': "),
])
def test_subscription_errors(idx, exc, message):
    c = Command.call_hold(5)
    with pytest.raises(exc) as info:
        c[idx]
    if message is not None:
        assert str(info.value).startswith(message)
    if exc is OverflowError:
        assert not str(info.value).startswith("argument")


def test_subscription_accepts_index_objects():
    assert type(Command.call_hold(5)[Index(0)]).__name__ == "CallHold"


def test_no_iteration_of_their_own():
    # Length and subscription are mapping operations, so the interpreter finds
    # no sequence protocol to fall back on: the object is not iterable at all.
    c = Command.call_hold(5)
    with pytest.raises(TypeError):
        iter(c)
    with pytest.raises(TypeError):
        list(c)
    with pytest.raises(TypeError):
        c._0 in c
    assert str(c) == "CallHold 5"


def test_text_and_representation():
    c = Command.call_make(7, "200", None, None, None, None, None)
    text = "CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1"
    assert str(c) == text and f"{c}" == text and format(c) == text and "%s" % c == text
    assert repr(c) == object.__repr__(c)
    assert repr(c).startswith("<") and "Command_CallMake object at 0x" in repr(c)
    p = c._0
    assert str(p) == object.__repr__(p) and repr(p) == object.__repr__(p)
    assert str(Command.quit()) == "Quit"


def test_identity_equality_and_hash():
    a, b = Command.quit(), Command.quit()
    assert a == a and a != b and not a == b
    assert hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2
    pa = a._0
    assert pa == pa and pa != a._0
    assert hash(pa) == object.__hash__(pa)
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError):
        pa < a._0


@pytest.mark.parametrize("get", [
    lambda o: Command.CallHold._0.__get__(o, Command.CallHold),
    lambda o: Command.CallHold.__len__(o),
    lambda o: Command.CallHold.__getitem__(o, 0),
])
def test_operations_check_the_variant_class(get):
    with pytest.raises(TypeError):
        get(Command.call_answer(5))


def _match_cases():
    if IS_PYPY or sys.version_info < (3, 10):
        pytest.skip("pattern matching needs CPython 3.10 or later")
    import match_cases
    return match_cases


def test_match_selects_variant_and_binds_payload():
    m = _match_cases()
    kind, payload = m.classify(Command.quit())
    assert kind == "quit" and type(payload).__name__ == "Quit"
    assert m.classify(Command.call_hold(5)) == ("other", None)

    cmd = Command.call_make(7, "200", None, "100", None, None, None)
    kind, payload = m.classify(cmd)
    assert kind == "call_make" and type(payload).__name__ == "CallMake"
    assert str(Command.CallMake(payload)) == str(cmd) == "CallMake 7 200 TimeOut=30000 CallerNumber=100 Privacy=0 Screen=1"


def test_match_by_keyword_and_payload_class():
    m = _match_cases()
    assert m.hold_payload_by_keyword(Command.call_hold(9)) is not None
    assert m.hold_payload_by_keyword(Command.call_answer(9)) is None
    assert m.is_login_payload(Command.login("u", "p", None, None, None)._0)
    assert not m.is_login_payload(Command.quit()._0)
