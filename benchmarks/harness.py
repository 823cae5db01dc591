"""Ratio benchmarks: the native code against a plain-Python baseline, the same
baseline compiled with Cython, and a floor, measured interleaved in one run
(best of N), so machine noise cancels out."""
from __future__ import annotations

import importlib.util
import json
import os
import pathlib
import platform
import sys
import time
from dataclasses import dataclass
from typing import Callable, Optional


@dataclass
class Case:
    name: str
    native: Callable[[], object]
    baseline: Optional[Callable[[], object]] = None   # same job in plain Python
    compiled: Optional[Callable[[], object]] = None   # that baseline compiled with Cython
    floor: Optional[Callable[[], object]] = None      # the least any implementation must do
    min_speedup: Optional[float] = None     # goal: baseline time / native time >= this
    max_floor_ratio: Optional[float] = None  # goal: native time / floor time <= this
    max_seconds: Optional[float] = None     # goal: native wall time <= this
    repeats: int = 7


@dataclass
class Result:
    case: Case
    native: float
    baseline: Optional[float]
    floor: Optional[float]
    compiled: Optional[float] = None

    @property
    def speedup(self):
        return self.baseline / self.native if self.baseline else None

    @property
    def compiled_speedup(self):
        return self.compiled / self.native if self.compiled else None

    @property
    def floor_ratio(self):
        return self.native / self.floor if self.floor else None

    @property
    def met(self):
        c = self.case
        return all([
            c.min_speedup is None or self.speedup >= c.min_speedup,
            c.max_floor_ratio is None or self.floor_ratio <= c.max_floor_ratio,
            c.max_seconds is None or self.native <= c.max_seconds,
        ])

    def goal_text(self):
        c = self.case
        parts = []
        if c.min_speedup is not None:
            parts.append(f">= {c.min_speedup:g}x baseline")
        if c.max_floor_ratio is not None:
            parts.append(f"<= {c.max_floor_ratio:g}x floor")
        if c.max_seconds is not None:
            parts.append(f"<= {c.max_seconds:g} s")
        return ", ".join(parts)


def _time(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def measure(case: Case) -> Result:
    runs = [(k, f) for k, f in (("native", case.native), ("baseline", case.baseline), ("compiled", case.compiled),
                                ("floor", case.floor)) if f]
    best = {k: float("inf") for k, _ in runs}
    for _ in range(case.repeats):
        for kind, fn in runs:  # interleaved: each round times every variant once
            best[kind] = min(best[kind], _time(fn))
    return Result(case, best["native"], best.get("baseline"), best.get("floor"), best.get("compiled"))


def speed_text(ratio: float) -> str:
    """baseline time / native time in words: "3.4x faster", "1.43x slower".

    Near parity two decimals, so that 0.97 does not read as "1.0x"."""
    factor, word = (ratio, "faster") if ratio >= 1 else (1 / ratio, "slower")
    return f"{factor:.2f}x {word}" if factor < 2 else f"{factor:.1f}x {word}"


def table(results) -> str:
    head = f"Python {platform.python_version()} ({platform.machine()}), best of N, interleaved"
    rows = [("benchmark", "native", "vs baseline", "vs Cython", "vs floor", "goal", "met")]
    for r in results:
        rows.append((
            r.case.name,
            f"{r.native * 1e3:.2f} ms",
            speed_text(r.speedup) if r.speedup else "-",
            speed_text(r.compiled_speedup) if r.compiled_speedup else "-",
            f"{r.floor_ratio:.2f}x floor" if r.floor_ratio else "-",
            r.goal_text() or "-",
            "yes" if r.met else "NO",
        ))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = [head, ""]
    for i, row in enumerate(rows):
        lines.append("| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |")
        if i == 0:
            lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


COMPILED_DIR = pathlib.Path(__file__).resolve().parents[1] / "build" / "bench-cython" / sys.implementation.cache_tag


def compiled(source_module):
    """The Cython-compiled copy of a baseline module (benchmarks/cythonize.py
    builds it), or None when it was not built: its column then shows "-"."""
    stem = pathlib.Path(source_module.__file__).stem
    name = f"compiled_{stem}"
    if name in sys.modules:
        return sys.modules[name]
    found = sorted(COMPILED_DIR.glob(name + ".*.so")) if COMPILED_DIR.is_dir() else []
    if not found:
        return None
    spec = importlib.util.spec_from_file_location(name, found[0])
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def main(cases):
    results = [measure(c) for c in cases]
    print(table(results))
    if os.environ.get("BENCH_JSON"):  # for ab.py: the raw times
        with open(os.environ["BENCH_JSON"], "w") as out:
            json.dump([{"name": r.case.name, "native": r.native, "baseline": r.baseline, "compiled": r.compiled,
                        "floor": r.floor} for r in results], out)
    return 0 if all(r.met for r in results) else 1


if __name__ == "__main__":
    sys.exit("run benchmarks/run.py or a bench_*.py file")
