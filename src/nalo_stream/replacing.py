"""Files replaced all together or not at all.

Every output of a run (the audio, the gains) is written to a temporary file
beside its target, and the temporaries are renamed over their targets only
when the whole run succeeds; otherwise (an error, Ctrl-C, a termination
signal) they are removed and the targets keep what they held.
"""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
import threading
from collections.abc import Iterator
from pathlib import Path

#: Ends the name of every temporary file, so that one left by a killed run
#: tells what it is.
TEMPORARY_SUFFIX = ".nalo-limiter-unfinished"
_RANDOM_CHARACTERS = 8  # what mkstemp adds between prefix and suffix


class ReplaceError(OSError):
    """A target could not be written; `target` names it."""

    def __init__(self, target: Path, error: OSError) -> None:
        super().__init__(error.errno, error.strerror or str(error))
        self.target = target


def _read_umask() -> int:
    umask = os.umask(0o022)
    os.umask(umask)
    return umask


# Read once, while the program has a single thread: os.umask is process-wide.
_UMASK = _read_umask()
# Every temporary not yet renamed or removed, for discard_all.
_LIVE: set[Path] = set()
_LIVE_LOCK = threading.Lock()


def discard_all() -> None:
    """Removes the temporaries of every run in the process: for a program
    about to exit at once, without waiting for its runs to unwind."""
    with _LIVE_LOCK:
        for temporary in _LIVE:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        _LIVE.clear()


class Replacement:
    """The temporaries of one run, in the order they are to be renamed."""

    def __init__(self) -> None:
        # (temporary, file it replaces, name the caller gave for that file)
        self._pending: list[tuple[Path, Path, Path]] = []

    def temporary_for(self, target: Path) -> Path:
        """A new empty temporary file that is to replace `target` (or the
        file a symlink `target` points to)."""
        final = Path(os.path.realpath(target)) if os.path.islink(target) else target
        if final.is_dir():
            raise ReplaceError(target, IsADirectoryError(21, os.strerror(21)))
        with _LIVE_LOCK:
            try:
                handle, name = tempfile.mkstemp(prefix=_prefix(final), suffix=TEMPORARY_SUFFIX, dir=final.parent)
            except OSError as error:
                raise ReplaceError(target, error) from None
            _LIVE.add(Path(name))
        os.close(handle)
        self._pending.append((Path(name), final, target))
        return Path(name)

    def commit(self) -> None:
        """Renames every temporary over its target, each with the target's
        mode if it exists and the umask's otherwise."""
        while self._pending:
            temporary, final, target = self._pending[0]
            try:
                os.chmod(temporary, _mode_for(final))
                with _LIVE_LOCK:
                    os.replace(temporary, final)
                    _LIVE.discard(temporary)
            except OSError as error:
                raise ReplaceError(target, error) from None
            self._pending.pop(0)

    def discard(self) -> None:
        with _LIVE_LOCK:
            for temporary, _, _ in self._pending:
                with contextlib.suppress(OSError):
                    os.unlink(temporary)
                _LIVE.discard(temporary)
        self._pending.clear()


@contextlib.contextmanager
def replacing() -> Iterator[Replacement]:
    """A Replacement committed when the body succeeds and discarded when it
    raises anything (also KeyboardInterrupt)."""
    replacement = Replacement()
    try:
        yield replacement
        replacement.commit()
    finally:
        replacement.discard()


def _prefix(target: Path) -> str:
    """"." and the target's name, shortened so that the whole temporary name
    stays within the directory's limit on name length."""
    try:
        limit = os.pathconf(target.parent, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    room = limit - len(".." + TEMPORARY_SUFFIX) - _RANDOM_CHARACTERS
    name = target.name
    while len(os.fsencode(name)) > room:
        name = name[:-1]
    return f".{name}."


def _mode_for(target: Path) -> int:
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        return 0o666 & ~_UMASK
