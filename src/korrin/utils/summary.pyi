"""Fixed-width framed text boxes, written to the log one record per line.

Build a box line by line, then call ``print()``: nothing reaches the log
before that. Every line is queued as a ``Msg`` holding its finished text and
the name of the logger method that will write it ("info", "error", ...).

Example::

    import logging
    from korrin.utils.summary import Summary

    logging.basicConfig(level=logging.INFO, format="%(levelname)s %(message)s")
    box = Summary("Profile summary", 40)
    box.add_message("Feature bgp was learnt on 3 devices")
    box.add_sep_line()
    box.add_message("Device R2 differs", level="error")
    box.print()

logs::

    INFO  +======================================+
    INFO  | Profile summary                      |
    INFO  +======================================+
    INFO  | Feature bgp was learnt on 3 devices  |
    INFO  |--------------------------------------|
    ERROR | Device R2 differs                    |

Once a box holds a line at a longer level name ("error"), ``print`` puts
that many extra spaces in front of its shorter-level lines, so the frame
lines up behind the level names.

Boxes go through the root logger (the module global ``logger``; rebind it to
send boxes elsewhere), so what shows depends on how the script configures
logging. A script that never does gets logging's last-resort handler, which
writes only WARNING, ERROR and CRITICAL records, as their bare text, to
stderr: without its ``basicConfig`` line the example shows the one row
``| Device R2 differs                    |`` and nothing else, no frame and
no INFO row. The ``basicConfig`` line above, once at the start of the
script, shows whole boxes. ``logging.basicConfig()`` without ``level``
shows no more than the last-resort handler: the root logger stays at
WARNING.
"""

import logging as logging
import textwrap as textwrap
from typing import Any, TypeAlias

import yaml as yaml  # type: ignore[import-untyped]

# A message or title: one text, or a list of texts wrapped one after another.
_Text: TypeAlias = str | list[str]

logger: logging.Logger

