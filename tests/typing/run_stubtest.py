"""Run mypy's stubtest (same arguments) with one correction for our methods.

Methods of the extension classes are builtin functions wrapped in
`instancemethod`, so they bind like Python functions. The builtin under the
wrapper keeps its class as `__self__` (that is how it finds its module), and
stubtest's shortcut for builtins reads any builtin whose `__self__` is a class
as a class method. For attributes that are such wrappers we judge the wrapper
itself, which is a plain method; everything else goes to stubtest unchanged.
"""

import sys
from collections.abc import Iterator
from typing import Any

from mypy import nodes, stubtest

_upstream = stubtest._verify_static_class_methods


def _is_instancemethod(obj: object) -> bool:
    return type(obj).__qualname__ == "instancemethod" and type(obj).__module__ == "builtins"


def _verify_static_class_methods(
    stub: nodes.FuncBase, runtime: Any, static_runtime: Any, object_path: list[str]
) -> Iterator[str]:
    if not _is_instancemethod(static_runtime):
        yield from _upstream(stub, runtime, static_runtime, object_path)
        return
    if stub.is_class:
        yield "stub is a classmethod but runtime is not"
    if stub.is_static:
        yield "stub is a staticmethod but runtime is not"


stubtest._verify_static_class_methods = _verify_static_class_methods

if __name__ == "__main__":
    sys.exit(stubtest.main())
