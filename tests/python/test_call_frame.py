"""Binding, conversion, error and borrow rules shared by every callable."""

import pytest

from helpers import Command, Index, SonvexClient, new_client, raising

FIVE_NONES = (None,) * 5


class MyStr(str):
    pass


class MyTypeError(TypeError):
    pass


def numpy_bool(**methods):
    cls = type("bool_", (), dict(methods))
    cls.__module__ = "numpy"
    return cls()


CLIENT = new_client()


class IntOnly:
    """Converts with int() but is no index."""

    def __int__(self):
        return 2


@pytest.mark.parametrize("call, message", [
    (lambda: Command.call_hold(1, 2),
     "Command.call_hold() takes 1 positional arguments but 2 were given"),
    (lambda: SonvexClient("127.0.0.1", 1, 2, "u", "p", 6),
     "SonvexClient.__new__() takes 5 positional arguments but 6 were given"),
    (lambda: CLIENT.call_make(1, "a", *FIVE_NONES, 8),
     "SonvexClient.call_make() takes 7 positional arguments but 8 were given"),
    (lambda: Command.call_hold(1, resource_id=2),
     "Command.call_hold() got multiple values for argument 'resource_id'"),
    (lambda: Command.call_hold(resource=2),
     "Command.call_hold() got an unexpected keyword argument 'resource'"),
    (lambda: SonvexClient(server="127.0.0.1", host="x", control_port=None),
     "SonvexClient.__new__() got an unexpected keyword argument 'host'"),
    # Keywords are checked in the order given.
    (lambda: Command.call_make(1, "a", address="b", bogus=1),
     "Command.call_make() got multiple values for argument 'address'"),
    (lambda: Command.call_make(1, "a", bogus=1, address="b"),
     "Command.call_make() got an unexpected keyword argument 'bogus'"),
    # Too many positionals is reported before any keyword problem.
    (lambda: Command.call_hold(1, 2, bogus=3),
     "Command.call_hold() takes 1 positional arguments but 2 were given"),
    (lambda: Command.call_hold(),
     "Command.call_hold() missing 1 required positional argument: 'resource_id'"),
    (lambda: Command.resource_create_sound_device("in"),
     "Command.resource_create_sound_device() missing 2 required positional arguments: "
     "'device' and 'buffers'"),
    (lambda: Command.resource_create_sound_device(),
     "Command.resource_create_sound_device() missing 3 required positional arguments: "
     "'direction', 'device', and 'buffers'"),
    (lambda: Command.resource_create_sound_device(device=None),
     "Command.resource_create_sound_device() missing 2 required positional arguments: "
     "'direction' and 'buffers'"),
    (lambda: SonvexClient("127.0.0.1"),
     "SonvexClient.__new__() missing 4 required positional arguments: 'control_port', "
     "'transport_channel_port', 'username', and 'password'"),
    (lambda: CLIENT.call_make(1),
     "SonvexClient.call_make() missing 6 required positional arguments: 'address', "
     "'timeout', 'caller_number', 'caller_name', 'privacy', and 'screen'"),
    # Without parameters: keywords are refused first, as the interpreter does
    # for a C function without parameters.
    (lambda: Command.quit(1), "Command.quit() takes no arguments (1 given)"),
    (lambda: CLIENT.print_details(1, 2), "SonvexClient.print_details() takes no arguments (2 given)"),
    (lambda: Command.quit(x=2), "Command.quit() takes no keyword arguments"),
    (lambda: Command.quit(1, x=2), "Command.quit() takes no keyword arguments"),
    (lambda: CLIENT.connect(x=1), "SonvexClient.connect() takes no keyword arguments"),
    (lambda: CLIENT.disconnect(1, x=1), "SonvexClient.disconnect() takes no keyword arguments"),
    (lambda: CLIENT.print_details(x=1), "SonvexClient.print_details() takes no keyword arguments"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda i: Command.call_make(i, b"bad", *FIVE_NONES, bogus=1),
    lambda i: Command.call_make(i, b"bad", *FIVE_NONES, resource_id=2),
    lambda i: Command.call_make(i, b"bad", *FIVE_NONES[:4]),
    lambda i: SonvexClient("127.0.0.1", i, None, 5, None, None),
    lambda i: CLIENT.call_make(i, b"bad", None, None, None, None),
])
def test_binding_fails_before_any_conversion(call):
    arg = Index()
    with pytest.raises(TypeError) as info:
        call(arg)
    assert not str(info.value).startswith("argument '")
    assert arg.calls == 0


@pytest.mark.parametrize("args, exc, prefix, converted", [
    # (resource_id, address, timeout): first failure in parameter order wins.
    (("x", b"y", -1), TypeError, "argument 'resource_id': ", 0),
    ((2**32, b"y", "x"), OverflowError, "out of range", 0),
    ((Index(), b"y", Index(-1)), TypeError,
     "argument 'address': 'bytes' object cannot be converted to 'PyString'", 1),
    ((Index(), "y", Index(2**32)), OverflowError, "out of range", 2),
])
def test_conversion_left_to_right_first_failure_wins(args, exc, prefix, converted):
    with pytest.raises(exc) as info:
        Command.call_make(*args, None, None, None, None)
    assert str(info.value).startswith(prefix)
    assert sum(a.calls for a in args if isinstance(a, Index)) == converted


# One representative callable per parameter kind: (call taking the value, param).
KINDS = {
    "u8": (lambda v: Command.resource_create_sound_device("in", None, v), "buffers"),
    "u16": (lambda v: Command.play_tone(1, v, None, None, None, None), "frequency"),
    "u32": (lambda v: Command.call_hold(v), "resource_id"),
    "i16": (lambda v: Command.audio_send(1, 2, None, None, v, *FIVE_NONES), "volume"),
    "i64": (lambda v: Command.play_file(1, "f", None, None, None, None, v), "skip_bytes"),
    "bool": (lambda v: Command.calls_set_accepting(1, v), "accepting"),
    "text": (lambda v: Command.call_make(1, v, None, None, None, None, None), "address"),
    "channels": (lambda v: Command.play_file(1, "f", None, None, v, None, None), "channels"),
    "speed": (lambda v: Command.fax_send(1, 2, 3, v, None, None, None), "speed"),
    "method": (lambda v: CLIENT.resource_delete(v), "resource_id"),
}


@pytest.mark.parametrize("kind, value, expected", [
    ("u8", 255, "Direction=in Buffers=255"),
    ("u8", True, "Direction=in Buffers=1"),
    ("u16", 65535, "PlayTone 1 Frequency=65535"),
    ("u16", Index(7), "PlayTone 1 Frequency=7"),
    ("u32", 4294967295, "CallHold 4294967295"),
    ("u32", True, "CallHold 1"),
    ("u32", Index(42), "CallHold 42"),
    ("i16", -32768, "Volume=-32768"),
    ("i16", 32767, "Volume=32767"),
    ("i64", -2**63, "SkipBytes=-9223372036854775808"),
    ("i64", 2**63 - 1, "SkipBytes=9223372036854775807"),
    ("bool", True, "CallsSetAccepting 1 1"),
    ("bool", False, "CallsSetAccepting 1 0"),
    ("bool", numpy_bool(__bool__=lambda self: True), "CallsSetAccepting 1 1"),
    ("bool", numpy_bool(__bool__=lambda self: False), "CallsSetAccepting 1 0"),
    ("text", MyStr("sub"), "CallMake 1 sub "),
    ("text", "\u00e9\u4e2d", "CallMake 1 \u00e9\u4e2d "),
])
def test_accepted_values(kind, value, expected):
    assert expected in str(KINDS[kind][0](value))


P = "argument '{}': "
INTERPRETER = object()  # message worded by the interpreter


@pytest.mark.parametrize("kind, value, exc, message", [
    ("u32", 2**32, OverflowError, "out of range integral type conversion attempted"),
    ("u32", 2**64 - 1, OverflowError, "out of range integral type conversion attempted"),
    ("u32", -1, OverflowError, INTERPRETER),
    ("u32", 2**64, OverflowError, INTERPRETER),
    ("u32", 1.0, TypeError, P),
    # PyPy's own conversion would truncate these; refused as on CPython.
    ("u16", 2.9, TypeError, P),
    ("i64", -2.9, TypeError, P),
    ("u32", IntOnly(), TypeError, P),
    ("u32", "1", TypeError, P),
    ("u8", 256, OverflowError, "out of range integral type conversion attempted"),
    ("u8", -1, OverflowError, "out of range integral type conversion attempted"),
    ("u16", 65536, OverflowError, "out of range integral type conversion attempted"),
    ("i16", 32768, OverflowError, "out of range integral type conversion attempted"),
    ("i16", -32769, OverflowError, "out of range integral type conversion attempted"),
    ("i64", 2**63, OverflowError, INTERPRETER),
    ("u32", Index(action=raising(TypeError("bad index"))), TypeError,
     "argument 'resource_id': bad index"),
    ("u32", Index(action=raising(MyTypeError("bad index"))), MyTypeError, "bad index"),
    ("u32", Index(action=raising(ValueError("bad index"))), ValueError, "bad index"),
    ("u32", Index(2**32), OverflowError, "out of range integral type conversion attempted"),
    ("bool", 1, TypeError, "argument 'accepting': 'int' object cannot be converted to 'PyBool'"),
    ("bool", numpy_bool(), TypeError,
     "argument 'accepting': object of type 'bool_' does not define a '__bool__' conversion"),
    ("text", b"x", TypeError,
     "argument 'address': 'bytes' object cannot be converted to 'PyString'"),
    ("text", "\ud800", UnicodeEncodeError, INTERPRETER),
    ("channels", 1, TypeError,
     "argument 'channels': 'int' object cannot be converted to 'Channels'"),
    ("speed", "x", TypeError,
     "argument 'speed': 'str' object cannot be converted to 'ConstantWithDescription'"),
    ("method", "1", TypeError, P),
])
def test_refused_values(kind, value, exc, message):
    call, param = KINDS[kind]
    with pytest.raises(BaseException) as info:
        call(value)
    assert type(info.value) is exc
    text = str(info.value)
    if message is INTERPRETER:
        assert "argument '" not in text
    elif message is P:
        assert text.startswith(P.format(param)) and len(text) > len(P.format(param))
    else:
        assert text == message


def test_prefixed_type_error_keeps_the_cause():
    original = TypeError("bad index")
    original.__cause__ = cause = KeyError("why")
    with pytest.raises(TypeError) as info:
        Command.call_hold(Index(action=raising(original)))
    assert str(info.value) == "argument 'resource_id': bad index"
    assert info.value.__cause__ is cause


def panic_exception_class():
    # The class exists only once the module has needed it; a refused
    # argument is enough for that.
    with pytest.raises(TypeError):
        Command.call_hold("x")
    for cls in BaseException.__subclasses__():
        if cls.__name__ == "PanicException":
            return cls
    pytest.skip("PanicException class not obtainable without an internal failure")


@pytest.mark.parametrize("call", [
    lambda exc: Command.call_hold(Index(action=raising(exc))),
    lambda exc: Command.calls_set_accepting(1, numpy_bool(__bool__=raising(exc))),
    lambda exc: CLIENT.resource_delete(Index(action=raising(exc))),
])
def test_panic_from_python_code_is_resumed_not_wrapped(call, capfd):
    panic = panic_exception_class()
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    with pytest.raises(BaseException) as info:
        try:
            call(panic("boom"))
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as Exception")
    assert type(info.value) is panic and str(info.value) == "boom"
    assert capfd.readouterr().err  # reported on standard error
    assert CLIENT.command_tag == 0  # the client was released


def test_reentry_conflicts_raise_and_release(session):
    client = session.client
    seen = []

    def inner(call):
        def action():
            try:
                call()
            except RuntimeError as e:
                seen.append(e)
                raise
        return action

    cases = [
        (lambda: client.play_stop(1), "Already borrowed"),
        (lambda: client.send_raw_command("x"), "Already borrowed"),
        (lambda: client.disconnect(), "Already borrowed"),
        (lambda: client.login(), "Already borrowed"),
        (lambda: client.print_details(), "Already mutably borrowed"),
        (lambda: client.command_tag, "Already mutably borrowed"),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError) as info:
            client.resource_delete(Index(action=inner(call)))
        assert info.value is seen[-1] and str(info.value) == message
    assert client.command_tag == 0

    # Other objects, construction included, are not affected by the borrow.
    other = new_client()
    client.resource_delete(Index(5, action=lambda: (other.print_details(),
                                                    SonvexClient("::1", None, None, None, None))))
    client.resource_delete(6)
    assert client.command_tag == 2
    assert session.lines(2) == ["ResourceDelete 5 COMMANDTAG=0", "ResourceDelete 6 COMMANDTAG=1"]
