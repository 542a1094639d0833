"""Channels, ECM and the four constant classes."""

import operator
import os
import sys

import pytest

from command_table import build
from helpers import Command, value_class

CONSTANT_CLASSES = ["AudioFormatType", "PayloadType", "ToneType", "ConstantWithDescription"]


Channels = value_class("Channels")
ECM = value_class("ECM")

MEMBERS = [
    (Channels, "Mono", 1, "Channels.Mono"),
    (Channels, "Stereo", 2, "Channels.Stereo"),
    (ECM, "No", 0, "ECM.No"),
    (ECM, "ECM64", 64, "ECM.ECM64"),
    (ECM, "ECM128", 128, "ECM.ECM128"),
    (ECM, "ECM256", 256, "ECM.ECM256"),
]


@pytest.mark.parametrize("cls, name, number, text", MEMBERS)
def test_member(cls, name, number, text):
    member = getattr(cls, name)
    assert type(member) is cls
    assert getattr(cls, name) is member
    assert int(member) == number and type(int(member)) is int
    assert repr(member) == text and str(member) == text
    assert member == member and not member != member
    assert member != number and not member == number
    assert hash(member) == object.__hash__(member)
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(AttributeError):
        member.value = number


def test_members_in_order():
    assert [n for n in vars(Channels) if not n.startswith("_")] == ["Mono", "Stereo"]
    assert [n for n in vars(ECM) if not n.startswith("_")] == ["No", "ECM64", "ECM128", "ECM256"]


def test_equality_and_ordering():
    assert (ECM.No == 0) is False
    assert Channels.Mono != ECM.No and Channels.Mono != Channels.Stereo
    assert {ECM.No: "a", ECM.ECM64: "b"}[ECM.No] == "a"
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(Channels.Mono, Channels.Stereo)
        with pytest.raises(TypeError):
            op(ECM.No, 1)


@pytest.mark.parametrize("name", ["Channels", "ECM"] + CONSTANT_CLASSES)
def test_class_shape(name):
    cls = value_class(name)
    assert cls.__name__ == name and cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    for args, kwargs in [((), {}), ((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == "No constructor defined for " + name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    here = os.path.dirname(os.path.abspath(__file__))
    for mod_name, module in list(sys.modules.items()):
        if os.path.dirname(os.path.abspath(getattr(module, "__file__", None) or "/")) != here:
            assert all(v is not cls for v in list(getattr(module, "__dict__", {}).values())), mod_name


def test_constant_classes_define_nothing_of_their_own():
    for name in CONSTANT_CLASSES:
        assert [n for n in vars(value_class(name)) if not n.startswith("_")] == []


# (factory, args with a member in place, wire text)
@pytest.mark.parametrize("factory, args, text", [
    ("play_file", (1, "f", None, None, Channels.Mono, None, None), "PlayFile 1 f Channels=1"),
    ("play_file", (1, "f", None, None, Channels.Stereo, None, None), "PlayFile 1 f Channels=2"),
    ("recorder_start_to_file", (1, "f", None, None, Channels.Stereo, None, None, None, None, None),
     "RecorderStartToFile 1 f Channels=2"),
    ("fax_receive", (1, 2, 3, None, ECM.No, None), "FaxReceive 1 2 3 UseECM=0"),
    ("fax_receive", (1, 2, 3, None, ECM.ECM64, None), "FaxReceive 1 2 3 UseECM=64"),
    ("fax_send", (1, 2, 3, None, ECM.ECM128, None, None), "FaxSend 1 2 3 UseECM=128"),
    ("fax_send", (1, 2, 3, None, ECM.ECM256, None, "x"), "FaxSend 1 2 3 UseECM=256 TSI=x"),
])
def test_member_renders_its_number(factory, args, text):
    assert str(getattr(Command, factory)(*args)) == text


# Every parameter typed with a value class.
VALUE_PARAMS = [
    ("play_file", "channels", "Channels"),
    ("recorder_start_to_file", "channels", "Channels"),
    ("fax_receive", "use_ecm", "ECM"),
    ("fax_send", "use_ecm", "ECM"),
    ("play_file", "audio_type", "AudioFormatType"),
    ("play_stream", "audio_type", "AudioFormatType"),
    ("recorder_start_to_file", "audio_type", "AudioFormatType"),
    ("recorder_start_to_stream", "audio_type", "AudioFormatType"),
    ("rtp_channel_start_receiving", "payload_type", "PayloadType"),
    ("rtp_channel_start_sending", "payload_type", "PayloadType"),
    ("play_tone", "tone", "ToneType"),
    ("fax_receive", "fax_mode", "ConstantWithDescription"),
    ("fax_send", "speed", "ConstantWithDescription"),
    ("document_add_file", "transformation", "ConstantWithDescription"),
    ("document_prepare", "paper_size", "ConstantWithDescription"),
    ("document_prepare", "resolution", "ConstantWithDescription"),
    ("document_save", "document_type", "ConstantWithDescription"),
]


@pytest.mark.parametrize("factory, param, cls", VALUE_PARAMS)
def test_wrong_value_names_parameter_and_class(factory, param, cls):
    other = Channels.Mono if cls == "ECM" else ECM.No
    for bad, bad_name in [("x", "str"), (1, "int"), (other, type(other).__name__), (Command.quit(), "Command_Quit")]:
        with pytest.raises(TypeError) as info:
            build(factory, **{param: bad})
        assert str(info.value) == f"argument '{param}': '{bad_name}' object cannot be converted to '{cls}'"
