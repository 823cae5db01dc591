"""Helpers shared by the test modules."""
import contextlib
import importlib
import importlib.util
import inspect
import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import types

import pytest

TESTS = pathlib.Path(__file__).parent
# The extension modules by name, from the list the build reads.
MODULES = [line for line in (TESTS.parent / "src" / "korrin" / "utils" / "MODULES").read_text().splitlines()
           if line and not line.startswith("#")]


ROOT = TESTS.parent
COMPILER = shutil.which("g++") or shutil.which("c++")
# The compiler runs without the sanitizers a sanitized test run preloads.
COMPILER_ENV = {k: v for k, v in os.environ.items()
                if k != "LD_PRELOAD" and not k.startswith(("ASAN_", "LSAN_", "UBSAN_"))}


def compile_glue(source, *options):
    """Runs the C++ compiler on `source` (a path) with the shared layer's and
    the interpreter's headers."""
    return subprocess.run([COMPILER, "-std=c++20", f"-I{ROOT / 'src'}", f"-I{sysconfig.get_path('include')}",
                           *options, str(source)], capture_output=True, text=True, timeout=300, env=COMPILER_ENV)


def build_probe(directory, name, source):
    """Compiles `source`, C++ defining the extension module `name` on the
    shared layer, in `directory` and imports it."""
    cpp = pathlib.Path(directory) / f"{name}.cpp"
    cpp.write_text(source)
    target = cpp.with_name(name + sysconfig.get_config_var("EXT_SUFFIX"))
    result = compile_glue(cpp, "-O1", "-shared", "-fPIC", "-o", str(target))
    assert result.returncode == 0, result.stderr[-4000:]
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def plain_function(qualname, params, body="return None", module=None, doc=None):
    """A plain-Python function with the given signature text and qualified name.

    `params` reads like a def line's parameter list, e.g. "self, msg, indent=False".
    """
    namespace = {"__name__": module}
    exec(f"def f({params}):\n    {body}", namespace)
    function = namespace["f"]
    function.__qualname__ = qualname
    function.__name__ = qualname.rpartition(".")[2]
    function.__doc__ = doc
    return function


