"""Runs every benchmarks/bench_*.py (or those named on the command line) and
prints one table."""
import importlib
import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))

import harness  # noqa: E402


def main(argv):
    names = argv or sorted(p.stem for p in here.glob("bench_*.py"))
    cases = []
    for name in names:
        cases.extend(importlib.import_module(name).cases())
    return harness.main(cases)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
