"""Text decorations for log output."""

__all__ = ["banner"]


def banner(text):
    """Return ``text`` framed in a box; the caller logs it.

    Each line of the text gets its own row, so multi-line text stays readable.
    """
    lines = str(text).splitlines() or [""]
    width = max(len(line) for line in lines)
    edge = "+" + "-" * (width + 2) + "+"
    rows = ["| " + line.ljust(width) + " |" for line in lines]
    return "\n".join([edge, *rows, edge])
