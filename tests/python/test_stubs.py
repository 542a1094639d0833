"""The type stubs in stubs/: generated from the catalogue, faithful to the built
module (mypy's stubtest), and precise enough for mypy to catch misuse.

Run as a script, this file is the stubtest driver the tests start in a child
process: python test_stubs.py STUBTEST-ARGUMENTS...
"""

import importlib.util
import inspect
import platform
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
STUBS = ROOT / "stubs"
GENERATOR = ROOT / "tools" / "generate_stubs.py"
EXAMPLE = ROOT / "examples" / "typed_example.py"

# Created by the module only on an internal failure, so out of reach here.
UNREACHABLE_CLASSES = {"sonvex_rs.PanicException"}


# --- The stubtest driver (child process) --------------------------------------

def _sample(annotation):
    """A value that a parameter of this stub annotation converts without complaint."""
    from mypy import types

    t = types.get_proper_type(annotation)
    if isinstance(t, types.UnionType):
        return None  # every "X | None" parameter takes None
    return {"typing.SupportsIndex": 0, "builtins.str": "", "builtins.bool": False}[t.type.fullname]


def _create_lazy_classes(command, command_info):
    """Has the module create the classes that it creates on first use.

    A payload class comes into being when its variant class rejects a wrong
    payload, a value class when a factory rejects a wrong argument for it.
    """
    from mypy import nodes

    for name, symbol in command_info.names.items():
        node = symbol.node
        if isinstance(node, nodes.TypeAlias):
            calls = [[object()]]
        elif isinstance(node, nodes.Decorator) and node.func.is_static:
            values = [_sample(t) for t in node.func.type.arg_types]
            calls = [values[:i] + [object()] + values[i + 1:]
                     for i, v in enumerate(values) if v is None]
        else:
            continue
        for args in calls:
            try:
                getattr(command, name)(*args)
            except TypeError:
                pass


def _runtime_classes():
    found, stack = {}, [object]
    while stack:
        for sub in type.__subclasses__(stack.pop()):
            name = f"{sub.__module__}.{sub.__qualname__}"
            if name not in found:
                found[name] = sub
                stack.append(sub)
    return found


def _check_type_check_only_classes(stubtest, command, concise):
    """Checks the @type_check_only classes against their run-time classes.

    stubtest skips them (they are in no module namespace) and accepts the
    aliases Command.<Variant> once the class names agree, so their members
    would go unchecked. Each is verified here with stubtest's own class check,
    the one stubtest applies to an alias whose target it cannot match by name.
    """
    from mypy import nodes

    stub_modules = {name: tree for name, tree in stubtest._all_stubs.items()
                    if name.split(".")[0] == "sonvex_rs"}
    if "sonvex_rs.commands" not in stub_modules:
        return 1  # the stubs did not build; stubtest has said why
    _create_lazy_classes(command, stub_modules["sonvex_rs.commands"].names["Command"].node)
    runtime = _runtime_classes()
    errors = checked = 0
    for module_name, tree in sorted(stub_modules.items()):
        for name, symbol in tree.names.items():
            info = symbol.node
            if not (isinstance(info, nodes.TypeInfo) and info.is_type_check_only
                    and info.fullname == f"{module_name}.{name}"
                    and info.fullname not in UNREACHABLE_CLASSES):
                continue
            cls = runtime.get(info.fullname, stubtest.MISSING)
            path = [module_name, name]
            problems = list(stubtest.verify_typeinfo(info, cls, path, is_alias_target=True))
            if cls is not stubtest.MISSING:
                # stubtest does not look for class variables it cannot find
                # at run time (they might be instance variables); these
                # classes have no instance variables, so every one must exist.
                for var, sym in info.names.items():
                    if (isinstance(sym.node, nodes.Var)
                            and inspect.getattr_static(cls, var, stubtest.MISSING)
                            is stubtest.MISSING):
                        problems.append(stubtest.Error(path + [var], "is not present at runtime",
                                                       sym.node, stubtest.MISSING))
            for problem in problems:
                stubtest.safe_print(problem.get_description(concise=concise))
            errors += len(problems)
            checked += 1
    print(f"checked {checked} @type_check_only classes: {errors} errors")
    return 1 if errors else 0


def run_stubtest(argv):
    import sonvex_rs

    # The submodules are attributes of the extension module only; stubtest
    # imports every stub module by its dotted name.
    sys.modules["sonvex_rs.client"] = sonvex_rs.client
    sys.modules["sonvex_rs.commands"] = sonvex_rs.commands
    import mypy.stubtest as stubtest

    options = stubtest.parse_options(argv)
    status = stubtest.test_stubs(options)
    command = sonvex_rs.commands.Command
    return _check_type_check_only_classes(stubtest, command, options.concise) or status


