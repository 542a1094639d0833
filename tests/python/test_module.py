"""The module tree built at import, and the module function sum_as_string."""

import importlib
import sys

import pytest

import sonvex_rs
from helpers import IS_PYPY, Command

SUM_FUNCTIONS = [
    pytest.param(sonvex_rs.sum_as_string, id="top"),
    pytest.param(sonvex_rs.client.sum_as_string, id="client"),
]
VALUE_CLASS_NAMES = ["Channels", "ECM", "AudioFormatType", "PayloadType", "ToneType",
                     "ConstantWithDescription"]


@pytest.mark.parametrize("module, name, all_names", [
    (sonvex_rs, "sonvex_rs", ["sum_as_string", "client", "commands"]),
    (sonvex_rs.client, "client", ["SonvexClient", "sum_as_string"]),
    (sonvex_rs.commands, "commands", ["Command"]),
])
def test_module_names_and_public_attributes(module, name, all_names):
    assert module.__name__ == name
    assert module.__all__ == all_names
    # Nothing public besides what __all__ lists.
    assert sorted(k for k in vars(module) if not k.startswith("__")) == sorted(all_names)


def test_module_docstring_is_empty():
    assert sonvex_rs.__doc__ == ""


@pytest.mark.parametrize("dotted", ["sonvex_rs.client", "sonvex_rs.commands"])
def test_submodules_only_reachable_as_attributes(dotted):
    assert dotted not in sys.modules
    with pytest.raises(ImportError):
        importlib.import_module(dotted)
    assert getattr(sonvex_rs, dotted.split(".")[1]).__name__ == dotted.split(".")[1]


def test_value_and_payload_classes_are_in_no_module():
    # Make sure the lazily created classes exist before looking for them.
    cmd = Command.call_make(1, "a", None, None, None, None, None)
    with pytest.raises(TypeError):
        Command.play_file(1, "f", None, None, 1, None, None)
    with pytest.raises(TypeError):
        Command.fax_send(1, 2, 3, None, 1, None, None)
    names = VALUE_CLASS_NAMES + [type(cmd._0).__name__, type(cmd).__name__]
    for module in (sonvex_rs, sonvex_rs.client, sonvex_rs.commands):
        assert not set(names) & set(dir(module)), module.__name__


def test_two_distinct_sum_functions_with_text_signature():
    top, sub = sonvex_rs.sum_as_string, sonvex_rs.client.sum_as_string
    assert top is not sub
    assert top.__text_signature__ == sub.__text_signature__ == "(a, b)"
    assert top.__name__ == sub.__name__ == "sum_as_string"


@pytest.mark.parametrize("fn", SUM_FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, expected", [
    ((2, 3), {}, "5"),
    ((), {"b": 3, "a": 2}, "5"),
    ((2,), {"b": 3}, "5"),
    ((0, 0), {}, "0"),
    ((True, False), {}, "1"),
    # The sum is exact, not wrapped to 32 bits.
    ((4294967295, 1), {}, "4294967296"),
    ((4294967295, 4294967295), {}, "8589934590"),
])
def test_sum_as_string_results(fn, args, kwargs, expected):
    result = fn(*args, **kwargs)
    assert type(result) is str and result == expected


@pytest.mark.parametrize("fn", SUM_FUNCTIONS)
@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((1,), {}, TypeError, "sum_as_string() missing 1 required positional argument: 'b'"),
    ((), {}, TypeError, "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
    ((1, 2, 3), {}, TypeError, "sum_as_string() takes 2 positional arguments but 3 were given"),
    ((1, 2**32), {}, OverflowError, "out of range integral type conversion attempted"),
    ((-1, 1), {}, OverflowError, None),
    ((1, 2**64), {}, OverflowError, None),
    (("1", 2), {}, TypeError, "argument 'a': "),
    ((1, 2.0), {}, TypeError, "argument 'b': "),
    # The first failing argument wins.
    (("x", 2**32), {}, TypeError, "argument 'a': "),
    ((2**32, "x"), {}, OverflowError, "out of range integral type conversion attempted"),
])
def test_sum_as_string_errors(fn, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    text = str(info.value)
    if message is None:  # the interpreter's own wording
        assert "argument" not in text
    elif message.endswith(": "):  # interpreter's wording after our prefix
        assert text.startswith(message) and len(text) > len(message)
    else:
        assert text == message


@pytest.mark.skipif(IS_PYPY, reason="re-running the entry point is CPython behaviour")
def test_reimport_returns_the_same_module_object():
    original = sys.modules["sonvex_rs"]
    original.marker_set_by_test = marker = object()
    try:
        del sys.modules["sonvex_rs"]
        again = importlib.import_module("sonvex_rs")
        assert again is original
        assert again.marker_set_by_test is marker
        assert again.client is original.client and again.commands is original.commands
        assert again.__all__ == ["sum_as_string", "client", "commands"]
    finally:
        sys.modules["sonvex_rs"] = original
        del original.marker_set_by_test
