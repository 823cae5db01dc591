"""The modules behave as Python modules do: imported afresh after a purge of
sys.modules (the new module's globals steer the new classes, the old module
keeps its own), collected once dropped, and imported and used in isolated
subinterpreters. Each case runs in a subprocess of its own."""
import sys

import pytest

from support import MODULES, USE_EVERY_MODULE
from support import run_python as run


REIMPORT = """
import sys
from types import SimpleNamespace
import korrin.utils.summary as summary1, korrin.utils.config as config1, korrin.utils.timeout as timeout1
for name in ("korrin.utils.summary", "korrin.utils.config", "korrin.utils.timeout"):
    del sys.modules[name]
import korrin.utils.summary as summary2, korrin.utils.config as config2, korrin.utils.timeout as timeout2
assert summary2 is not summary1 and summary2.Summary is not summary1.Summary
assert config2.Config is not config1.Config and timeout2.Timeout is not timeout1.Timeout
assert summary2.TriggerSummary.__base__ is summary2.Summary

def titles(module, title):
    rows = []
    module.logger = SimpleNamespace(info=rows.append)
    module.Summary(title, 20).print()
    module.TriggerSummary(title, 20).print()
    return [row.split()[1] for row in rows[1::3]]

assert titles(summary2, "new") == ["new", "new"] and titles(summary1, "old") == ["old", "old"]

for module, decoded in ((config1, "first"), (config2, "second")):
    module.json = SimpleNamespace(loads=lambda text, decoded=decoded: decoded)
for module, decoded in ((config2, "second"), (config1, "first")):
    running = module.Config("hostname r1")
    running.tree()
    assert running.config == decoded, (module, running.config)

for module, now in ((timeout1, 10.0), (timeout2, 20.0)):
    module.time = SimpleNamespace(time=lambda now=now: now, sleep=None)
assert (timeout1.Timeout(1, 1).timeout, timeout2.Timeout(1, 1).timeout) == (11.0, 21.0)
"""


def test_reimport_after_purge_reads_the_new_globals():
    proc = run(REIMPORT)
    assert proc.returncode == 0, proc.stderr


COLLECTED = """
import gc, importlib, sys, weakref
name = {name!r}
old = importlib.import_module(name)
dropped = weakref.ref(old)
del sys.modules[name], old
new = importlib.import_module(name)
gc.collect()
assert dropped() is None, "the purged module is still alive"
assert sys.modules[name] is new
"""


# colorsys: a pure-Python module that nothing else imports, to check the harness.
@pytest.mark.parametrize("name", [f"korrin.utils.{m}" for m in MODULES] + ["colorsys"])
def test_purged_module_is_collected(name):
    proc = run(COLLECTED.format(name=name))
    assert proc.returncode == 0, proc.stderr


# Purged and imported again many times: memory stays flat, so every old
# module, its classes and its state are freed (n rounds, then 2n more).
REIMPORTED_MANY_TIMES = """
import gc, importlib, sys, tracemalloc
names = [f"korrin.utils.{m}" for m in {modules!r}]
for name in names:
    importlib.import_module(name)

def rounds(count):
    for _ in range(count):
        for name in names:
            del sys.modules[name]
        fresh = {name.rpartition(".")[2]: importlib.import_module(name) for name in names}
        fresh["summary"].Summary("t", 20).add_message("x")
        fresh["config"].Config("a\\n b").tree()
    gc.collect()
    return tracemalloc.get_traced_memory()[0]

# Caches and free lists settle over the first rounds, also once tracing starts.
rounds(30)
tracemalloc.start()
start = rounds(100)
after_n = rounds(50)
after_3n = rounds(100)
assert after_3n - after_n <= 16384, (after_n - start, after_3n - after_n)
"""


def test_modules_imported_again_and_again_keep_memory_flat():
    proc = run(REIMPORTED_MANY_TIMES.replace("{modules!r}", repr(MODULES)))
    assert proc.returncode == 0, proc.stderr


# 3.13 reports an error in the interpreter as a returned description. There,
# two isolated interpreters run one after the other, then the main one. 3.12.1
# aborts when datetime (which yaml imports) is imported again after an isolated
# interpreter has imported it, so one interpreter per process there.
ISOLATED = """
import sys
code = {code!r}
if sys.version_info < (3, 13):
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(isolated=True)
    interpreters.run_string(interp, code)
    interpreters.destroy(interp)
else:
    import _interpreters as interpreters
    for _ in range(2):
        interp = interpreters.create(interpreters.new_config("isolated"))
        error = interpreters.run_string(interp, code)
        assert error is None, error.errdisplay
        interpreters.destroy(interp)
    exec(code)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters come with 3.12")
@pytest.mark.parametrize("code, works", [
    (USE_EVERY_MODULE, True),
    ("import json, yaml\nassert json.loads('[1]') == [1]", True),
    ("raise ValueError('seen')", False),
], ids=["modules", "python-modules", "error-seen"])
def test_isolated_subinterpreters(code, works):
    proc = run(ISOLATED.format(code=code))
    assert (proc.returncode == 0) == works, proc.stderr
    assert works or "seen" in proc.stderr
