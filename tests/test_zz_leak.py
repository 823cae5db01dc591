import importlib, sys, gc, tracemalloc
import korrin.utils.profile, korrin.utils.timeout, korrin.utils.symfind, korrin.utils.config
def test_leak():
    names = [f"korrin.utils.{n}" for n in ("summary", "timeout", "symfind", "config", "profile")]
    saved = {n: sys.modules[n] for n in names}
    def step():
        for name in names: del sys.modules[name]
        fresh = {name.rpartition(".")[2]: importlib.import_module(name) for name in names}
        fresh["summary"].Summary("t", 20).add_message("x")
    for _ in range(30): step()
    gc.collect(); tracemalloc.start(10)
    s1 = tracemalloc.take_snapshot()
    for _ in range(60): step()
    gc.collect(); sys._clear_type_cache()
    s2 = tracemalloc.take_snapshot()
    sys.modules.update(saved)
    for stat in s2.compare_to(s1, "traceback")[:4]:
        print(stat); print("\n".join(stat.traceback.format()[-12:]))
