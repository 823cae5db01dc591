"""Compiles every plain-Python baseline of the benchmarks with Cython (the
peer a team owning the Python code could reach without rewriting it).

Each source becomes the extension `compiled_<stem>` in build/bench-cython/<tag>/,
one folder per interpreter; harness.compiled() imports it from there."""
import pathlib
import shlex
import shutil
import subprocess
import sys
import sysconfig

here = pathlib.Path(__file__).resolve().parent
root = here.parent
SOURCES = sorted(here.glob("baselines/*_plain.py")) + [
    root / "tests" / "oracles" / f"{name}_model.py" for name in ("config", "summary", "symfind")
]


def output_dir() -> pathlib.Path:
    return root / "build" / "bench-cython" / sys.implementation.cache_tag


def build(source: pathlib.Path, out: pathlib.Path) -> pathlib.Path:
    from Cython.Compiler.Main import compile_single, CompilationOptions, default_options

    name = f"compiled_{source.stem}"
    target = out / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and target.stat().st_mtime >= source.stat().st_mtime:
        return target
    copy = out / (name + ".py")
    shutil.copyfile(source, copy)
    options = CompilationOptions(default_options, language_level=3, output_file=str(out / (name + ".c")))
    result = compile_single(str(copy), options, full_module_name=name)
    if result.num_errors:
        sys.exit(f"cython failed on {source}")
    cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
    flags = ["-shared", "-fPIC", "-O2", "-w", f"-I{sysconfig.get_paths()['include']}"]
    subprocess.run([*cc, *flags, result.c_file, "-o", str(target)], check=True)
    return target


def main():
    out = output_dir()
    out.mkdir(parents=True, exist_ok=True)
    for source in SOURCES:
        print(f"cython: {source.relative_to(root)} -> {build(source, out).relative_to(root)}")


if __name__ == "__main__":
    main()
