"""Objects that pass isinstance for one of the module's classes without its
memory layout or without its constructor having run: made through a Python
subclass with a plain class first among its bases, through a mixin whose
__init_subclass__ does not chain up (which gets past the refusal of a class
that may not be subclassed), or by object.__new__. PyPy lets all of these
through (PyPy 3.9 all of them; CPython and later PyPy refuse some or all up
front, so each test decides from what the running interpreter does); every
method, slot and argument conversion of the module refuses them with TypeError, and calling such a subclass says that it has no
constructor. Each class kind runs in a child, so that a crash fails the test
instead of ending the run."""

import json

import pytest

from helpers import IS_PYPY, run_child

CHILD = r"""
import json, sys
from helpers import Command, SonvexClient, value_class

kind = sys.argv[1]
client = SonvexClient("127.0.0.1", None, None, None, None)   # never connected


def on_argument(call):
    return [("argument", call)]


CLASSES = {
    "Command": lambda: Command,
    "variant": lambda: Command.CallHold,
    "payload": lambda: type(Command.call_hold(1)._0),
    "SonvexClient": lambda: SonvexClient,
}
USES = {
    "Command": [("str", str), ("send_command", client.send_command)],
    "variant": [("str", str), ("len", len), ("index", lambda o: o[0]), ("_0", lambda o: o._0),
                ("Command.__str__", Command.__str__), ("send_command", client.send_command)],
    "payload": [("variant constructor", Command.CallHold)],
    "Channels": [("repr", repr), ("int", int),
                 ("argument", lambda o: Command.play_file(1, "f", None, None, o, None, None))],
    "ECM": [("repr", repr), ("int", int),
            ("argument", lambda o: Command.fax_send(1, 2, 3, None, o, None, None)),
            ("client method", lambda o: client.fax_send(1, 2, 3, None, o, None, None))],
    "AudioFormatType": on_argument(lambda o: Command.play_file(1, "f", o, None, None, None, None)),
    "PayloadType": on_argument(
        lambda o: Command.rtp_channel_start_receiving(1, None, None, None, o, None, None, None, None)),
    "ToneType": on_argument(lambda o: Command.play_tone(1, None, None, o, None, None)),
    "ConstantWithDescription": on_argument(lambda o: Command.fax_send(1, 2, 3, o, None, None, None)),
    "SonvexClient": [("connect", lambda o: o.connect()), ("disconnect", SonvexClient.disconnect),
                     ("command_tag", lambda o: o.command_tag),
                     ("print_details", lambda o: o.print_details()),
                     ("send_raw_command", lambda o: o.send_raw_command("x")),
                     ("send_command", lambda o: o.send_command(Command.quit())),
                     ("call_hold", lambda o: o.call_hold(1))],
}
cls = CLASSES[kind]() if kind in CLASSES else value_class(kind)


class Plain:
    pass


class Mixin:
    def __init_subclass__(cls, **kwargs):
        pass                            # does not chain up


def outcome(call, *args):
    try:
        call(*args)
        return "ok"
    except BaseException as e:
        return "%s: %s" % (type(e).__name__, e)


def uses(o):
    return {name: outcome(use, o) for name, use in USES[kind]}


report = {"name": cls.__name__}
for way, first in [("plain class first", Plain), ("mixin", Mixin)]:
    try:
        sub = type("S", (first, cls), {})
    except TypeError as e:
        report[way] = {"class": "TypeError: %s" % e}
        continue
    entry = report[way] = {"class": "made", "call": outcome(sub)}
    try:
        made = sub()
    except TypeError:
        made = None
    try:
        new = object.__new__(sub)
    except TypeError:
        new = None
    entry["uses of S()"] = None if made is None else uses(made)
    entry["uses of object.__new__(S)"] = None if new is None else uses(new)
try:
    own = object.__new__(cls)
except TypeError as e:
    report["object.__new__"] = "TypeError: %s" % e
else:
    report["object.__new__"] = uses(own)
print(json.dumps(report))
"""

KINDS = ["Command", "variant", "payload", "Channels", "ECM", "AudioFormatType", "PayloadType",
         "ToneType", "ConstantWithDescription", "SonvexClient"]


@pytest.mark.parametrize("kind", KINDS)
def test_objects_without_the_module_layout_are_refused(kind):
    result = run_child(CHILD, kind)
    assert result.returncode == 0, result.stderr[-3000:]
    report = json.loads(result.stdout.splitlines()[-1])
    checked = 0
    for way in ("plain class first", "mixin"):
        entry = report[way]
        if entry["class"] != "made":
            # Refused: the module's class is not an acceptable base type.
            assert entry["class"].startswith("TypeError: type '"), entry
            assert report["name"] + "' is not an acceptable base type" in entry["class"], entry
            continue
        assert entry["call"] == "TypeError: No constructor defined for S", entry
        for objects in ("uses of S()", "uses of object.__new__(S)"):
            for use, got in (entry[objects] or {}).items():
                assert got.startswith("TypeError: "), (way, objects, use, got)
                checked += 1
    own = report["object.__new__"]
    if isinstance(own, str):
        assert own.startswith("TypeError: ") and "is not safe" in own, own
    else:
        for use, got in own.items():
            assert got.startswith("TypeError: "), ("object.__new__", use, got)
            checked += 1
    # Every object that the interpreter let be made was refused in every
    # use above; CPython makes none of them.
    assert IS_PYPY or checked == 0, report


def test_the_refusals_name_the_classes():
    """The receiver's refusal names the slot and both classes; an argument's
    refusal is the conversion message with the parameter's name."""
    script = r"""
from helpers import Command, SonvexClient, value_class
class Mixin:
    def __init_subclass__(cls, **kwargs):
        pass
ECM = value_class("ECM")
for label, base in (("SonvexClient", SonvexClient), ("CallHold", Command.CallHold), ("ECM", ECM)):
    try:
        S = type("S", (Mixin, base), {})
    except TypeError:
        print(label, "refused")
        continue
    o = object.__new__(S)
    for call in (lambda: o.connect(), lambda: o._0, lambda: repr(o),
                 lambda: Command.fax_send(1, 2, 3, None, o, None, None)):
        try:
            call()
        except (TypeError, AttributeError) as e:
            print(label, type(e).__name__, e)
"""
    result = run_child(script)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.decode().splitlines()
    # A class that the interpreter refused as a base has nothing more to say;
    # one that it let through names the slot and both classes.
    expected = {
        "SonvexClient": ["TypeError descriptor 'method' requires a 'SonvexClient' object but received a 'S'"],
        "CallHold": ["TypeError 'S' object cannot be converted to 'Command_CallHold'"],
        "ECM": ["TypeError descriptor '__repr__' requires a 'ECM' object but received a 'S'",
                "TypeError argument 'use_ecm': 'S' object cannot be converted to 'ECM'"],
    }
    for base, messages in expected.items():
        if base + " refused" in lines:
            continue
        assert IS_PYPY, lines
        for message in messages:
            assert base + " " + message in lines, lines
