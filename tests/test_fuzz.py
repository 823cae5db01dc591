"""The fuzz driver: counts per target, divergences shown and failing the run."""
import importlib.util
import re
from pathlib import Path

from hypothesis import strategies as st

from support import run_python

ROOT = Path(__file__).parents[1]
spec = importlib.util.spec_from_file_location("fuzz", ROOT / "tools" / "fuzz.py")
fuzz = importlib.util.module_from_spec(spec)
spec.loader.exec_module(fuzz)


def test_agreeing_targets_report_their_counts_and_pass():
    proc = run_python(None, "tools/fuzz.py", "--seconds", "2", "config", "symfind", cwd=ROOT, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert re.fullmatch(r"config: [1-9]\d* cases, 0 divergences\nsymfind: [1-9]\d* cases, 0 divergences\n",
                        proc.stdout)


def test_divergences_are_grouped_shown_and_fail(monkeypatch, capsys):
    planted = {"calls": [("returned", None)], "log": []}
    monkeypatch.setitem(fuzz.TARGETS, "planted", (st.integers(0, 9), lambda n: (
        planted, {"calls": [("raised", ValueError, "odd")] if n % 2 else planted["calls"], "log": [n] if n > 7 else []})))
    assert fuzz.main(["--seconds", "0.5", "planted"]) == 1
    out = capsys.readouterr().out
    cases, divergences = map(int, re.match(r"planted: (\d+) cases, (\d+) divergences\n", out).groups())
    assert 0 < divergences < cases
    assert "x calls: native returned, model raised ValueError\n" in out and "x log: length\n" in out
