"""The wheels (scripts/wheels.sh) compile the module's sources as one
translation unit, CMake's unity build; the development builds compile each
alone. Two sources that each define the same internal name, or one that
leans on another's includes the other way round, build here but break every
wheel: this finds it in seconds, before the wheel stage."""

import json
import shlex
import subprocess
import sys
from pathlib import Path

import helpers

ROOT = Path(__file__).resolve().parents[2]
BIN = Path(sys.executable).parent  # the environment's CMake and Ninja, as setup.sh installs them


def test_the_module_sources_compile_as_one_unit(tmp_path):
    configure = helpers.run([str(BIN / "cmake"), "-S", str(ROOT), "-B", str(tmp_path), "-G", "Ninja",
                             f"-DCMAKE_MAKE_PROGRAM={BIN / 'ninja'}", f"-DPython_EXECUTABLE={sys.executable}",
                             "-DCMAKE_UNITY_BUILD=ON", "-DCMAKE_UNITY_BUILD_BATCH_SIZE=0",
                             "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=300)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    commands = json.loads((tmp_path / "compile_commands.json").read_text())
    module = [c for c in commands if "/sonvex_rs.dir/" in c["output"]]
    # The whole module in one unit, which includes every source of it.
    assert len(module) == 1 and "/Unity/" in module[0]["file"], [c["file"] for c in module]
    unit = Path(module[0]["file"]).read_text()
    for source in ["src/module.cpp", "src/frame/binding.cpp", "src/client/client.cpp",
                   "src/commands/factories.cpp"]:
        assert f'{ROOT / source}"' in unit, unit
    result = helpers.run([*shlex.split(module[0]["command"]), "-fsyntax-only"],
                         cwd=module[0]["directory"], capture_output=True, text=True,
                         stdin=subprocess.DEVNULL, timeout=600)
    assert result.returncode == 0, result.stderr
