"""Load attributes by dotted name; parse and check bracketed key paths.

- ``load_attribute``: a class, function or other attribute by its dotted
  name, directly or through the framework's device-abstraction lookup.
- ``str_to_list``: "[info][(.*)][counters]" -> deque(['info', '(.*)', 'counters']).
- ``structure_verifier``: the regular-expression keys of such a path compile.

Nothing is logged and nothing is kept between calls.

Example::

    from korrin.utils.symfind import load_attribute, str_to_list, structure_verifier

    Bgp = load_attribute(None, "korrin.sim.features.Bgp")
    path = "[info][neighbors][(.*)][state]"
    structure_verifier(path, data=None)
    keys = str_to_list(path)        # deque(['info', 'neighbors', '(.*)', 'state'])
"""

import importlib as importlib
import re as re
from collections import deque as deque
from typing import Any

# The framework's device-abstraction lookup; not described here.
Lookup: Any

def load_attribute(pkg: str | None, attr_name: str, device: Any = None) -> Any:
    """Return the object a dotted name leads to.

    Module mode (``pkg`` false: ``None`` or ""): ``attr_name`` is the full
    dotted path; the module part is imported and the last name read from it.

    Package mode (``pkg`` true): ``pkg`` is imported and the names of the
    dotted ``attr_name`` are read one after the other from it. When ``pkg``
    is an abstraction package (a true module attribute ``__abstract_pkg``),
    the walk starts instead from ``Lookup.from_device(device, ...)``, so the
    device's own implementation is found. A name that cannot be read is
    skipped, not reported: the result is the object reached by the names
    that could be read (the module itself when none could).

    Args:
        pkg: a dotted module path, or ``None``/"" for module mode.
        attr_name: the dotted attribute path (module mode: including the
            module).
        device: the device whose implementation an abstraction package
            gives; used in package mode only, and its ``name`` appears in
            the error below.

    Returns:
        The object found.

    Raises:
        ImportError: the module cannot be imported (both modes).
        AttributeError: module mode, the attribute is missing ("Couldn't
            find 'X' in '<module ...>'", caused by the original error); or
            package mode with ``device`` ``None`` when the lookup fails.
        ValueError: module mode, ``attr_name`` has no ".".
        LookupError: package mode, the device has no implementation of the
            abstraction package ("Could not find pkg.attr for device R1").

    Example::

        load_attribute(None, "os.path.join")              # os.path.join
        load_attribute("korrin.sim.health", "bgp.established_neighbors", device=r1)
        # the iosxe implementation, for a device whose os is iosxe
    """

def str_to_list(string: str) -> deque[str | int]:
    """Split a bracketed path text into its keys.

    One key per bracketed group; a group may hold spaces and stays one key
    ("[ipv4 unicast]" -> "ipv4 unicast"); text in parentheses stays whole,
    brackets inside included, so a key can be a regular expression
    ("[(.*)]"); keys that read as whole numbers become ``int``
    ("[1]" -> 1, "[-5]" -> -5, "[007]" -> 7, "[1.5]" stays "1.5"); text
    outside brackets splits at whitespace. Some corners follow from how the
    text is rewritten: "[1, 2, 3]" gives "1,", "2,", 3; a "~" becomes a
    space; "[(a b) c]" gives "(a", "b)", "c"; two or more unbracketed words
    just before a group stay one key with a trailing space ("x y [z]" gives
    "x y ", "z").

    Args:
        string: the path text.

    Returns:
        The keys in order, a new ``deque`` (empty for "" or "[]").

    Raises:
        TypeError: ``string`` is not a ``str``.

    Example::

        str_to_list("[vrf][default][address_family][ipv4 unicast][neighbors][(.*)]")
        # deque(['vrf', 'default', 'address_family', 'ipv4 unicast', 'neighbors', '(.*)'])
    """

def structure_verifier(string: str, data: object) -> None:
    """Check that the regular-expression keys of a path compile.

    The keys (as ``str_to_list`` gives them) are examined in order up to
    and including the first key in parentheses other than "(.*)"; keys
    after it are not looked at.

    Args:
        string: the path text.
        data: accepted and not looked at.

    Raises:
        ValueError: an examined key in parentheses is no valid regular
            expression ("'(x' is not a valid regex expression", caused by
            the ``re.error``).
        AttributeError: the examination reaches an integer key ("[1]").
        TypeError: ``string`` is not a ``str``.

    Example::

        structure_verifier("[info][(.*)][(x]", data=None)
        # ValueError: '(x' is not a valid regex expression
    """
