"""Descriptor 1 pointed at the write end of a ReplyTap's pipe, and the very
open file it was put back; sys.stdout made to write whole lines meanwhile."""

from __future__ import annotations

import errno
import fcntl
import io
import os
import sys
from typing import Any, Callable, Optional, Tuple, cast

__all__ = ["StdoutPipe", "flush_stdout"]

# Largest pipe asked for when the system does not say its limit.
_LARGEST_READ = 1 << 20
_PIPE_MAX_SIZE = "/proc/sys/fs/pipe-max-size"
# Python 3.9's fcntl module lacks these Linux constants; PyPy 3.9's too.
_F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)
_F_GETPIPE_SZ = getattr(fcntl, "F_GETPIPE_SZ", 1032)
_F_DUPFD_CLOEXEC = getattr(fcntl, "F_DUPFD_CLOEXEC", 1030)


def flush_stdout() -> None:
    for stream in (sys.stdout, sys.__stdout__):
        if stream is not None:
            try:
                stream.flush()
            except (OSError, ValueError):
                pass   # closed or broken: nothing of it can reach descriptor 1


def _above_standard(fd: int) -> int:
    """The descriptor moved to 3 or above, so that a closed 0, 1 or 2 is
    never taken by the tap's own pipe."""
    if fd >= 3:
        return fd
    try:
        return fcntl.fcntl(fd, _F_DUPFD_CLOEXEC, 3)
    finally:
        os.close(fd)


def _pipe() -> Tuple[int, int]:
    read_end, write_end = os.pipe()   # both close-on-exec
    try:
        read_end = _above_standard(read_end)
    except BaseException:
        os.close(write_end)
        raise
    try:
        return read_end, _above_standard(write_end)
    except BaseException:
        os.close(read_end)
        raise


def _enlarge(fd: int) -> int:
    """Makes the pipe as large as the system allows; returns its size."""
    try:
        with open(_PIPE_MAX_SIZE, encoding="ascii") as f:
            size = int(f.read())
    except (OSError, ValueError):
        size = _LARGEST_READ
    while size >= 65536:
        try:
            return int(fcntl.fcntl(fd, _F_SETPIPE_SZ, size))
        except OSError:
            size //= 2   # EPERM: over the user's quota of pipe memory
    try:
        return int(fcntl.fcntl(fd, _F_GETPIPE_SZ))
    except OSError:
        return 65536


def _identity(fd: int) -> Optional[Tuple[int, int]]:
    try:
        st = os.fstat(fd)
    except OSError:
        return None
    return st.st_dev, st.st_ino


class StdoutPipe:
    """The swap of descriptor 1: `open` points it at the write end of a new
    pipe, `restore` puts back the original (or closes it again when it was
    closed), `close` closes the tap's own descriptors (the read end and the
    saved original)."""

    def __init__(self) -> None:
        self.read_end = -1
        self.saved = -1               # the original descriptor 1 until `close`
        self.was_closed = False       # descriptor 1 was closed when the tap opened
        self._pipe: Optional[Tuple[int, int]] = None   # (st_dev, st_ino) of the pipe
        self._inheritable = True
        self._restore_stdout: Optional[Tuple[Any, bool, bool]] = None   # a TextIOWrapper

    def open(self, start: Callable[[int, int], None]) -> None:
        """Makes the pipe, as large as allowed, keeps the original descriptor
        1 (close-on-exec, at 3 or above), calls start(read end, original)
        and then points descriptor 1 at the pipe. What raises leaves the
        descriptors made so far for `close`."""
        self.read_end, write_end = _pipe()
        try:
            _enlarge(write_end)
            self._pipe = _identity(write_end)
            try:
                self.saved = fcntl.fcntl(1, _F_DUPFD_CLOEXEC, 3)
                self._inheritable = os.get_inheritable(1)
            except OSError as error:
                if error.errno != errno.EBADF:
                    raise
                self.was_closed = True
            start(self.read_end, self.saved)
            os.dup2(write_end, 1, inheritable=self._inheritable)
        finally:
            # From here on descriptor 1 is the pipe's only write end: the
            # drain sees the end of the pipe once it is put back.
            os.close(write_end)

    def restore(self) -> None:
        """Only while descriptor 1 is still the tap's pipe: a restore done
        already (a close that a signal handler cut short, then called again)
        or a descriptor 1 that the program replaced since is left alone."""
        if self._pipe is None or _identity(1) != self._pipe:
            return
        if self.saved >= 0:
            os.dup2(self.saved, 1, inheritable=self._inheritable)
        else:
            # It was closed before the tap (or its copy is lost): the pipe's
            # end goes, so that the drain sees the pipe end.
            try:
                os.close(1)
            except OSError:
                pass

    def close(self) -> None:
        for name in ("saved", "read_end"):
            fd = getattr(self, name)
            if fd >= 0:
                setattr(self, name, -1)
                os.close(fd)

    def whole_lines(self) -> None:
        # Unbuffered (python -u) sys.stdout writes a print's text and its
        # line feed in two writes, and a reply line printed between them
        # would join the text. Buffered up to the line's end, each line goes
        # out whole.
        stream: Any = sys.stdout
        try:
            if (isinstance(cast(object, stream), io.TextIOWrapper) and stream.fileno() == 1
                    and (not stream.line_buffering or stream.write_through)):
                before: Tuple[Any, bool, bool] = (
                    stream, stream.line_buffering, stream.write_through)
                stream.reconfigure(line_buffering=True, write_through=False)
                self._restore_stdout = before
        except (OSError, ValueError):
            pass   # no descriptor behind it, or closed

    def unline(self) -> None:
        before, self._restore_stdout = self._restore_stdout, None
        if before is not None:
            stream, line_buffering, write_through = before
            try:
                stream.reconfigure(line_buffering=line_buffering, write_through=write_through)
            except (OSError, ValueError):
                pass
