"""Files written whole or not at all, by the command line and by the report page
(``TabularEvaluator.to_html``).

``write_atomically(path, write)`` runs ``write`` on a new file beside ``path`` and renames
that file over ``path`` once written, so a failure part-way (a full disk, a file-size
limit, an interrupt) leaves any earlier file as it was and no partial file behind. A
character device or a FIFO (/dev/null, /dev/stdout, a named pipe, or a symbolic link to
one) is written through, never replaced by a file; a block device or a socket is not
written at all. The file gets the permission bits an existing file at ``path`` has (a
symbolic link is followed, and the file it names is replaced), else the ones a new file
gets under the umask.
"""

import os
import pathlib
import stat
from typing import Any, Callable, Optional

__all__ = ["PathRefused", "write_atomically", "write_text_atomically"]

# Names drawn for the temporary file before giving up on a folder full of them.
_ATTEMPTS = 100


class PathRefused(OSError):
    """A path that is not written at all: a block device, a socket, or a file in a
    folder that does not exist. Its text says which, without the path."""


def _create_beside(directory: pathlib.Path, prefix: str) -> str:
    """A new, empty file in `directory` (the target's folder, so that renaming it over
    the target is atomic), created with the mode a new file gets under the umask; its
    path."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    attempt = 0
    while True:
        temporary = os.path.join(str(directory), f"{prefix}{os.urandom(6).hex()}.tmp")
        try:
            os.close(os.open(temporary, flags, 0o666))
            return temporary
        except FileExistsError:
            attempt += 1
            if attempt > _ATTEMPTS:
                raise


def write_atomically(path: str, write: Callable[[str], None], *, prefix: str = ".velmora-") -> None:
    """Runs write(file_path) on a temporary file (its name starts with `prefix`) beside
    `path`, then renames it over `path`; a character device or a FIFO is written
    through: write(path). Raises PathRefused for a path it does not write, and the
    OSError of a failing file system; `write`'s own errors pass through, after the
    temporary file is removed."""
    mode_of_target: Optional[int]
    try:
        mode_of_target = os.stat(path).st_mode
    except FileNotFoundError:
        mode_of_target = None
    if mode_of_target is not None and (stat.S_ISCHR(mode_of_target) or stat.S_ISFIFO(mode_of_target)):
        write(path)
        return
    if mode_of_target is not None and (stat.S_ISBLK(mode_of_target) or stat.S_ISSOCK(mode_of_target)):
        kind = "a block device" if stat.S_ISBLK(mode_of_target) else "a socket"
        raise PathRefused(f"is {kind}, not a file; velmora writes files, devices of characters and pipes")
    target = pathlib.Path(os.path.realpath(path)) if os.path.islink(path) else pathlib.Path(path)
    directory = target.parent
    if not directory.is_dir():
        raise PathRefused(f"the folder {directory} does not exist")
    temporary = _create_beside(directory, prefix)
    try:
        write(temporary)
        if mode_of_target is not None:
            os.chmod(temporary, stat.S_IMODE(mode_of_target))
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write_text_atomically(
    path: str, text: str, *, open_file: Callable[..., Any] = open, prefix: str = ".velmora-"
) -> None:
    """Writes `text` to `path` in UTF-8 with one write, as write_atomically does.
    `open_file` opens the file (the report page passes the ``open`` its module's
    globals name); the file is closed after the write, also when the write fails."""

    def write(file_path: str) -> None:
        handle = open_file(file_path, "w", encoding="utf-8")
        try:
            handle.write(text)
        except BaseException:
            handle.close()
            raise
        handle.close()

    write_atomically(path, write, prefix=prefix)
