"""Errors raised by the harness."""

__all__ = ["KorrinTgnError"]


class KorrinTgnError(Exception):
    """A traffic generator profile or stream data file is missing or unusable."""
