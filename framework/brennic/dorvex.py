"""Run-time state of the current job."""

import os
import tempfile

__all__ = ["Runtime", "runtime"]


class Runtime:
    """Holds the run's log directory.

    The directory is created on first read, so importing this module has no
    side effects; assign to ``directory`` to point the run elsewhere (assigning
    None goes back to a fresh directory on the next read).
    """

    def __init__(self):
        self._directory = None

    @property
    def directory(self):
        if self._directory is None:
            self._directory = tempfile.mkdtemp(prefix="korrin-run-")
        return self._directory

    @directory.setter
    def directory(self, path):
        self._directory = None if path is None else os.fspath(path)


runtime = Runtime()
