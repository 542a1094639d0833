"""The type stubs in stubs/: generated from the catalogue, faithful to the built
module (mypy's stubtest, plus our own look at what stubtest skips), and
precise enough for mypy and pyright to accept typed use and catch misuse."""

import ast
import inspect
import json
import os
import platform
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

if platform.python_implementation() == "PyPy":
    pytest.skip("stubs are checked on CPython", allow_module_level=True)
pytest.importorskip("mypy")

import helpers  # noqa: E402
import sonvex_rs  # noqa: E402
from helpers import load_generator  # noqa: E402
from oracle import COUNT  # noqa: E402

# Type checkers and examples in child processes are left out of the quick
# loop; the comparisons of the committed stubs with the catalogue and with
# the module stay in it.
slow = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "stubs"
EXAMPLE = ROOT / "examples" / "typed_example.py"
# Each example is checked with the sources of the pure-Python package it
# shows, which is strictly typed too.
TYPED = {"typed_example": [EXAMPLE],
         "answers_example": [ROOT / "examples" / "answers_example.py",
                             ROOT / "replies" / "sonvex_replies"]}
Command = sonvex_rs.commands.Command

# Created by the module only on an internal failure, so out of reach here.
UNREACHABLE_CLASSES = {"sonvex_rs.PanicException"}

# stubtest imports every stub module by its dotted name; the submodules are
# attributes of the extension module only, declared in the stub modules
# _client and _commands (so that dotted imports of them are refused), so a
# child running stubtest gets them entered under those names first.
SITECUSTOMIZE = """\
import sys
import sonvex_rs
sys.modules["sonvex_rs._client"] = sonvex_rs.client
sys.modules["sonvex_rs._commands"] = sonvex_rs.commands
"""
# Stub module -> the name of what it describes at run time.
PUBLIC = {"_client": "client", "_commands": "commands"}


generate_stubs = load_generator()


def _mypy_config(tmp_path, stubs=STUBS):
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nmypy_path = {stubs}\ncache_dir = {tmp_path / 'cache'}\n")
    return config


def _stubtest(tmp_path, stubs=STUBS):
    site = tmp_path / "site"
    site.mkdir(exist_ok=True)
    (site / "sitecustomize.py").write_text(SITECUSTOMIZE)
    env = dict(os.environ, PYTHONPATH=str(site))
    # The annotation-only names are missing at run time on purpose; our own
    # check below compares them with the module instead.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(re.escape(name) + "\n" for name in _aliases(stubs, public=False))
                         + "sonvex_rs\\._classes(\\..*)?\n")
    return helpers.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file",
         str(_mypy_config(tmp_path, stubs)), "--allowlist", str(allowlist), "sonvex_rs"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)


# --- What stubtest does not check ---------------------------------------------
# It skips @type_check_only classes (the payload and value classes are in no
# module namespace; the stubs declare them in the stub-only module _classes
# and name them by aliases that are missing at run time), and it does not
# look for class variables it cannot find at run time (they might be instance
# variables; these classes have none).

def _stub_modules(stubs, public=True):
    """(module name, body) of each stub file; public: the name of what it
    describes at run time, else its own (stubtest's)."""
    for path in sorted((stubs / "sonvex_rs").glob("*.pyi")):
        stem = PUBLIC.get(path.stem, path.stem) if public else path.stem
        module = "sonvex_rs" if stem == "__init__" else f"sonvex_rs.{stem}"
        yield module, ast.parse(path.read_text()).body


def _stub_classes(stubs):
    """Every class of the stub files: dotted path -> ast.ClassDef."""
    found = {}

    def walk(prefix, body):
        for node in body:
            if isinstance(node, ast.ClassDef):
                found[f"{prefix}.{node.name}"] = node
                walk(f"{prefix}.{node.name}", node.body)

    for module, body in _stub_modules(stubs):
        walk(module, body)
    return found


def _aliases(stubs, public=True):
    """The annotation-only names: dotted path of each TypeAliasType alias ->
    dotted path of the class it names."""
    found = {}
    for module, body in _stub_modules(stubs, public):
        for node in body:
            if (isinstance(node, ast.Assign) and isinstance(node.value, ast.Call)
                    and ast.unparse(node.value.func) == "TypeAliasType"):
                target = "sonvex_rs." + ast.unparse(node.value.args[1])
                found[f"{module}.{node.targets[0].id}"] = target
    return found


def _decorators(node):
    return {ast.unparse(d).rpartition(".")[2] for d in node.decorator_list}


def _members(node):
    names = set()
    for item in node.body:
        if isinstance(item, (ast.FunctionDef, ast.ClassDef)):
            names.add(item.name)
        elif isinstance(item, ast.AnnAssign):
            names.add(item.target.id)
        elif isinstance(item, ast.Assign):
            names.update(t.id for t in item.targets)
    return names


