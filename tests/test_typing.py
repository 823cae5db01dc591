"""The shipped type stubs: strict use from a script, and agreement with the runtime modules."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).parent
TYPING = TESTS / "typing"
STUBS = TESTS.parent / "src" / "korrin" / "utils"
MODULES = [f"korrin.utils.{name}" for name in ("summary", "timeout", "symfind", "config", "profile")]

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed (it comes with the test extra)"
)


def run(args, tmp_path, **env):
    """Run the venv's python with `args`; mypy's cache stays out of the work tree."""
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "mypy_cache"), **env}
    return subprocess.run([sys.executable, *args], cwd=TESTS.parent, env=env,
                          capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("args", [
    ["-m", "mypy", "--strict", str(TYPING / "usage.py")],
    ["-m", "mypy.stubtest", *MODULES],
], ids=["mypy-strict-usage", "stubtest"])
def test_installed_stubs_pass(args, tmp_path):
    proc = run(args, tmp_path)
    assert proc.returncode == 0, f"{' '.join(args)} exited {proc.returncode}:\n{proc.stdout}{proc.stderr}"


def stubtest_on_copy(tmp_path, module=None, before="", after=""):
    """stubtest on a copy of the source stubs, with `before` replaced by `after` in one."""
    root = tmp_path / "stubs"
    stubs = root / "korrin" / "utils"
    stubs.mkdir(parents=True)
    # Regular packages here, so that mypy takes these stubs before the installed ones.
    (root / "korrin" / "__init__.pyi").touch()
    (stubs / "__init__.pyi").touch()
    for stub in STUBS.glob("*.pyi"):
        text = stub.read_text()
        if stub.stem == module:
            assert before in text
            text = text.replace(before, after)
        (stubs / stub.name).write_text(text)
    return run(["-m", "mypy.stubtest", *MODULES], tmp_path, MYPYPATH=str(root))


def test_source_stubs_match_runtime(tmp_path):
    proc = stubtest_on_copy(tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# A wrong stub is reported: the native functions carry enough for stubtest
# to tell methods, classmethods, parameters and defaults apart.
@pytest.mark.parametrize("module, before, after, obj, message", [
    ("summary", "    def print(self) -> None: ...", "    @classmethod\n    def print(cls) -> None: ...",
     "Summary.print", "stub is a classmethod but runtime is not"),
    ("summary", "def add_indent(self, msg: str,", "def add_indent(self, text: str,",
     "Summary.add_indent", 'stub parameter "text" differs from runtime parameter "msg"'),
    ("timeout", "def failed(self, reason: Any = None,", "def failed(self, reason: Any = 0,",
     "TempResult.failed", 'runtime parameter "reason" has a default value of None, which is different from stub parameter default 0'),
    ("profile", "    @classmethod\n    def compare(\n        cls,", "    def compare(\n        self,",
     "Profile.compare", "runtime is a classmethod but stub is not"),
    ("symfind", "def str_to_list(string: str)", "def str_to_list(string: str, strict: bool = False)",
     "str_to_list", 'runtime does not have parameter "strict"'),
], ids=["method-as-classmethod", "renamed-parameter", "wrong-default", "classmethod-as-method", "extra-parameter"])
def test_stubtest_reports_wrong_stub(module, before, after, obj, message, tmp_path):
    proc = stubtest_on_copy(tmp_path, module, before, after)
    errors = [line for line in proc.stdout.splitlines() if line.startswith("error:")]
    assert proc.returncode == 1 and errors, proc.stdout + proc.stderr
    assert all(line.startswith(f"error: korrin.utils.{module}.{obj} is inconsistent") for line in errors), errors
    assert any(line.endswith(message) for line in errors), errors
