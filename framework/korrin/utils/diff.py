"""Differences between two snapshots.

``Diff(a, b, exclude=[...])`` walks two structures (dicts, lists, tuples,
sets, scalars, and objects through their ``__dict__``) and records every
place where they differ. Dict keys and attribute names are skipped at any
depth when they equal an exclude entry, or when the entry, read as a regular
expression, fully matches the key's text. The text form prints the removed
side with ``-`` and the added side with ``+``, one space of indent per level.
"""

import re
import types
from collections.abc import Mapping
from typing import NamedTuple

__all__ = ["Diff", "Difference", "MISSING"]


class _Missing:
    def __repr__(self):
        return "<missing>"

    def __reduce__(self):
        return "MISSING"


MISSING = _Missing()  # the side of a Difference where the key is absent


class Difference(NamedTuple):
    """One difference: the path to it and the value on each side."""

    path: tuple
    left: object  # MISSING when only the second structure has it
    right: object  # MISSING when only the first structure has it


class _Index(int):
    """A list position inside a path (never subject to exclusion)."""

    def __str__(self):
        return f"[{int(self)}]"


# Compared with == rather than by their __dict__.
_OPAQUE = (type, types.ModuleType, types.FunctionType, types.BuiltinFunctionType, types.MethodType)


class _Excluder:
    def __init__(self, entries):
        self.keys = []
        self.patterns = []
        for entry in entries or ():
            self.keys.append(entry)
            if isinstance(entry, str):
                try:
                    self.patterns.append(re.compile(entry))
                except re.error:
                    pass  # not a pattern: a plain key only

    def __call__(self, key):
        if isinstance(key, _Index):
            return False
        for entry in self.keys:
            try:
                if key == entry:
                    return True
            except Exception:
                continue
        text = str(key)
        return any(p.fullmatch(text) for p in self.patterns)


class Diff:
    """Compare ``a`` with ``b``; call ``findDiff()`` then read ``diffs``."""

    def __init__(self, a, b, exclude=None):
        self.a = a
        self.b = b
        self.exclude = list(exclude) if exclude else []
        self.diffs = []

    def findDiff(self):
        excluded = _Excluder(self.exclude)
        diffs = []
        _compare(self.a, self.b, (), excluded, diffs, set())
        self.diffs = diffs
        return diffs

    def __bool__(self):
        return bool(self.diffs)

    def __repr__(self):
        return f"<Diff: {len(self.diffs)} difference(s)>"

    def __str__(self):
        return "\n".join(_render(self.diffs, _Excluder(self.exclude)))


def _sorted_keys(keys):
    keys = list(keys)
    try:
        return sorted(keys)
    except TypeError:
        return sorted(keys, key=lambda k: (type(k).__name__, repr(k)))


def _is_record(value):
    return hasattr(value, "__dict__") and not isinstance(value, _OPAQUE)


def _compare(a, b, path, excluded, diffs, active):
    if a is b:
        return
    if isinstance(a, Mapping) and isinstance(b, Mapping):
        _compare_mappings(a, b, path, excluded, diffs, active)
    elif isinstance(a, (list, tuple)) and type(a) is type(b):
        for i in range(max(len(a), len(b))):
            left = a[i] if i < len(a) else MISSING
            right = b[i] if i < len(b) else MISSING
            if left is MISSING or right is MISSING:
                diffs.append(Difference(path + (_Index(i),), left, right))
            else:
                _compare(left, right, path + (_Index(i),), excluded, diffs, active)
    elif isinstance(a, (set, frozenset)) and isinstance(b, (set, frozenset)):
        removed, added = a - b, b - a
        if removed or added:
            diffs.append(Difference(path, removed or MISSING, added or MISSING))
    elif type(a) is type(b) and _is_record(a):
        pair = (id(a), id(b))
        if pair in active:  # a cycle: this pair is already being compared
            return
        active.add(pair)
        try:
            _compare_mappings(vars(a), vars(b), path, excluded, diffs, active)
        finally:
            active.discard(pair)
    elif type(a) is not type(b) or not _equal(a, b):
        diffs.append(Difference(path, a, b))


def _equal(a, b):
    try:
        return bool(a == b)
    except Exception:
        return False


def _compare_mappings(a, b, path, excluded, diffs, active):
    for key in _sorted_keys(a.keys() | b.keys()):
        if excluded(key):
            continue
        if key not in b:
            diffs.append(Difference(path + (key,), a[key], MISSING))
        elif key not in a:
            diffs.append(Difference(path + (key,), MISSING, b[key]))
        else:
            _compare(a[key], b[key], path + (key,), excluded, diffs, active)


# Rendering ------------------------------------------------------------------


def _render(diffs, excluded):
    """Group by top-level key; print each group's removed tree, then its added tree."""
    lines = []
    groups = []
    for diff in diffs:
        head = diff.path[:1]
        if groups and groups[-1][0] == head:
            groups[-1][1].append(diff)
        else:
            groups.append((head, [diff]))
    for _, group in groups:
        for sign, side in (("-", "left"), ("+", "right")):
            entries = [(d.path, getattr(d, side)) for d in group if getattr(d, side) is not MISSING]
            lines.extend(_tree(sign, entries, excluded))
    return lines


def _tree(sign, entries, excluded):
    lines = []
    shown = ()  # the parent path whose header lines were printed last
    for path, value in entries:
        parents = path[:-1]
        common = 0
        while common < min(len(shown), len(parents)) and shown[common] == parents[common]:
            common += 1
        for depth in range(common, len(parents)):
            lines.append(f"{sign}{' ' * depth}{parents[depth]}:")
        shown = parents
        if path:
            _value_lines(sign, len(parents), str(path[-1]), value, excluded, lines)
        else:
            lines.append(f"{sign}{_scalar(value)}")
    return lines


def _value_lines(sign, depth, label, value, excluded, lines):
    indent = " " * depth
    if isinstance(value, Mapping) and value:
        lines.append(f"{sign}{indent}{label}:")
        for key in _sorted_keys(value):
            if not excluded(key):
                _value_lines(sign, depth + 1, str(key), value[key], excluded, lines)
    else:
        lines.append(f"{sign}{indent}{label}: {_scalar(value)}")


def _scalar(value):
    if isinstance(value, str):
        # Bare text reads best; quote it only when bare text would be ambiguous.
        if value and value == value.strip() and "\n" not in value:
            return value
        return repr(value)
    if isinstance(value, (set, frozenset)):
        return "{" + ", ".join(sorted(repr(v) for v in value)) + "}"
    return repr(value)
