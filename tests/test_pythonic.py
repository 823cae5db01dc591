"""Every class, method and function of the five modules, held against its
plain-Python twin (tests/support.py): combining bases, pickling and copying,
pydoc, and the attributes that tools read from a function."""
import copy
import importlib
import inspect
import itertools
import pickle
import pydoc
import re
import weakref

import pytest

from support import (CLASSES, DOCS, FUNCTIONS, MODULES, TESTS, USE_EVERY_MODULE, assert_same_binding_errors,
                     plain_function, run_python, twin_module, type_error_text)

NAMES = list(CLASSES)
KINDS = {"native": {n: importlib.import_module(f"korrin.utils.{n}") for n in NAMES},
         "twin": {n: twin_module(n) for n in NAMES}}
CLASS_NAMES = [(m, c) for m in NAMES for c in CLASSES[m]]
CLASSES_BY_NAME = {c: members for m in NAMES for c, (_, members) in CLASSES[m].items()}
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def cls_of(kind, module, name):
    return getattr(KINDS[kind][module], name)


# Instances made through the public API only, each with some state of its own.
def make(cls):
    name = next(c.__name__ for c in cls.__mro__ if c.__name__ in CLASSES_BY_NAME)
    if name in ("Summary", "TriggerSummary"):
        box = cls("title", 40)
        box.add_message("a message", level="error")
        return box
    if name == "TempResult":
        result = cls()
        result.failed("not yet", goto=["cleanup"])
        return result
    if name == "Config":
        config = cls("interface Ethernet1\n mtu 9216\n", exclude=["x"])
        config.tree()
        return config
    return {"Msg": lambda: cls("| text |", "error"), "Timeout": lambda: cls(30, 5), "Profile": cls}[name]()


def state(value):
    """A value with every instance of the module's classes replaced by its attributes."""
    if isinstance(value, (list, tuple)):
        return [state(v) for v in value]
    if any(c.__name__ in CLASSES_BY_NAME for c in type(value).__mro__):
        return type(value).__name__, {k: state(v) for k, v in vars(value).items()}
    return value


def clean(text):
    return text and inspect.cleandoc(text)


def doc(function):
    return clean(function.__doc__)


# ------------------------------------------------------------------ classes

BUILTIN_BASES = [dict, list, int, Exception]
PAIRS = list(itertools.combinations(CLASS_NAMES, 2)) + [(c, b) for c in CLASS_NAMES for b in BUILTIN_BASES]


def combine(kind, first, second):
    bases = tuple(cls_of(kind, *b) if isinstance(b, tuple) else b for b in (first, second))
    combined = type("X", bases, {})
    instance = combined.__new__(combined)
    instance.extra = 1
    weakref.ref(instance)
    return [c.__name__ for c in combined.__mro__]