if __name__ == "__main__":
    sys.exit(run_stubtest(sys.argv[1:]))


# --- Tests --------------------------------------------------------------------

import pytest  # noqa: E402

if platform.python_implementation() == "PyPy":
    pytest.skip("stubs are checked on CPython", allow_module_level=True)
pytest.importorskip("mypy")


def _load_generator():
    spec = importlib.util.spec_from_file_location("generate_stubs", GENERATOR)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up by name
    spec.loader.exec_module(module)
    return module


generate_stubs = _load_generator()
ROWS = generate_stubs.read_catalogue(generate_stubs.CATALOGUE.read_text(encoding="utf-8"))


def _mypy_config(tmp_path, stubs=STUBS):
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nmypy_path = {stubs}\ncache_dir = {tmp_path / 'cache'}\n")
    return config


def _stubtest(tmp_path, stubs=STUBS):
    return subprocess.run(
        [sys.executable, __file__, "--mypy-config-file", str(_mypy_config(tmp_path, stubs)),
         "sonvex_rs"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


def _mypy(tmp_path, *args):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(_mypy_config(tmp_path)), *args],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


def test_generator_reproduces_committed_stubs():
    files = generate_stubs.render(generate_stubs.CATALOGUE.read_text(encoding="utf-8"))
    committed = {p.name: p.read_text(encoding="utf-8") for p in (STUBS / "sonvex_rs").iterdir()}
    assert sorted(committed) == sorted(files)
    for name, text in files.items():
        assert committed[name] == text, f"{name} is stale: run tools/generate_stubs.py"


_ROW = "COMMAND(CallHold, call_hold, call_hold, REQ(resource_id, U32))\n"


@pytest.mark.parametrize("text", [
    _ROW.replace("U32", "U31"),                                   # unknown kind
    _ROW.replace("REQ(resource_id, U32)", "REQ(resource_id, U32, 3)"),  # wrong arity
    _ROW.replace("REQ(", "REQUIRED("),                            # unknown field form
    _ROW + "CallAnswer\n" + _ROW.replace("CallHold", "CallAnswer"),  # text between rows
    _ROW + _ROW.replace("CallHold,", "CallRetrieve,"),              # factory name twice
    _ROW.replace("COMMAND", "LOGIN_COMMAND"),                     # unknown row form
    _ROW.replace("U32))", "U32)"),                                # unbalanced parentheses
], ids=["kind", "arity", "form", "stray-text", "duplicate", "row-form", "parens"])
def test_catalogue_reader_refuses_what_it_cannot_read(text):
    generate_stubs.read_catalogue(_ROW)  # the row itself is fine
    with pytest.raises(generate_stubs.CatalogueError):
        generate_stubs.read_catalogue(text)


def test_stubtest_finds_no_difference(tmp_path):
    result = _stubtest(tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "Success: no issues found in 3 modules" in output
    # 54 variant and 54 payload classes, Channels, ECM and the four constant classes.
    assert f"checked {2 * len(ROWS) + 6} @type_check_only classes: 0 errors" in output


def test_stubtest_reports_drift(tmp_path):
    """Edited stubs are caught, in module classes and @type_check_only ones alike."""
    stubs = tmp_path / "stubs"
    shutil.copytree(STUBS, stubs)
    edits = {
        "client.pyi": [("def call_hold(self, resource_id:", "def call_hold(self, rid:")],
        "commands.pyi": [("    def __len__(self) -> int: ...\n",
                          "    def __len__(self) -> int: ...\n    def clear(self) -> None: ...\n"),
                         ("class Command_Quit(Command):\n",
                          "class Command_Quit(Command):\n    payload: int\n")],
        "__init__.pyi": [("    Stereo: ClassVar[Channels]\n", "    Quad: ClassVar[Channels]\n")],
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
        "sonvex_rs.client.SonvexClient.call_hold is inconsistent",
        "sonvex_rs.commands.Command_ProtocolVersion.clear is not present at runtime",
        "sonvex_rs.commands.Command_Quit.payload is not present at runtime",
        "sonvex_rs.Channels.Stereo is not present in stub",
        "sonvex_rs.Channels.Quad is not present at runtime",
    ]:
        assert reported in output


def test_typed_example_passes_strict_mypy(tmp_path):
    result = _mypy(tmp_path, "--strict", str(EXAMPLE))
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


@pytest.mark.parametrize("name", sorted(MISUSE))
def test_mypy_refuses_misuse(misuse_report, name):
    expected = MISUSE[name][1]
    assert any(expected in message for message in misuse_report[name]), misuse_report[name]


def test_typed_example_runs(server):
    result = subprocess.run(
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
