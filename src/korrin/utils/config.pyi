"""A device's running configuration as nested dicts, by indentation.

Example::

    from korrin.utils.config import Config

    running = Config(device.execute("show running-config"))
    running.tree()
    running.config["interface Ethernet1/1"]            # {'description uplink': {}, 'mtu 9216': {}}
    "shutdown" in running.config["interface Ethernet1/1"]
"""

import json as json
from collections import deque as deque, namedtuple as namedtuple
from typing import Any, TypeAlias

from korrin.utils._names import Names

# Configuration line -> the lines indented under it; a line without any
# holds an empty dict, so every leaf is {}.
_Tree: TypeAlias = dict[str, _Tree]

class Config:
    """The text of a running configuration, and (after ``tree()``) its tree.

    Every configuration line becomes a key (stripped of surrounding
    whitespace); the lines indented under it become the keys of its value,
    a ``dict``, empty for a line without children. Order follows the text.

    Attributes: ``output`` (the text), ``exclude`` (the lines to skip) and,
    once ``tree()`` has run, ``config`` (the result). ``tree()`` reads
    ``output`` and ``exclude`` when it runs, so they may be changed first.
    """

    output: str
    # The default entries include None, which never equals a stripped line.
    exclude: list[str | None]
    # Set by tree(): the tree of the text. Any: whatever a JSON document in
    # `output` decodes to instead (a number, a list, dicts of other values).
    config: _Tree | Any
    def __init__(self, output: str, exclude: Names | None = None) -> None:
        """Keep the text; nothing is parsed yet.

        Args:
            output: the configuration text, as the device printed it.
            exclude: further lines to skip (compared with the stripped
                line, exactly). They are added to the defaults "!", ``None``,
                "\\r" and "" with ``list.extend``, so a single text would add
                its characters: pass a list.
        """

    def tree(self) -> None:
        """Build ``config`` from ``output`` (again, from scratch, on every call).

        - ``output`` that is a JSON document is decoded instead: ``config``
          is the decoded value (so "123" gives 123).
        - Otherwise the text is split at "\\n" ("\\r" removed, so CRLF text
          gives the same tree); blank lines, lines in ``exclude`` and
          comments (starting with "!" after leading whitespace) are
          skipped; the ETX character (code 3) is shown as "^C".
        - Each leading whitespace character counts one column, a tab
          included. A deeper line is a child of the line before it; a line
          at the column of an open level is its sibling; a dedent to a
          column no open level has places the line at the root.
        - A line repeated under the same parent keeps one key; its children
          are gathered under it.

        Returns:
            None; the result is in ``config``.

        Raises:
            AttributeError: ``output`` is not text and has no ``split``
                (``None``, a number).
            TypeError: ``output`` is bytes that are no JSON document (bytes
                that are one are decoded like text).

            After either, ``config`` holds an empty ``dict``.

        Example::

            c = Config("router bgp 100\\n neighbor 10.0.0.2 remote-as 200\\n address-family ipv4\\n  neighbor 10.0.0.2 activate\\n")
            c.tree()
            c.config
            # {'router bgp 100': {'neighbor 10.0.0.2 remote-as 200': {},
            #                     'address-family ipv4': {'neighbor 10.0.0.2 activate': {}}}}
        """
