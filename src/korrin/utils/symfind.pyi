# Type information for korrin.utils.symfind (attribute loading, path parsing).
import importlib as importlib
import re as re
from collections import deque as deque
from typing import Any

# The framework's device-abstraction lookup; not described here.
Lookup: Any

# `pkg` true: a package path and an attribute path inside it, resolved for
# `device` when the package is an abstraction package; `pkg` false (None, ""):
# `attr_name` is the full dotted path.
def load_attribute(pkg: str | None, attr_name: str, device: Any = None) -> Any: ...
def str_to_list(string: str) -> deque[str | int]: ...

# `data` is accepted and not looked at.
def structure_verifier(string: str, data: object) -> None: ...
