"""Command factories: parameter lists, wire text, defaults, argument errors."""

import pytest

from command_table import FACTORIES, FULL_ARGS, MAX32, MAX64, MIN64, NO_ARG_FACTORIES, PARAMS, WIRE, build
from helpers import Command
from oracle import INT_FIELDS, INT_RANGES, TEXT_FIELDS, expected_line


def test_wire_table_covers_every_factory():
    assert sorted(FULL_ARGS) == sorted(FACTORIES)


@pytest.mark.parametrize("factory, args, text", WIRE)
def test_wire_text(factory, args, text):
    assert expected_line(factory, args) == text   # the examples agree with the oracle
    cmd = getattr(Command, factory)(*args)
    assert str(cmd) == text
    # The same command bound by keyword renders identically.
    assert str(getattr(Command, factory)(**dict(zip(PARAMS[factory], args)))) == text


@pytest.mark.parametrize("factory, args, text", [
    ("login", ("u", "p", 2, 3, None), "Login u p 2 3"),
    ("login", ("u", "p", 1, 0, 0), "Login u p 1 0 0"),
    ("login", ("u", "p", None, 9, None), "Login u p 2 9"),
    ("call_make", (7, "200", 30000, None, None, 0, 1), "CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1"),
    ("call_make", (7, "200", None, None, "", 5, None), "CallMake 7 200 TimeOut=30000 CallerName= Privacy=5 Screen=1"),
    ("call_make", (7, "200", 1, "", None, None, 6), "CallMake 7 200 TimeOut=1 CallerNumber= Privacy=0 Screen=6"),
    ("call_transfer_blind", (1, "300", 1), "CallTransferBlind 1 300 UseH450=1"),
    ("call_transfer_blind", (1, "300", 255), "CallTransferBlind 1 300 UseH450=255"),
    ("call_send_dtmf", (3, "1", 300, 200, 2000), "CallSendDTMF 3 1 Duration=300 Delay=200 PauseDuration=2000"),
    ("call_send_dtmf", (3, "1", None, 0, None), "CallSendDTMF 3 1 Duration=300 Delay=0 PauseDuration=2000"),
    ("rtp_channel_send_dtmf", (3, "1", None, 0, None), "RtpChannelSendDTMF 3 1 Delay=0"),
    ("audio_send", (1, 2, None, None, 32767, None, None, None, None, None), "AudioSend 1 2 Volume=32767"),
    ("play_file", (1, "f", None, None, None, None, MAX64), "PlayFile 1 f SkipBytes=9223372036854775807"),
    ("resource_delete", (True,), "ResourceDelete 1"),
])
def test_defaults_and_explicit_values(factory, args, text):
    assert str(getattr(Command, factory)(*args)) == text


def test_factory_names_in_order():
    assert [n for n in vars(Command) if n[:1].islower()] == FACTORIES


@pytest.mark.parametrize("factory", FACTORIES)
def test_signature(factory):
    expected = "(" + ", ".join(PARAMS[factory]) + ")"
    assert getattr(Command, factory).__text_signature__ == expected
    assert not getattr(Command, factory).__doc__


def test_factories_through_instance_and_variant_class():
    cmd = Command.call_hold(5)
    assert Command.login.__text_signature__ == "(username, password, major, minor, revision)"
    assert Command.quit.__text_signature__ == "()"
    assert cmd.login.__text_signature__ == "(username, password, major, minor, revision)"
    assert Command.Quit.quit.__text_signature__ == "()"
    assert str(cmd.call_hold(6)) == "CallHold 6"
    assert str(Command.Login.quit()) == "Quit"
    assert str(cmd) == "CallHold 5"