_SAMPLE = {"SupportsIndex": 0, "str": "", "bool": False}


def _create_lazy_classes(classes):
    """Has the module create the classes that it creates on first use: a
    payload class when its variant class rejects a wrong payload, a value
    class when a factory rejects a wrong argument for it."""
    for path, node in classes.items():
        if path.startswith("sonvex_rs.commands.Command.") and path.count(".") == 3:
            with pytest.raises(TypeError):
                getattr(Command, node.name)(object())
    for item in classes["sonvex_rs.commands.Command"].body:
        if not (isinstance(item, ast.FunctionDef) and "staticmethod" in _decorators(item)):
            continue
        kinds = [ast.unparse(a.annotation) for a in item.args.args]
        for i, kind in enumerate(kinds):
            if not kind.endswith(" | None") or kind[:-7] in _SAMPLE:
                continue
            args = [None if k.endswith(" | None") else _SAMPLE.get(k) for k in kinds]
            args[i] = object()
            with pytest.raises(TypeError):
                getattr(Command, item.name)(*args)


def _runtime_classes():
    found, stack = {}, [object]
    while stack:
        for sub in type.__subclasses__(stack.pop()):
            name = f"{sub.__module__}.{sub.__qualname__}"
            if name not in found:
                found[name] = sub
                stack.append(sub)
    return found


def _subclassable(cls):
    try:
        type("Sub", (cls,), {})
    except TypeError:
        return False
    return True


def check_beyond_stubtest(stubs):
    """Problems stubtest cannot see, as (number of classes checked, messages)."""
    classes = _stub_classes(stubs)
    _create_lazy_classes(_stub_classes(STUBS))
    runtime = _runtime_classes()
    problems, checked = [], 0
    named_by = {}
    for alias, target in _aliases(stubs).items():
        module, _, name = alias.rpartition(".")
        if hasattr(sonvex_rs if module == "sonvex_rs" else getattr(sonvex_rs, module[10:]), name):
            problems.append(f"{alias} is an annotation-only alias but present at runtime")
        named_by[target] = alias
    for stub_path, node in sorted(classes.items()):
        path = named_by.get(stub_path, stub_path)
        if "type_check_only" in _decorators(node):
            if path in UNREACHABLE_CLASSES:
                continue
            cls = runtime.get(path)
        elif path.startswith("sonvex_rs.commands.Command."):
            cls = inspect.getattr_static(Command, node.name, None)
        else:
            continue  # a class in a module namespace: stubtest's
        checked += 1
        if not isinstance(cls, type):
            problems.append(f"{path} is not present at runtime")
            continue
        if ("final" in _decorators(node)) == _subclassable(cls):
            problems.append(f"{path} is {'' if _subclassable(cls) else 'not '}subclassable at "
                            f"runtime but {'' if 'final' in _decorators(node) else 'not '}final "
                            "in the stub")
        stub_names = _members(node)
        for name in sorted(stub_names):
            if inspect.getattr_static(cls, name, None) is None:
                problems.append(f"{path}.{name} is not present at runtime")
        for name in sorted(vars(cls)):
            if not name.startswith("_") and name not in stub_names:
                problems.append(f"{path}.{name} is not present in stub")
    return checked, problems


