"""Old build against new in one run: benchmarks/run.py in separate processes,
the old modules (a folder put ahead on the path) and the current ones in turns,
best time of each kept. Prints the native time of each build per benchmark,
and each build's ratios against the plain-Python and the Cython baselines."""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

here = pathlib.Path(__file__).resolve().parent


def run_once(names, old_site=None):
    env = dict(os.environ)
    if old_site:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(pathlib.Path(old_site).resolve()), env.get("PYTHONPATH")]))
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        env["BENCH_JSON"] = out.name
        subprocess.run([sys.executable, str(here / "run.py"), *names], env=env, stdout=subprocess.DEVNULL, check=False)
        return json.load(open(out.name))


def best(into, results):
    for r in results:
        slot = into.setdefault(r["name"], {})
        for key in ("native", "baseline", "compiled"):
            if r[key] is not None:
                slot[key] = min(slot.get(key, float("inf")), r[key])


def ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "-"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--old", required=True, help="folder holding korrin/utils of the old build")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("names", nargs="*", help="bench_* modules (all by default)")
    args = parser.parse_args()
    old, new = {}, {}
    for _ in range(args.rounds):
        best(old, run_once(args.names, args.old))
        best(new, run_once(args.names))
    rows = [("benchmark", "old", "new", "new/old time", "old vs plain", "new vs plain", "old vs Cython", "new vs Cython")]
    for name, n in new.items():
        o = old.get(name, {})
        # Each build's ratio against the baselines timed in its own processes;
        # the baselines do not depend on the build.
        rows.append((name, f"{o.get('native', 0) * 1e3:.2f} ms", f"{n['native'] * 1e3:.2f} ms",
                     ratio(n["native"], o.get("native")),
                     ratio(o.get("baseline"), o.get("native")), ratio(n.get("baseline"), n["native"]),
                     ratio(o.get("compiled"), o.get("native")), ratio(n.get("compiled"), n["native"])))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds, old = {args.old}")
    for i, row in enumerate(rows):
        print("| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


if __name__ == "__main__":
    main()