class Summary:
    """A framed box of a fixed width, queued line by line and printed to the log.

    ``Summary(title, width)`` starts the box with a title line, the title
    wrapped into rows, and a second title line. Add frame lines, messages
    and sections in any order; ``print()`` writes them all.

    Rows are exactly ``width`` characters: "| ", the text, padding and a
    closing "|". Texts are wrapped as ``textwrap.wrap(text, width - 4)``
    wraps them (tabs expanded, newlines turned into spaces, leading
    whitespace of a paragraph kept, long words broken, empty text giving no
    row).

    All state is in plain attributes, read afresh by every method:
    ``lenght`` (spelt so; the longest level name queued so far, 4 at the
    start), ``title``, ``width``, ``summary_msgs`` (the queued ``Msg``
    objects) and the four frame lines ``title_line`` ("+===+"),
    ``subtitle_line`` ("|===|"), ``sep_line`` ("|---|") and ``star_line``
    ("|***|"), made once from the width given to the constructor.

    Example::

        box = Summary("Profile comparison", 90)
        box.summarize_section("Feature bgp was compared on every device", device="R1")
        box.summarize_profile("R2", diff=None, golden=True)
        box.print()
    """

    lenght: int
    title: _Text
    width: int
    summary_msgs: list[Msg]
    title_line: str
    subtitle_line: str
    sep_line: str
    star_line: str
    def __init__(self, title: _Text, width: int) -> None:
        """Start a box: title line, the title's rows (level "info"), title line.

        Args:
            title: the box title, a text or a list of texts (each wrapped on
                its own); an empty title gives no title row.
            width: total width of every line, in characters; at least 5.

        Raises:
            ValueError: ``width`` below 5 (the wrapper gets a width of 0 or
                less).
            AttributeError: a title that is neither a text nor a list (the
                error of ``textwrap.wrap``).
        """

    def add_title_line(self) -> None:
        """Queue a title line, "+====...====+", at level "info"."""

    def add_subtitle_line(self) -> None:
        """Queue a subtitle line, "|====...====|", at level "info"."""

    def add_sep_line(self) -> None:
        """Queue a separator line, "|----...----|", at level "info"."""

    def add_star_line(self) -> None:
        """Queue a star line, "|****...****|", at level "info"."""

    def add_message(self, msg: _Text, indent: object = False, level: str = "info") -> None:
        """Wrap a message into rows and queue them.

        Args:
            msg: a text, wrapped as one paragraph, or a list of texts, each
                wrapped on its own (so a list keeps line structure and each
                element's leading spaces).
            indent: accepted for callers' sake; it changes nothing.
            level: name of the logger method that writes the rows at print
                time ("info", "error", "warning", ...). It is not checked
                here: a name that is no logger method fails in ``print``.

        An empty or all-blank text queues nothing, but its ``level`` still
        raises ``lenght``.

        Raises:
            AttributeError: ``msg`` neither a text nor a list (the error of
                ``textwrap.wrap``); nothing is queued.

        Example::

            box.add_message(["Differences:", "    mtu 1500 -> 9000"], level="error")
        """

    def add_indent(self, msg: str, end: object = True) -> str:
        """Return ``msg`` indented for a section, without queuing anything.

        Args:
            msg: the text.
            end: true gives "    - " + msg, false gives "    " + msg.

        Returns:
            The new text; pass it to ``add_message``.

        Raises:
            TypeError: ``msg`` is not a text.
        """

    def print(self) -> None:
        """Write every queued line to the log, one logger call per line, in order.

        Each line goes through the method of ``logger`` named by its level.
        A line whose level name is shorter than ``lenght`` is written with
        the difference in leading spaces in front. The spaces are worked out
        at each call and never stored: ``summary_msgs`` is left as it was,
        so the box stays queued and a second ``print`` writes the same lines
        again, spaces included (lines added in between come out too).

        Raises:
            AttributeError: a line's level names no method of the logger;
                the lines before it have been written, the rest are not.
        """

    def summarize_section(
        self, message: str, device: object = None, level: str = "info", end: object = True
    ) -> None:
        """Queue a section: an optional device header, the message, a subtitle line.

        Args:
            message: the section's text, indented by ``add_indent``.
            device: when true, a row "* Summary for device: <device>" and a
                separator line come first.
            level: logger method name for the message rows.
            end: passed to ``add_indent`` ("    - " prefix when true,
                "    " when false).

        Raises:
            TypeError: ``message`` is not a text (the header may already be
                queued).
        """

    def summarize_profile(
        self, device: object, diff: object = None, golden: object = False, PTS: object = True
    ) -> None:
        """Queue one device's comparison result, closed by a star line.

        Always a header row "* Summary for device: <device>" (also for
        ``None``), then:

        - ``diff`` true: "Comparison between <loc> and <loc2> is different as
          per the following diffs:" and every line of ``str(diff)``, all at
          level "error" (so every "info" line of the box gets one leading
          space at print time);
        - ``diff`` false: "Comparison between <loc> and OPS object snapshots
          are equal" at level "info".

        <loc>/<loc2> are "pts_golden_config"/"OPS object snapspshot" when
        ``PTS`` and ``golden`` are true, "Common Setup snapshot"/"OPS object
        snapspshot" when only ``PTS`` is, and "original configuration taken
        at common setup"/"the one taken at common cleanup" when ``PTS`` is
        false. "snapspshot" is spelt so on purpose: log readers match it.

        Args:
            device: shown by its text form.
            diff: the differences (normally a ``Diff`` object); only its
                truth and its text form are used.
            golden: compared against the golden snapshot; read only when
                ``PTS`` is true.
            PTS: a snapshot-against-ops-object comparison (true) or a
                setup-against-cleanup configuration comparison (false).
        """

class TriggerSummary(Summary):
    """A ``Summary`` with tables for a trigger: its description and parameters.

    Created like ``Summary`` (title, width).

    Example::

        box = TriggerSummary("Trigger summary", 60)
        box.summarize_trigger("Shut the BGP neighbors.\\n    Steps:\\n        1. shut", {"interval": 15})
        box.print()
    """

    def summarize_trigger(self, description: str, info: Any) -> None:
        """Queue two tables: "Description" and "Trigger datafile parameters:".

        Args:
            description: the trigger's description; each of its lines is
                wrapped on its own and keeps its indentation; blank lines
                give no row.
            info: the trigger's data-file parameters, anything ``yaml.dump``
                can write (normally a mapping), shown as block-style YAML
                indented by four spaces.

        Raises:
            AttributeError: ``description`` is not a text.
            Exception: whatever ``yaml.dump`` raises for an ``info`` it
                cannot write, such as ``TypeError`` for an object that
                cannot be pickled (a lock, a generator); the description
                table is already queued.
        """

    def summarize(self, title: _Text, message: _Text, indent: object = False) -> None:
        """Queue one table: title rows, separator line, message rows, subtitle line.

        Args:
            title: the table title (text or list of texts).
            message: the content; a text is reflowed as one paragraph, a
                list keeps one row (or more, when wrapped) per element.
            indent: passed on to ``add_message``, where it changes nothing.
        """

class Msg:
    """One queued line of a box: its finished text and its logger method name.

    ``Msg(msg, level="info")``; both are plain attributes that may be
    changed before ``print``.
    """

    msg: str
    level: str
    def __init__(self, msg: str, level: str = "info") -> None:
        """Args:
        msg: the full text of the line, frame included.
        level: name of the logger method that writes it.
        """