@pytest.mark.parametrize("factory", NO_ARG_FACTORIES)
def test_no_argument_factories_refuse_arguments(factory):
    assert len(NO_ARG_FACTORIES) == 8
    with pytest.raises(TypeError):
        getattr(Command, factory)(1)
    with pytest.raises(TypeError):
        getattr(Command, factory)(x=1)
    with pytest.raises(TypeError):
        getattr(Command, factory)(None)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: Command.login("a", "b"), TypeError,
     "Command.login() missing 3 required positional arguments: 'major', 'minor', and 'revision'"),
    (lambda: Command.call_hold(1, 2), TypeError, "Command.call_hold() takes 1 positional arguments but 2 were given"),
    (lambda: Command.call_make(7, 200, None, None, None, None, None), TypeError,
     "argument 'address': 'int' object cannot be converted to 'PyString'"),
    (lambda: Command.login(None, "p", None, None, None), TypeError,
     "argument 'username': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: Command.call_clear(4), TypeError, "Command.call_clear() missing 1 required positional argument: 'reason'"),
    (lambda: Command.call_hold(5, resource_id=5), TypeError,
     "Command.call_hold() got multiple values for argument 'resource_id'"),
    (lambda: Command.call_hold(rid=5), TypeError, "Command.call_hold() got an unexpected keyword argument 'rid'"),
    (lambda: Command.calls_set_accepting(1, 1), TypeError,
     "argument 'accepting': 'int' object cannot be converted to 'PyBool'"),
    (lambda: Command.resource_create_rtp_channel(0), TypeError,
     "argument 'in_band_dtmf_enabled': 'int' object cannot be converted to 'PyBool'"),
    (lambda: Command.resource_create_sound_device(), TypeError,
     "Command.resource_create_sound_device() missing 3 required positional arguments: "
     "'direction', 'device', and 'buffers'"),
    (lambda: Command.resource_create_sound_device(direction="x"), TypeError,
     "Command.resource_create_sound_device() missing 2 required positional arguments: 'device' and 'buffers'"),
    (lambda: Command.resource_delete(MAX32 + 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: Command.play_tone(1, None, None, None, 256, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.play_tone(1, 65536, None, None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.audio_send(1, 2, None, None, -32769, None, None, None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.login("u", "p", -1, None, None), OverflowError, "out of range integral type conversion attempted"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda: Command.resource_delete(-1),
    lambda: Command.resource_delete(2 ** 64),
    lambda: Command.play_file(1, "f", None, None, None, None, MAX64 + 1),
    lambda: Command.play_file(1, "f", None, None, None, None, MIN64 - 1),
])
def test_interpreter_overflow_has_no_argument_prefix(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert not str(info.value).startswith("argument")


def test_resource_id_of_wrong_type_names_parameter():
    with pytest.raises(TypeError) as info:
        Command.resource_delete("1")
    assert str(info.value).startswith("argument 'resource_id': ")


def test_each_call_returns_a_new_object():
    a, b = Command.call_hold(5), Command.call_hold(5)
    assert a is not b and a != b
    assert str(a) == str(b)


# Every text parameter of every factory.
TEXT_PARAMS = TEXT_FIELDS


class Text(str):
    pass


@pytest.mark.parametrize("bad", ["\r", "\n", "a\r\nb", Text("x\ny")])
@pytest.mark.parametrize("factory, param", TEXT_PARAMS)
def test_line_break_in_text_refused(factory, param, bad):
    with pytest.raises(ValueError) as info:
        build(factory, **{param: bad})
    assert str(info.value) == "Line break in text argument: " + param


@pytest.mark.parametrize("factory, param", TEXT_PARAMS)
def test_other_characters_go_out_unchanged(factory, param):
    odd = "a b=c\td\u00fc\u20ac\u2028\x0b\x0c\x85\x00e"
    cmd = build(factory, **{param: odd})
    assert str(cmd) == str(build(factory, **{param: "@@"})).replace("@@", odd)
    assert str(build(factory, **{param: Text("plain")})) == str(build(factory, **{param: "plain"}))


@pytest.mark.parametrize("call, exc, message", [
    # An earlier bad value wins over a later line break ...
    (lambda: Command.call_make("7", "a\nb", None, None, None, None, None), TypeError, "argument 'resource_id': "),
    (lambda: Command.call_make(7, "ok", MAX32 + 1, "a\n", None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.fax_send(1, 2, 3, None, 5, "h\n", None), TypeError,
     "argument 'use_ecm': 'int' object cannot be converted to 'ECM'"),
    (lambda: Command.resource_create_sound_device(5, "d\n", None), TypeError,
     "argument 'direction': 'int' object cannot be converted to 'PyString'"),
    # ... and an earlier line break wins over a later bad value.
    (lambda: Command.call_make(7, "a\nb", MAX32 + 1, None, None, None, None), ValueError,
     "Line break in text argument: address"),
    (lambda: Command.login("u\r", "p\n", None, None, None), ValueError, "Line break in text argument: username"),
    (lambda: Command.login("u", "p\n", 256, None, None), ValueError, "Line break in text argument: password"),
    (lambda: Command.resource_create_sound_device("d\n", None, 256), ValueError,
     "Line break in text argument: direction"),
    (lambda: Command.fax_send(1, 2, 3, None, None, "h\n", 5), ValueError, "Line break in text argument: header"),
])
def test_conversion_order_with_line_breaks(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(message)


def test_text_without_utf8_form_is_refused():
    with pytest.raises(UnicodeEncodeError):
        Command.call_clear(1, "\ud800")


@pytest.mark.parametrize("factory, param, kind", INT_FIELDS, ids=["%s-%s" % f[:2] for f in INT_FIELDS])
def test_integer_fields_take_their_kinds_whole_range(factory, param, kind):
    """Each integer field renders its kind's least and greatest value (a
    signed kind with its "-") and refuses one past either end."""
    low, high = INT_RANGES[kind]
    for value in (low, high):
        args = dict(zip(PARAMS[factory], FULL_ARGS[factory]), **{param: value})
        assert str(build(factory, **{param: value})) == expected_line(factory, [args[p] for p in PARAMS[factory]])
    for value in (low - 1, high + 1):
        with pytest.raises(OverflowError):
            build(factory, **{param: value})
