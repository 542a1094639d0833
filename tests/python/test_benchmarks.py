"""The benchmarks still run: each in its quick mode, under this
interpreter, against the servers it starts itself. Their figures are
not checked (speed belongs to the benchmarks, not to tests); what they
counted and the shape of their report are."""

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

# Child processes and a C helper built with cc: left out of the quick loop.
pytestmark = [pytest.mark.slow,
              pytest.mark.skipif(shutil.which("cc") is None, reason="needs cc")]

BENCHMARKS = Path(__file__).resolve().parents[2] / "benchmarks"


def run(script, *options):
    out = subprocess.run([sys.executable, str(BENCHMARKS / script), *options], check=True,
                         stdout=subprocess.PIPE, timeout=600).stdout
    return out.decode()


def test_flows_quick_counts_every_command_of_every_way():
    results = json.loads(run("bench_flows.py", "--quick", "--wakes", "--json").splitlines()[-1])
    assert results["server"]["lines_per_second"] > 0
    rows = [(row["mode"], row["n"], sorted(row["rounds"])) for row in results["rows"]]
    assert rows == [("async", 1, ["py-async", "tap-async"]),
                    ("async", 10, ["py-async", "tap-async"]),
                    ("thread", 1, ["py-thread", "tap-thread"]),
                    ("thread", 4, ["py-thread", "tap-thread"])]
    for row in results["rows"]:
        for way, (result,) in row["rounds"].items():
            # 200 asked for: whole cycles of four commands per flow.
            flows = row["n"]
            assert result["commands"] == flows * 4 * -(-200 // (4 * flows)), (way, result)
            assert result["p50_us"] <= result["p99_us"]
            # Only the tap's ways count their wake-ups.
            assert (result["wakes_per_command"] is None) == way.startswith("py"), (way, result)
            if way == "tap-async" and row["n"] == 10:
                # Ten flows: answers are handed to their waits, which the
                # count must see (a wait that finds its answer on its first
                # look is not woken, but not all 200 do).
                assert result["wakes_per_command"] > 0, result


def test_flows_report_names_each_way_and_the_server_ceiling():
    report = run("bench_flows.py", "--async-flows", "3", "--thread-flows", "--commands", "24",
                 "--rounds", "2")
    assert "ceiling" in report
    rows = [line.split()[:2] for line in report.splitlines()
            if line.split()[:1] in (["tap-async"], ["py-async"])]
    assert rows == [["tap-async", "3"], ["py-async", "3"]]


def test_fake_server_benchmark_runs_with_the_shared_helpers():
    report = run("bench_fake_server.py", "--conns", "1", "--warmup", "0.1", "--seconds", "0.2",
                 "--rounds", "1")
    assert report.splitlines()[2].split()[0] == "1"
