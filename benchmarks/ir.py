"""Instruction counts of one benchmark case under callgrind, which machine
noise does not move: the count of a process that runs the variant `runs`
times, less that of one that only sets it up, per run.

    python benchmarks/ir.py bench_profile 2 native [--runs 5] [--old SITE]

variant: native, baseline or compiled; --old puts an old build's modules
ahead on the path (as ab.py does)."""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

here = pathlib.Path(__file__).resolve().parent


def child(module, index, variant, runs):
    sys.path.insert(0, str(here))
    import importlib
    case = importlib.import_module(module).cases()[index]
    fn = getattr(case, variant)
    fn()  # warm: first-call caches, lazy imports
    for _ in range(runs):
        fn()


def count(module, index, variant, runs, old):
    env = dict(os.environ, PYTHONHASHSEED="0")
    if old:
        env["PYTHONPATH"] = str(pathlib.Path(old).resolve())
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__,
                        "--child", module, str(index), variant, "--runs", str(runs)],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        summary = re.search(r"^(?:summary|totals):\s+(\d+)", out.read_text(), re.M)
        return int(summary.group(1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("module")
    parser.add_argument("index", type=int)
    parser.add_argument("variant", choices=["native", "baseline", "compiled"])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--old")
    parser.add_argument("--child", action="store_true")
    args = parser.parse_args()
    if args.child:
        return child(args.module, args.index, args.variant, args.runs)
    full = count(args.module, args.index, args.variant, args.runs, args.old)
    setup = count(args.module, args.index, args.variant, 0, args.old)
    print(f"{args.module}[{args.index}] {args.variant}{' (old)' if args.old else ''}: "
          f"{(full - setup) / args.runs / 1e6:.2f} M instructions per run")


if __name__ == "__main__":
    main()
