"""The shipped type stubs: strict use from a script, and agreement with the runtime modules."""
import ast
import importlib.util
import os
from pathlib import Path

import pytest

import support

TESTS = Path(__file__).parent
TYPING = TESTS / "typing"
STUBS = TESTS.parent / "src" / "korrin" / "utils"
MODULES = [f"korrin.utils.{name}" for name in support.MODULES]

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed (it comes with the test extra)"
)


def run(args, tmp_path, **env):
    """Run the venv's python with `args`; mypy's cache stays out of the work tree."""
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "mypy_cache"), **env}
    return support.run_python(None, *args, cwd=TESTS.parent, env=env, timeout=600)


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
    ("summary", "    def print(self) -> None:", "    @classmethod\n    def print(cls) -> None:",
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


# Objects that lack what the modules use are rejected, each with the member
# it lacks. One mypy run checks them all: every case is a function of its own.
WRONG_OBJECTS = {
    "testbed-without-find_devices": (
        "class T:\n    def __init__(self) -> None:\n        self.devices: dict[str, Device] = {}\n"
        "profile.Profile.learn_features(['bgp'], T())",
        'expected "Testbed"', "find_devices"),
    "device-without-alias": (
        "class D:\n    name = 'R1'\nprofile.asynchronous_profile(D(), 'bgp', {}, {'bgp': {}})",
        'expected "Device"', "alias"),
    "device-name-for-device": (
        "profile.asynchronous_profile('R1', 'bgp', {}, {'bgp': {}})", 'expected "Device"', None),
    "container-without-failed": (
        "class S:\n    def passed(self, reason: Any = None, from_exception: Any = None, goto: Any = None) -> None: ...\n"
        "timeout.TempResult(S())",
        'expected "ResultContainer | None"', None),
    "testscript-without-pts_features": (
        "class S:\n    parameters: dict[str, Any] = {'learnt_dict': {}}\n"
        "profile.Profile.learn_features(['bgp'], testbed, testscript=S())",
        'expected "TestScript | None"', "pts_features"),
    "pts-devices-as-text": (
        "entry: PtsEntry = {'devices': 'R1'}", 'TypedDict item "devices" has type "list[str]"', None),
    "pts-misspelt-key": (
        "profile.Profile.learn_features(['bgp'], testbed, pts_data={'bgp': {'device': ['R1']}})",
        'expected "str": "PtsEntry | list[str]"', None),
    # One text where names go: code that iterates it gets single letters.
    "config-exclude-as-text": (
        "config.Config('end', exclude='end')", 'expected "NameCollection | Iterator[str] | None"', None),
    "features-as-text": (
        "profile.Profile.learn_features('bgp', testbed)", 'expected "NameCollection | Iterator[str]"', None),
    "pts-features-as-text": (
        "class S:\n    parameters: dict[str, Any] = {'learnt_dict': {}}\n    pts_features = 'bgp'\n"
        "profile.Profile.learn_features(['bgp'], testbed, testscript=S())",
        'pts_features: expected "NameCollection", got "str"', None),
    # Every leaf of a configuration tree is a dict, never the line's text.
    "config-leaf-as-text": (
        "config.Config('hostname R1').config['hostname R1'].split()", 'has no attribute "split"', None),
}


@pytest.fixture(scope="module")
def wrong_object_errors(tmp_path_factory):
    """mypy --strict's messages for the cases, by case name."""
    tmp = tmp_path_factory.mktemp("wrong")
    lines = ["from typing import TYPE_CHECKING, Any", "from korrin.sim import Device, Testbed",
             "from korrin.utils import config, profile, timeout", "if TYPE_CHECKING:",
             "    from korrin.utils.profile import PtsEntry"]
    owner = {}
    for name, (code, _, _) in WRONG_OBJECTS.items():
        lines.append(f"def case_{name.replace('-', '_')}(testbed: Testbed) -> None:")
        for line in code.splitlines():
            lines.append("    " + line)
            owner[len(lines)] = name
    (tmp / "wrong.py").write_text("\n".join(lines) + "\n")
    proc = run(["-m", "mypy", "--strict", "--no-pretty", str(tmp / "wrong.py")], tmp)
    found = {name: [] for name in WRONG_OBJECTS}
    for line in proc.stdout.splitlines():
        parts = line.split(":", 3)
        if len(parts) == 4 and parts[1].isdigit():
            found.setdefault(owner.get(int(parts[1]), "elsewhere"), []).append(parts[3].strip())
    return found


@pytest.mark.parametrize("name", WRONG_OBJECTS)
def test_wrong_objects_are_rejected(name, wrong_object_errors):
    _, message, member = WRONG_OBJECTS[name]
    assert wrong_object_errors.get("elsewhere") is None, wrong_object_errors["elsewhere"]
    errors = wrong_object_errors[name]
    assert any(message in error for error in errors), errors
    if member:
        assert member in errors, errors


def undocumented(tree, prefix=""):
    """Qualified names of the classes and functions under `tree` without a docstring."""
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            name = prefix + node.name
            protocol = isinstance(node, ast.ClassDef) and any(
                getattr(base, "id", None) == "Protocol" for base in node.bases)
            if ast.get_docstring(node) is None and not (node.name.startswith("_") and not prefix):
                yield name
            if isinstance(node, ast.ClassDef) and not protocol:
                yield from undocumented(node, name + ".")


# The stubs carry the documentation (runtime help() stays terse): every
# module, class, function and method of the interface has a docstring.
@pytest.mark.parametrize("stub", sorted(p.name for p in STUBS.glob("*.pyi")))
def test_stubs_document_every_callable(stub):
    tree = ast.parse((STUBS / stub).read_text())
    assert ast.get_docstring(tree), f"{stub}: no module docstring"
    assert list(undocumented(tree)) == []
