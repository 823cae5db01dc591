# Type information for korrin.utils.config (running configuration as a tree).
import json as json
from collections import deque as deque, namedtuple as namedtuple
from collections.abc import Iterable
from typing import Any, Self

class Config:
    output: str
    # The default entries include None, which never equals a stripped line.
    exclude: list[str | None]
    # Set by tree(): nested dicts keyed by configuration line, or whatever a
    # JSON document in `output` decodes to.
    config: Any
    # The extension type's own __new__ takes the constructor's arguments.
    def __new__(cls, output: str, exclude: Iterable[str] | None = None) -> Self: ...
    def __init__(self, output: str, exclude: Iterable[str] | None = None) -> None: ...
    def tree(self) -> None: ...
