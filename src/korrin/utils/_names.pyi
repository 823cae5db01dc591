"""Types the other stubs share; for type checkers only, nothing of it exists at run time."""

from collections.abc import Iterator
from typing import Protocol, TypeAlias

class NameCollection(Protocol):
    """Several names held together: a list, tuple, set or dict view of texts, never one text.

    A ``str`` is itself an iterable of texts, so ``Iterable[str]`` would take
    "bgp" where ["bgp"] was meant, and the code would then work on "b", "g"
    and "p". A ``str`` answers ``in`` only for texts, where the containers
    answer it for any object: that is what tells them apart here.
    """

    def __iter__(self) -> Iterator[str]: ...
    def __contains__(self, value: object, /) -> bool: ...

# Names read once may also come from an iterator (a generator); a str is none.
Names: TypeAlias = NameCollection | Iterator[str]