def type_error_text(callable_, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        callable_(*args, **kwargs)
    return str(info.value)


# Calls that exercise every binder message for a callable taking
# `required` required and `optional` optional parameters (self excluded).
def bad_calls(required, optional, names):
    total = required + optional
    calls = [(tuple(range(total + 1)), {}), (tuple(range(total + 3)), {}),
             (tuple(range(required)), {"no_such_argument": 1})]
    if required:
        calls.append(((), {}))
    if required:
        calls.append((tuple(range(required)), {names[0]: 1}))
    if required > 1:
        calls.append(((), {names[-1 if not optional else required - 1]: 1}))
    return calls


def assert_same_binding_errors(native, qualname, params, is_method=False):
    """Every bad call gives the same TypeError text as the plain-Python twin."""
    twin = plain_function(qualname, params)
    names = [p.split("=")[0].strip() for p in params.split(",") if p.strip()]
    if is_method:
        names = names[1:]
    required = sum(1 for p in params.split(",")[int(is_method):] if p.strip() and "=" not in p)
    optional = len(names) - required
    for args, kwargs in bad_calls(required, optional, names):
        twin_args = (object(),) + args if is_method else args
        expected = type_error_text(twin, *twin_args, **kwargs)
        assert type_error_text(native, *args, **kwargs) == expected


def row(text, width=150):
    """A message row of a summary box of that width."""
    return f"| {text} " + "|".rjust(width - len(text) - 3)


def signature_text(callable_):
    return str(inspect.signature(callable_))


class FakeTestbed:
    """A testbed whose devices are found by name or (true) alias."""

    def __init__(self, *devices):
        self.all = devices
        self.devices = {k: d for d in devices for k in (d.name, d.alias) if k}

    def find_devices(self, aliases):
        return [d for d in self.all if d.alias in aliases]


# The public classes and functions of every module, as (base, members) and
# parameter lists; "cls" first makes a classmethod, and `timeout` of Timeout
# is a property.
RECORDING = "self, reason=None, from_exception=None, goto=None"
CLASSES = {
    "summary": {
        "Summary": (None, {
            "__init__": "self, title, width",
            "add_title_line": "self", "add_subtitle_line": "self", "add_sep_line": "self", "add_star_line": "self",
            "add_message": "self, msg, indent=False, level='info'", "add_indent": "self, msg, end=True",
            "print": "self",
            "summarize_section": "self, message, device=None, level='info', end=True",
            "summarize_profile": "self, device, diff=None, golden=False, PTS=True"}),
        "TriggerSummary": ("Summary", {
            "summarize_trigger": "self, description, info", "summarize": "self, title, message, indent=False"}),
        "Msg": (None, {"__init__": "self, msg, level='info'"}),
    },
    "timeout": {
        "Timeout": (None, {"__init__": "self, max_time, interval", "timeout": "self", "iterate": "self",
                           "sleep": "self"}),
        "TempResult": (None, {"__init__": "self, container=None",
                              **{m: RECORDING for m in
                                 ("passed", "failed", "aborted", "errored", "skipped", "blocked", "passx")},
                              "_update_result": "self, temp_result, reason, from_exception, goto",
                              "result": "self"}),
    },
    "symfind": {},
    "config": {"Config": (None, {"__init__": "self, output, exclude=None", "tree": "self"})},
    "profile": {"Profile": (None, {
        "compare": "cls, compare1, compare2, pts_data=None, testbed=None, verf_data=None",
        "learn_features": "cls, features, testbed, pts_data=None, current_instance=None, testscript=None, "
                          "file=None, location=None, pts_name=None"})},
}
FUNCTIONS = {
    "summary": {}, "timeout": {}, "config": {},
    "symfind": {"load_attribute": "pkg, attr_name, device=None", "str_to_list": "string",
                "structure_verifier": "string, data"},
    "profile": {"load_datafile": "datafile, cls", "asynchronous_profile": "device, feature, pts_data, learnt_dict",
                "unpickle": "file", "pickle": "pts, location=None, pts_name=None",
                "summarize_comparison": "summarized_dict, passed_feature=None, print_not_compared=True",
                "pickle_traffic": "tgn_profile, location=None, tgn_profile_name=None",
                "unpickle_traffic": "file", "unpickle_stream_data": "file, copy=False, copy_file=None"},
}
DOCS = {
    "Timeout.__init__": "max_time is in seconds\ninterval is in second\n\n"
                        "Try up to max_time seconds, and between interval wait interval\nseconds",
    "Summary.summarize_section": "Build a summary section as per the provided info",
    "Summary.summarize_profile": "Summarize PTS",
    "TriggerSummary.summarize_trigger": "Build a summary table for the trigger",
    "TriggerSummary.summarize": "Build a summary table as per the provided info",
    "asynchronous_profile": "Use asynchronous execution when profiling features on devices",
    "unpickle": "Unpickle file; Used for Golden profile",
    "pickle": "Pickle file; Used for Golden profile",
    "summarize_comparison": "Summarize the features comparison",
    "pickle_traffic": "Dump traffic profile to runtime directory",
    "unpickle_traffic": "Unpacks traffic profile and returns a prettytable object",
    # As a def's docstring: its continuation lines keep their indentation.
    "unpickle_stream_data": "Unpacks file containing traffic stream data values\n"
                            "    Returns a python dictionary containing the data\n"
                            "    Copies user provided file to runtime logs if requested",
}


def twin_module(name):
    """The module `name` written in plain Python: its classes as a class
    statement makes them, constructors that keep their arguments as instance
    attributes, other bodies empty. Registered in sys.modules, so that its
    classes, functions and instances pickle by name."""
    module = types.ModuleType(f"twin_{name}")
    for cls_name, (base, members) in CLASSES[name].items():
        namespace = {"__module__": module.__name__, "__qualname__": cls_name}
        for member, params in members.items():
            qualname = f"{cls_name}.{member}"
            body = "; ".join(f"self.{p.split('=')[0].strip()} = {p.split('=')[0].strip()}"
                             for p in params.split(",")[1:]) if member == "__init__" else "return None"
            function = plain_function(qualname, params, body or "return None", module.__name__, DOCS.get(qualname))
            wrap = classmethod if params.startswith("cls") else property if member == "timeout" else None
            namespace[member] = wrap(function) if wrap else function
        bases = (getattr(module, base),) if base else ()
        setattr(module, cls_name, type(cls_name, bases, namespace))
    for function, params in FUNCTIONS[name].items():
        setattr(module, function, plain_function(function, params, module=module.__name__, doc=DOCS.get(function)))
    sys.modules[module.__name__] = module
    return module


class FakeDiff:
    """Stands in for the framework's Diff: differs when the two snapshots
    differ. A subclass that sets `made` to a list records every instance."""

    made = None

    def __init__(self, a, b, exclude):
        self.a, self.b, self.exclude, self.diffs = a, b, exclude, []
        if self.made is not None:
            self.made.append(self)

    def findDiff(self):
        self.diffs = [] if self.a == self.b else [(self.a, self.b)]

    def __str__(self):
        return f"-{self.a}\n+{self.b}"


class RecordingLogger:
    """Stands in for a module's logger: every call kept as (level, message) in
    `calls`, which may be a list shared with other recorders."""

    def __init__(self, calls=None):
        self.calls = [] if calls is None else calls

    def info(self, msg):
        self.calls.append(("info", msg))

    def error(self, msg):
        self.calls.append(("error", msg))

    def warning(self, msg):
        self.calls.append(("warning", msg))

    def debug(self, msg):
        self.calls.append(("debug", msg))


# Each module imported and used where no fork is needed; run as a script of
# its own (a subprocess, a subinterpreter), it fails on the first wrong result.
USE_EVERY_MODULE = """
from types import SimpleNamespace
import korrin.utils.summary as summary
import korrin.utils.timeout as timeout
import korrin.utils.symfind as symfind
import korrin.utils.config as config
import korrin.utils.profile as profile

rows = []
summary.logger = SimpleNamespace(info=rows.append, error=rows.append)
box = summary.Summary("title", 30)
box.add_message(box.add_indent("a message long enough to be wrapped on two rows"))
box.add_sep_line()
box.print()
assert len(rows) == 7 and {len(r) for r in rows} == {30}, rows

assert list(symfind.str_to_list("[info][(.*)][2]")) == ["info", "(.*)", 2]
assert symfind.structure_verifier("[info][(.*)]", None) is None

running = config.Config("interface Ethernet1\\n mtu 9216\\n")
running.tree()
assert running.config == {"interface Ethernet1": {"mtu 9216": {}}}, running.config

clock = iter(range(100))
timeout.time = SimpleNamespace(time=lambda: next(clock), sleep=lambda seconds: None)
polling = timeout.Timeout(3, 1)
attempts = 0
while polling.iterate():
    attempts += 1
    polling.sleep()
reported = []
result = timeout.TempResult(SimpleNamespace(failed=lambda **kw: reported.append(kw)))
result.passed("first")
result.failed("last")
result.result()
assert attempts > 0 and reported == [{"reason": "last", "from_exception": None}], (attempts, reported)

""" + inspect.getsource(FakeDiff) + """
profile.Diff = FakeDiff
profile.log = SimpleNamespace(info=lambda *a: None)
verdict = profile.Profile.compare({"bgp": {"uut": 1, "r2": 1}}, {"bgp": {"uut": 2, "r2": 1}}, pts_data={"x": {}},
                                  testbed=SimpleNamespace(devices={"uut": object(), "r2": object()}))
assert list(verdict["bgp"]["failed"]) == ["uut"] and list(verdict["bgp"]["passed"]) == ["r2"], verdict
"""


# Pieces of text that reach every rule of the standard wrapper: hyphens inside
# words, at their edges and in runs; digits and other word characters (a
# letter there is \w but not a decimal digit, so "_" and "²" are letters); the
# punctuation allowed before an em-dash; Unicode letters, digits and blanks
# that str.strip removes but the splitter keeps; the six characters it splits
# on; astral characters and lone surrogates.
WRAP_FRAGMENTS = (
    list("abcxyzXZ019_-.,!?'\"&;:()/=@#*+") +
    ["-", "-", "--", "---", " -", "- ", " - ", "a-", "-a", "ab-", "-ab", "ab-cd", "a-b-c", "a-b", "ab--cd",
     "x.--y", "1-2", "a1-b", "ab-1", "Port-channel10", "address-family", "next-hop", "re-learnt", "10.0.0.1",
     "fe80::1", "key=value", "Zürich-naïve", "ü", "é", "ß", "İ", "²", "½", "Ⅻ", "٣", "中文", "ǅ", "Ω-Ω",
     " ", " ", "  ", "    ", "\t", "\n", "\r", "\x0b", "\x0c", "\r\n", "\xa0", "\u2003", "\u3000", "\x1c", "\x85",
     "\x00", "\U0001f600", "\U0001d400", "\ud800", "\udfff", "word", "words ", "interface"])


def wrap_rows(texts, wrap_width):
    """The rows add_message queues for `texts`, computed with the standard wrapper."""
    width = wrap_width + 4
    return ["| {msg} {l:>{width}}".format(msg=line, l="|", width=width - len(line) - 3)
            for text in texts for line in textwrap.wrap(text, wrap_width)]


def run_python(code, *args, options=(), prefix=(), timeout=300, env=None, input=None, cwd=TESTS):
    """`code` run by a fresh interpreter, by default from tests/ (so that it
    can import the test modules), with interpreter `options` before it, `args`
    as sys.argv[1:] and `prefix` in front (e.g. a command that drops
    privileges). With `code` None, `args` name what to run (a script, or -m
    and a module). A crash there fails one test instead of ending the run."""
    command = [*options, *(("-c", code) if code is not None else ()), *map(str, args)]
    return subprocess.run([*prefix, sys.executable, *command], capture_output=True, text=True, timeout=timeout,
                          cwd=cwd, env=env, input=input)


def run_script(code, *args, prefix=(), timeout=120):
    """What `code` printed last, read as JSON; a crash or an exception in it
    fails the calling test."""
    done = run_python(code, *args, prefix=prefix, timeout=timeout, cwd=None)
    assert done.returncode == 0, f"the child ended with {done.returncode}:\n{done.stderr[-3000:]}"
    return json.loads(done.stdout.splitlines()[-1])


class CollidingKey:
    """A dict key hashed as `text` that equals nothing: each lookup of `text`
    that meets it runs its __eq__, which records the other key in `calls`
    while `when()` is true."""

    def __init__(self, text, calls, when=lambda: True):
        self.text, self.calls, self.when = text, calls, when

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if self.when():
            self.calls.append(other)
        return False


def plain_compare():
    """A fresh copy of the plain-Python Profile.compare that the benchmarks
    measure against (benchmarks/baselines/profile_plain.py); its collaborators
    are module globals for the caller to set."""
    path = pathlib.Path(__file__).resolve().parents[1] / "benchmarks" / "baselines" / "profile_plain.py"
    spec = importlib.util.spec_from_file_location("profile_plain_twin", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def outcome(action):
    """What `action()` gives: ("returned", its result), or the type and text
    of what it raised."""
    try:
        return "returned", action()
    except Exception as error:  # noqa: BLE001 - any difference counts
        return type(error), str(error)


# Stand-ins for textwrap's functions: each changes what textwrap gives for
# ordinary text. A code object swapped into a function must have as many free
# variables as the function (none), so these use no closures.
def _chopped(text, width=70, **kwargs):
    return [text[i:i + width] for i in range(0, len(text), width)]


def _reversed_text(self, text):
    return [text[::-1][:self.width]]


def _words_only(self, chunks):
    return [chunk for chunk in chunks if chunk.strip()]


def _characters(self, text):
    return list(text)


def _upper(self, text):
    return text.upper()


def _cut_long_word(self, reversed_chunks, cur_line, cur_len, width):
    cur_line.append(reversed_chunks.pop()[:width])


def _quoted_init():
    """TextWrapper.__init__ with the same parameters, quoting the first line
    and never breaking on hyphens."""
    signature = inspect.signature(textwrap.TextWrapper.__init__)
    names = list(signature.parameters)[1:]
    body = "".join(f"\n    self.{n} = {n}" for n in names)
    namespace = {}
    exec(f"def __init__{signature}:{body}\n    self.initial_indent = '> '\n    self.break_on_hyphens = False",
         namespace)
    return namespace["__init__"]


TEXTWRAP_STAND_INS = {
    "wrap": _chopped, "TextWrapper.wrap": _reversed_text, "TextWrapper._wrap_chunks": _words_only,
    "TextWrapper._split": _characters, "TextWrapper._split_chunks": _characters,
    "TextWrapper._munge_whitespace": _upper, "TextWrapper._handle_long_word": _cut_long_word,
    "TextWrapper.__init__": _quoted_init(),
}
# textwrap has treated a word too long for any line, met when the line is
# already full, in two ways: cut an empty piece off it (which keeps a blank
# chunk before it on the line) or cut nothing (the blank is dropped). Each
# variant is the running textwrap's own method with that one case decided.
def long_word_handler(empty_cut):
    handle = textwrap.TextWrapper._handle_long_word

    def _handle_long_word(self, reversed_chunks, cur_line, cur_len, width):
        if self.break_long_words and 1 <= width <= cur_len:
            if empty_cut:
                cur_line.append(reversed_chunks[-1][:0])
            return
        handle(self, reversed_chunks, cur_line, cur_len, width)
    return _handle_long_word


@contextlib.contextmanager
def fresh_summary(**wrapper_attributes):
    """korrin.utils.summary imported anew while textwrap.TextWrapper has these
    class attributes, as if that were the interpreter's own textwrap. The
    attributes and the module already imported are put back afterwards."""
    import korrin.utils
    name = "korrin.utils.summary"
    saved_module, saved_attribute = sys.modules.get(name), getattr(korrin.utils, "summary", None)
    saved = {key: textwrap.TextWrapper.__dict__[key] for key in wrapper_attributes}
    try:
        for key, value in wrapper_attributes.items():
            setattr(textwrap.TextWrapper, key, value)
        sys.modules.pop(name, None)
        yield importlib.import_module(name)
    finally:
        for key, value in saved.items():
            setattr(textwrap.TextWrapper, key, value)
        if saved_module is None:
            sys.modules.pop(name, None)
            del korrin.utils.summary
        else:
            sys.modules[name] = saved_module
            korrin.utils.summary = saved_attribute
