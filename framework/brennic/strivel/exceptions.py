"""Errors raised while reading data files."""

__all__ = ["DatafileError"]


class DatafileError(Exception):
    """A data file could not be read or does not have the expected shape."""
