"""Importing the module in a subinterpreter: refused with ImportError, and
the main interpreter's module stays whole, also after the subinterpreter
ended. Each way of running a subinterpreter that the interpreter offers is
tried in a child process; PyPy has none."""

import pytest

from helpers import IS_PYPY, long_mode, run_child

ROUNDS = 200 if long_mode("process") else 3

CHILD = r"""
import importlib, os, sys
api, first, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
try:
    module = importlib.import_module(api)
except ImportError:
    print("unavailable")
    sys.exit(0)
r, w = os.pipe()
CODE = '''
import os
try:
    import sonvex_rs
    os.write(%d, b"imported\\n")
except ImportError as e:
    os.write(%d, ("ImportError: %%s\\n" %% e).encode())
''' % (w, w)


def in_subinterpreter():
    if api == "_testcapi":
        module.run_in_subinterp(CODE)             # ends the subinterpreter on return
        return
    if api == "_xxsubinterpreters":
        try:
            interp = module.create(isolated=False)   # 3.12: a legacy one, like the others
        except TypeError:
            interp = module.create()
    else:
        interp = module.create("legacy")
    try:
        module.run_string(interp, CODE)
    finally:
        module.destroy(interp)


if first == "main":
    import sonvex_rs
for _ in range(rounds):
    in_subinterpreter()
    print(os.read(r, 1000).decode().strip())
import sonvex_rs
client = sonvex_rs.client.SonvexClient("127.0.0.1", None, None, None, None)
assert client.command_tag == 0
print(sonvex_rs.__all__, str(sonvex_rs.commands.Command.call_hold(4)), sonvex_rs.sum_as_string(2, 3))
"""

MESSAGE = ("ImportError: Module sonvex_rs cannot be imported in a subinterpreter: it supports the "
           "main interpreter only")


@pytest.mark.skipif(IS_PYPY, reason="PyPy has no subinterpreters")
@pytest.mark.parametrize("first", ["main", "subinterpreter"])
@pytest.mark.parametrize("api", ["_testcapi", "_xxsubinterpreters", "_interpreters"])
def test_a_subinterpreter_cannot_import_the_module(api, first):
    result = run_child(CHILD, api, first, ROUNDS)
    assert result.returncode == 0, result.stderr[-3000:]
    lines = result.stdout.decode().splitlines()
    if lines == ["unavailable"]:
        pytest.skip("no %s in this interpreter" % api)
    assert lines == [MESSAGE] * ROUNDS + ["['sum_as_string', 'client', 'commands'] CallHold 4 5"], \
        result.stderr[-3000:]