@pytest.mark.parametrize("first, second", PAIRS, ids=lambda b: b[1] if isinstance(b, tuple) else b.__name__)
def test_bases_combine_as_with_python_classes(first, second):
    results = {}
    for kind in KINDS:
        try:
            results[kind] = combine(kind, first, second)
        except Exception as error:
            results[kind] = type(error), str(error)
    assert results["native"] == results["twin"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module, name", CLASS_NAMES)
def test_no_new_of_their_own(kind, module, name):
    cls = cls_of(kind, module, name)
    assert "__new__" not in vars(cls)
    sub = type("Sub", (cls,), {})
    assert type(object.__new__(sub)) is sub and state(make(sub))[1].keys() == state(make(cls))[1].keys()


# A class statement's class taking constructor arguments is itself left
# unusable once its patched __new__ is deleted; the native classes must do
# exactly what their twins do. Patching breaks the class for good, hence the
# subprocess.
PATCH_NEW = """
import pytest, test_pythonic as t
from support import outcome


# Whether making an instance worked, or the type and text of the error, in a
# form the parent can read back.
def making(cls):
    kind, value = outcome(lambda: t.make(cls))
    return "ok" if kind == "returned" else (kind.__name__, value)


outcomes = {}
for kind in t.KINDS:
    for module, name in t.CLASS_NAMES:
        cls = t.cls_of(kind, module, name)
        made = []
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(cls, "__new__", lambda c, *a, **k: made.append(c) or object.__new__(c))
            t.make(cls)
        outcomes[kind, name] = made == [cls], "__new__" in vars(cls), making(cls)
print(repr(outcomes))
"""


def test_new_patched_and_restored_as_python_does():
    proc = run_python(PATCH_NEW)
    assert proc.returncode == 0, proc.stderr
    outcomes = eval(proc.stdout)
    for _, name in CLASS_NAMES:
        assert outcomes["native", name] == outcomes["twin", name], name


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module, name", CLASS_NAMES)
def test_instances_pickle_and_copy(kind, module, name):
    instance = make(cls_of(kind, module, name))
    clones = [pickle.loads(pickle.dumps(instance, p)) for p in PROTOCOLS]
    clones += [copy.copy(instance), copy.deepcopy(instance)]
    for clone in clones:
        assert type(clone) is type(instance) and state(clone) == state(instance)
    assert clones[-1].__dict__ is not instance.__dict__


def pydoc_entries(cls):
    """For each member documented: the section it is under and its first line."""
    entries, header = {}, None
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    for line in text.splitlines():
        line = line.removeprefix(" |  ")
        if re.fullmatch(r"[A-Z][\w ]+:", line):
            header = line
        elif (found := re.match(r"\w+", line)) and found[0] in CLASSES_BY_NAME[cls.__name__]:
            entries[found[0]] = header, line
    return entries



@pytest.mark.parametrize("module, name", CLASS_NAMES)
def test_pydoc_lists_methods_as_python_does(module, name):
    native, twin = (cls_of(kind, module, name) for kind in KINDS)
    entries, members = pydoc_entries(native), CLASSES_BY_NAME[name]
    # Python's own classmethods do show "from builtins.type" on 3.11.
    assert not [line for member, (_, line) in entries.items()
                if "builtins.type" in line and not members[member].startswith("cls")]
    # pydoc leaves out private names, as it does for the twin.
    assert entries == pydoc_entries(twin) and set(entries) == {m for m in members if not re.match(r"_[^_]", m)}


# ------------------------------------------------------------------ methods

METHODS = [(m, c, f) for m, c in CLASS_NAMES for f, p in CLASSES[m][c][1].items() if f != "timeout"
           and not p.startswith("cls")]
CLASSMETHODS = [(m, c, f) for m, c in CLASS_NAMES for f, p in CLASSES[m][c][1].items() if p.startswith("cls")]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module, cls, name", METHODS)
def test_methods_are_functions(kind, module, cls, name):
    cls = cls_of(kind, module, cls)
    qualname = f"{cls.__name__}.{name}"
    method = getattr(cls, name)
    assert not isinstance(getattr(method, "__self__", None), type)
    assert (method.__name__, method.__qualname__, method.__module__, doc(method)) == \
        (name, qualname, cls.__module__, clean(DOCS.get(qualname)))
    assert "of type object" not in repr(method) and qualname in repr(method)
    first, *rest = inspect.signature(method).parameters.values()
    assert (first.name, first.kind) == ("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)
    assert all(pickle.loads(pickle.dumps(method, p)) is method for p in PROTOCOLS)

    instance = make(cls)
    bound = getattr(instance, name)
    assert bound.__self__ is instance and bound.__func__ is method
    assert list(inspect.signature(bound).parameters.values()) == rest
    for p in PROTOCOLS:
        loaded = pickle.loads(pickle.dumps(bound, p))
        assert state(loaded.__self__) == state(instance) and loaded.__func__ is method


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module, cls, name", CLASSMETHODS)
def test_classmethods_stay_classmethods(kind, module, cls, name):
    cls = cls_of(kind, module, cls)
    assert isinstance(inspect.getattr_static(cls, name), classmethod)
    method = getattr(cls, name)
    assert method.__self__ is cls and method.__func__.__qualname__ == f"{cls.__name__}.{name}"
    assert method.__func__.__module__ == cls.__module__
    assert next(iter(inspect.signature(method.__func__).parameters)) == "cls"
    assert "cls" not in inspect.signature(method).parameters
    assert all(pickle.loads(pickle.dumps(method, p)) == method for p in PROTOCOLS)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("module, name", [(m, f) for m in NAMES for f in FUNCTIONS[m]])
def test_functions_pickle_by_name(kind, module, name):
    module = KINDS[kind][module]
    function = getattr(module, name)
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, module.__name__)
    assert "of type object" not in repr(function) and doc(function) == clean(DOCS.get(name))
    assert all(pickle.loads(pickle.dumps(function, p)) is function for p in PROTOCOLS)


# ------------------------------------------------------- the declared surface

def test_surface_declared_for_every_module_built():
    sources = TESTS.parent / "src" / "korrin" / "utils"
    assert sorted(CLASSES) == sorted(FUNCTIONS) == sorted(MODULES)
    assert sorted(p.stem for p in sources.glob("*.cpp")) == sorted(MODULES)
    assert all((sources / f"{m}.pyi").exists() for m in MODULES)


# Arguments that build an instance of each class; methods are also bound to one.
INSTANCE_ARGS = {"Summary": ("t", 30), "TriggerSummary": ("t", 30), "Msg": ("m",), "Timeout": (1, 1),
                 "Config": ("x",)}
MEMBERS = [(m, c, f, p) for m, c in CLASS_NAMES for f, p in CLASSES[m][c][1].items() if f != "timeout"] + \
          [(m, None, f, p) for m in NAMES for f, p in FUNCTIONS[m].items()]


def without_first(params):
    return params.partition(",")[2].strip()


@pytest.mark.parametrize("module, cls, name, params", MEMBERS,
                         ids=[".".join(filter(None, (m, c, f))) for m, c, f, _ in MEMBERS])
def test_signature_doc_and_binding_errors(module, cls, name, params):
    """Each native callable has the declared signature and docstring, and
    every bad call, unbound or bound, fails with the plain-Python text."""
    owner = cls_of("native", module, cls) if cls else KINDS["native"][module]
    qualname = f"{cls}.{name}" if cls else name
    member = getattr(owner, name)
    classmethod_ = params.startswith("cls")
    shown = without_first(params) if classmethod_ else params
    assert str(inspect.signature(member)) == f"({shown})"
    assert member.__doc__ == DOCS.get(qualname)
    if not cls or classmethod_:
        assert_same_binding_errors(member, qualname, params, is_method=classmethod_)
        return
    assert_same_binding_errors(member, qualname, params)
    if name == "__init__":
        # The class and every subclass that inherits its constructor.
        callers = [cls_of("native", module, c) for c, (base, members) in CLASSES[module].items()
                   if c == cls or (base == cls and "__init__" not in members)]
        for caller in callers:
            assert str(inspect.signature(caller)) == f"({without_first(params)})"
    else:
        callers = [getattr(owner(*INSTANCE_ARGS.get(cls, ())), name)]
        assert str(inspect.signature(callers[0])) == f"({without_first(params)})"
    twin = plain_function(qualname, params)
    for caller in callers:
        assert_same_binding_errors(caller, qualname, params, is_method=True)
        # Surplus positional arguments and an unknown keyword at once.
        assert type_error_text(caller, *range(5), x=1) == type_error_text(twin, None, *range(5), x=1)


# ------------------------------------------------------------------ builtins

BUILTINS_UNCHANGED = """
import builtins
before = dict(vars(builtins))
{use}
after = dict(vars(builtins))
assert after.keys() == before.keys(), sorted(after.keys() ^ before.keys())
assert all(after[k] is before[k] for k in before), [k for k in before if after[k] is not before[k]]
"""


@pytest.mark.parametrize("use", [USE_EVERY_MODULE, "builtins.extra = 1"], ids=["modules", "harness-check"])
def test_builtins_unchanged_by_the_modules(use):
    proc = run_python(BUILTINS_UNCHANGED.format(use=use))
    assert (proc.returncode == 0) == (use == USE_EVERY_MODULE), proc.stderr
