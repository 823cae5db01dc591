"""Parallel calls in forked worker processes.

``pcall`` runs one call per element of its iterables, each in its own forked
child. Forking gives every call a private copy of the caller's arguments, so
whatever a call mutates stays in its worker; only the return value travels
back, serialised with dill through a pipe.
"""

import os
import signal
import sys
import traceback
from typing import NamedTuple

import dill

__all__ = ["pcall", "PcallError", "WorkerFailure"]


class WorkerFailure(NamedTuple):
    """What one failed call reported back."""

    index: int  # position of the call among the elements
    arguments: str  # the per-call keyword arguments, as text
    type: str  # qualified name of the exception type
    text: str  # str() of the exception
    traceback: str  # formatted traceback from the worker


class PcallError(Exception):
    """One or more parallel calls raised; ``failures`` lists them in call order."""

    def __init__(self, message, failures=()):
        super().__init__(message)
        self.failures = list(failures)


def pcall(func, ckwargs=None, **iterables):
    """Call ``func(**ckwargs, name=element)`` once per element, in parallel.

    Each keyword in ``iterables`` names a parameter and gives one value per
    call; several keywords are zipped and must have the same length. Returns
    the results as a tuple in element order once every call has finished.
    Raises PcallError naming each call that raised, with its worker's
    exception type, text and traceback.
    """
    ckwargs = dict(ckwargs or {})
    columns = {name: tuple(values) for name, values in iterables.items()}
    lengths = {len(values) for values in columns.values()}
    if len(lengths) > 1:
        raise ValueError(
            "pcall iterables must have the same length, got "
            + ", ".join(f"{name}={len(v)}" for name, v in columns.items())
        )
    count = lengths.pop() if lengths else 0
    calls = [{name: values[i] for name, values in columns.items()} for i in range(count)]
    for call in calls:
        clash = call.keys() & ckwargs.keys()
        if clash:
            raise TypeError(f"pcall got {sorted(clash)} both in ckwargs and as iterables")

    workers = []  # (pid, read fd) per started call
    try:
        for call in calls:
            workers.append(_start(func, {**ckwargs, **call}, [fd for _, fd in workers]))
        # Workers only write once their call is done, so reading the pipes one
        # after the other does not serialise the work.
        payloads = [_read_all(fd) for _, fd in workers]
    except BaseException:
        _reap(workers, kill=True)
        raise
    exit_codes = _reap(workers)

    results, failures = [], []
    for index, (call, payload) in enumerate(zip(calls, payloads)):
        status, value = _decode(payload, exit_codes[index])
        if status == "ok":
            results.append(value)
        else:
            failures.append(WorkerFailure(index, _describe(call), *value))
    if failures:
        raise PcallError(_message(func, len(calls), failures), failures)
    return tuple(results)


def _start(func, kwargs, inherited_fds):
    read_fd, write_fd = os.pipe()
    try:
        pid = os.fork()
    except BaseException:
        os.close(read_fd)
        os.close(write_fd)
        raise
    if pid == 0:  # child: never returns
        _run_worker(func, kwargs, read_fd, write_fd, inherited_fds)
    os.close(write_fd)
    return pid, read_fd


def _run_worker(func, kwargs, read_fd, write_fd, inherited_fds):
    status = 1
    try:
        os.close(read_fd)
        for fd in inherited_fds:
            os.close(fd)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        try:
            record = ("ok", func(**kwargs))
            payload = dill.dumps(record)
        except BaseException as exc:  # report everything, even SystemExit
            payload = dill.dumps(("error", _failure_fields(exc)))
        with os.fdopen(write_fd, "wb") as pipe:
            pipe.write(payload)
        status = 0
    except BaseException:
        traceback.print_exc()
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except Exception:
                pass
        # Skip the parent's atexit handlers and buffered state.
        os._exit(status)


def _failure_fields(exc):
    kind = type(exc)
    name = kind.__qualname__
    if kind.__module__ not in ("builtins", "__main__"):
        name = f"{kind.__module__}.{name}"
    text = traceback.format_exception(exc)
    return name, str(exc), "".join(text)


def _read_all(fd):
    chunks = []
    while True:
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def _reap(workers, kill=False):
    """Close the pipes and wait for every child; return their exit codes.

    With ``kill`` (the caller was interrupted) children are stopped first so
    that none is left running or unreaped.
    """
    codes = []
    for pid, fd in workers:
        try:
            os.close(fd)
        except OSError:
            pass
        if kill:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    for pid, _ in workers:
        try:
            _, status = os.waitpid(pid, 0)
        except ChildProcessError:  # already reaped by someone else
            codes.append(None)
        else:
            codes.append(os.waitstatus_to_exitcode(status))
    return codes


def _decode(payload, exit_code):
    if not payload:
        if exit_code is not None and exit_code < 0:
            how = f"was killed by signal {-exit_code}"
        else:
            how = f"exited with status {exit_code}"
        return "error", ("WorkerDied", f"worker process {how} without sending a result", "")
    try:
        return dill.loads(payload)
    except Exception as exc:
        return "error", _failure_fields(exc)


def _describe(call):
    return ", ".join(f"{name}={value!r}" for name, value in call.items())


def _message(func, total, failures):
    name = getattr(func, "__qualname__", None) or repr(func)
    lines = [f"{len(failures)} of {total} parallel calls to {name} failed"]
    for failure in failures:
        lines.append(f"{name}({failure.arguments}) raised {failure.type}: {failure.text}")
        if failure.traceback:
            lines.append(failure.traceback.rstrip("\n"))
    return "\n".join(lines)