def _mypy(tmp_path, *args):
    return helpers.run(
        [sys.executable, "-m", "mypy", "--config-file", str(_mypy_config(tmp_path)), *args],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_generator_reproduces_committed_stubs():
    files = generate_stubs.render(generate_stubs.CATALOGUE.read_text(encoding="utf-8"))
    committed = {p.name: p.read_text(encoding="utf-8") for p in (STUBS / "sonvex_rs").iterdir()}
    assert sorted(committed) == sorted(files)
    for name, text in files.items():
        assert committed[name] == text, f"{name} is stale: run tools/generate_stubs.py"


@slow
def test_stubtest_finds_no_difference(tmp_path):
    result = _stubtest(tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "Success: no issues found in 4 modules" in output   # _classes: stub-only


def test_what_stubtest_skips_matches_the_module():
    checked, problems = check_beyond_stubtest(STUBS)
    assert problems == []
    # A variant and a payload class per command, Channels, ECM and the four constant classes.
    assert checked == 2 * COUNT + 6


@slow
def test_drift_is_reported(tmp_path, monkeypatch):
    """Edited stubs are caught, by stubtest or by our own check, in module
    classes, variant classes and @type_check_only classes alike."""
    stubs = tmp_path / "stubs"
    shutil.copytree(STUBS, stubs)
    edits = {
        "_client.pyi": [("def call_hold(self, resource_id:", "def call_hold(self, rid:")],
        "_commands.pyi": [("        def __len__(self) -> int: ...\n",
                          "        def __len__(self) -> int: ...\n"
                          "        def clear(self) -> None: ...\n"),
                         ("    class Quit(Command):\n", "    class Quit(Command):\n        payload: int\n")],
        "_classes.pyi": [("class CallHold: ...\n", "class CallHold:\n    resource_id: int\n"),
                         ("    Stereo: ClassVar[Channels]\n", "    Quad: ClassVar[Channels]\n"),
                         ("@final\n@type_check_only\nclass ToneType", "@type_check_only\nclass ToneType")],
    }
    for name, replacements in edits.items():
        path = stubs / "sonvex_rs" / name
        text = path.read_text()
        for old, new in replacements:
            assert old in text
            text = text.replace(old, new, 1)
        path.write_text(text)
    result = _stubtest(tmp_path, stubs)
    output = result.stdout + result.stderr
    assert result.returncode == 1, output
    for reported in [
        "sonvex_rs._client.SonvexClient.call_hold is inconsistent",
        "sonvex_rs._commands.Command.ProtocolVersion.clear is not present at runtime",
    ]:
        assert reported in output
    assert sorted(check_beyond_stubtest(stubs)[1]) == [
        "sonvex_rs.Channels.Quad is not present at runtime",
        "sonvex_rs.Channels.Stereo is not present in stub",
        "sonvex_rs.ToneType is not subclassable at runtime but not final in the stub",
        "sonvex_rs.commands.CallHold.resource_id is not present at runtime",
        "sonvex_rs.commands.Command.ProtocolVersion.clear is not present at runtime",
        "sonvex_rs.commands.Command.Quit.payload is not present at runtime",
    ]
    # A module that came to hold an annotation-only class: the alias would
    # now refuse a use that works.
    monkeypatch.setattr(sonvex_rs, "ECM", object(), raising=False)
    assert check_beyond_stubtest(STUBS)[1] == [
        "sonvex_rs.ECM is an annotation-only alias but present at runtime"]


def _pyright(tmp_path, *paths):
    pytest.importorskip("pyright")
    config = tmp_path / "pyrightconfig.json"
    # The submodules have no source file of their own (they are attributes of
    # the extension module), which pyright would mention for every import.
    config.write_text(json.dumps({"stubPath": str(STUBS), "typeCheckingMode": "strict",
                                  "reportMissingModuleSource": "none"}))
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")  # no look for a newer release
    return helpers.run(
        [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, "--project", str(config),
         *map(str, paths)], cwd=tmp_path, env=env, capture_output=True, text=True,
        timeout=300)


@slow
@pytest.mark.parametrize("example", list(TYPED))
def test_typed_examples_pass_pyright(tmp_path, example):
    result = _pyright(tmp_path, *TYPED[example])
    assert result.returncode == 0, result.stdout + result.stderr
    assert "0 errors, 0 warnings" in result.stdout, result.stdout


@slow
@pytest.mark.parametrize("example", list(TYPED))
def test_typed_examples_pass_strict_mypy(tmp_path, example):
    result = _mypy(tmp_path, "--strict", *map(str, TYPED[example]))
    assert result.returncode == 0, result.stdout + result.stderr


_PRELUDE = """\
import sonvex_rs
Command = sonvex_rs.commands.Command
SonvexClient = sonvex_rs.client.SonvexClient
client = SonvexClient("127.0.0.1", None, None, None, None)
"""

# Misuse that mypy must refuse, with a piece of the message it must give.
MISUSE = {
    "str_for_int": ('client.resource_delete("5")', 'has incompatible type "str"'),
    "int_for_bool": ("Command.calls_set_accepting(1, 1)", 'expected "bool"'),
    "int_for_channels": ('Command.play_file(1, "a.wav", None, None, 1, None, None)',
                         'expected "Channels | None"'),
    "omitted_none": ("Command.call_clear(4)", 'Missing positional argument "reason"'),
    "constructor_short": ('SonvexClient("127.0.0.1", None, None, None)',
                          'Missing positional argument "password"'),
    "wrong_payload": ("Command.CallMake(Command.call_answer(5)._0)",
                      'incompatible type "CallAnswer"; expected "CallMake"'),
    "login_arguments": ('client.login("user1")', 'Too many arguments for "login"'),
    "tag_read_only": ("client.command_tag = 3", "is read-only"),
    "send_text_as_command": ('client.send_command("Quit")', 'expected "Command"'),
    "tag_is_int": ('name: str = client.send_raw_command("Quit")',
                   'expression has type "int", variable has type "str"'),
    "method_returns_none": ("tag: int = client.call_hold(1)", "does not return a value"),
    "payload_has_no_fields": (
        "def f(c: Command) -> None:\n"
        "    match c:\n"
        "        case Command.CallHold(p):\n"
        "            print(p.resource_id)",
        '"CallHold" has no attribute "resource_id"'),
    "client_is_final": ("class Mine(SonvexClient): pass", 'Cannot inherit from final class'),
    # Names for annotations only: missing at run time.
    "value_class_as_value": ("print(sonvex_rs.Channels.Stereo)",
                             '"TypeAliasType" has no attribute "Stereo"'),
    "payload_class_as_value": ("isinstance(Command.call_hold(1)._0, sonvex_rs.commands.CallHold)",
                               'Argument 2 to "isinstance" has incompatible type "TypeAliasType"'),
    # The submodules are attributes, not importable modules.
    "dotted_from_import": ("from sonvex_rs.client import SonvexClient as C",
                           'library stub for module named "sonvex_rs.client"'),
    "dotted_import": ("import sonvex_rs.commands",
                      'library stub for module named "sonvex_rs.commands"'),
    "panic_caught_by_name": ("try:\n    pass\nexcept sonvex_rs.PanicException:\n    pass",
                             "Exception type must be derived from BaseException"),
}


@pytest.fixture(scope="module")
def misuse_report(tmp_path_factory):
    """mypy's messages for every misuse snippet, by snippet name (one mypy run)."""
    tmp_path = tmp_path_factory.mktemp("misuse")
    for name, (code, _) in MISUSE.items():
        (tmp_path / f"{name}.py").write_text(_PRELUDE + code + "\n")
    result = _mypy(tmp_path, "--strict", *[f"{name}.py" for name in MISUSE])
    report = {name: [] for name in MISUSE}
    for line in result.stdout.splitlines():
        file_name, _, message = line.partition(".py:")
        if file_name in report:
            report[file_name].append(message)
    return report


@slow
@pytest.mark.parametrize("name", sorted(MISUSE))
def test_mypy_refuses_misuse(misuse_report, name):
    expected = MISUSE[name][1]
    assert any(expected in message for message in misuse_report[name]), misuse_report[name]


@slow
def test_pyright_refuses_dotted_imports_and_takes_the_attributes(tmp_path):
    (tmp_path / "imports.py").write_text(
        "from __future__ import annotations\n"
        "from sonvex_rs import client, commands\n"
        "from sonvex_rs.client import SonvexClient\n"
        "import sonvex_rs.commands\n"
        "def f(c: client.SonvexClient, p: commands.CallMake,\n"
        "      m: commands.Command.CallMake) -> None:\n"
        "    print(c, p, m, SonvexClient, sonvex_rs.commands)\n")
    result = _pyright(tmp_path, tmp_path / "imports.py")
    errors = re.findall(r"imports\.py:(\d+):\d+ - error: (.*)", result.stdout)
    assert [e for e in errors if "could not be resolved" in e[1]] == [
        ("3", 'Import "sonvex_rs.client" could not be resolved (reportMissingImports)'),
        ("4", 'Import "sonvex_rs.commands" could not be resolved (reportMissingImports)'),
    ], result.stdout
    # Nothing about the attribute import or the annotations.
    assert not [e for e in errors if e[0] in ("2", "5", "6")], result.stdout


@slow
def test_answers_example_runs():
    result = helpers.run([sys.executable, str(TYPED["answers_example"][0])],
                         capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == (
        "logged in: Login OK COMMANDTAG=0\n"
        "event: CallEvent 7 State=Connected (state Connected)\n"
        "event: CallEvent 8 State=Connected (state Connected)\n"
        "replies not taken: 0, dropped: 0\n")


@slow
def test_typed_example_runs(server):
    result = helpers.run(
        [sys.executable, str(EXAMPLE), server.host, str(server.port)],
        capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = [line.decode() for line in server.wait_for_connections(1)[0].wait_for_lines(6)]
    assert lines == [
        "Login typed secret 2 3 COMMANDTAG=0",
        "CallMake 1 200 TimeOut=30000 CallerNumber=100 Privacy=0 Screen=1 COMMANDTAG=1",
        "CallSendDTMF 1 12# Duration=300 Delay=200 PauseDuration=2000 COMMANDTAG=2",
        "CallMake 1 300 TimeOut=45 Privacy=0 Screen=1 COMMANDTAG=3",
        "CallMake 1 300 TimeOut=45 Privacy=0 Screen=1 COMMANDTAG=4",
        "CallClear 1 Reason=normal COMMANDTAG=5",
    ]
    assert "tags sent: [0, 1, 2, 3, 4, 5]; next tag: 6" in result.stdout
