"""The files of the command line: reading tables (CSV or Parquet), checking output paths
before any work is done, and writing tables and text whole or not at all (through
``velmora._files``, which the report page writes through too)."""

import contextlib
import os
import pathlib
from typing import TYPE_CHECKING, Hashable, Iterator, Optional, Sequence

from velmora._files import PathRefused, write_atomically, write_text_atomically
from velmora.cli.common import CommandError, one_line

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

    from velmora.cli.tables import TableFile

PARQUET_SUFFIXES = (".parquet", ".pq")
TABLE_SUFFIXES = (".csv", *PARQUET_SUFFIXES)


def parquet_needed(path: str) -> None:
    """Refuse a Parquet file when pyarrow is not installed."""
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise CommandError(f"{path}: Parquet files need pyarrow (pip install 'velmora[parquet]')") from None


def read_table_file(path: str) -> "TableFile":
    """The table stored at `path` (CSV or Parquet), with what the file held (see
    ``velmora.cli.tables``)."""
    import pandas as pd

    from velmora.cli.tables import read_csv_file, read_parquet_file

    file = pathlib.Path(path)
    if not file.exists():
        raise CommandError(f"{path}: no such file")
    if not file.is_file():
        raise CommandError(f"{path}: not a file")
    try:
        if file.suffix.lower() in PARQUET_SUFFIXES:
            parquet_needed(path)
            return read_parquet_file(path)
        table = read_csv_file(path)
    except CommandError:
        raise
    except pd.errors.EmptyDataError:
        raise CommandError(f"{path}: the file is empty") from None
    except (OSError, ValueError, pd.errors.ParserError) as error:
        raise CommandError(f"{path}: cannot read it as a table ({one_line(error)})") from None
    if table.longer_rows:
        raise CommandError(f"{path}: its rows have more fields than the header ({len(table.frame.columns)} names)")
    return table


def read_table(path: str) -> "pd.DataFrame":
    """The table stored at `path` (CSV or Parquet) as a DataFrame."""
    return read_table_file(path).frame


def read_rows(path: str) -> "pd.DataFrame":
    """The table at `path`, which must hold at least one row."""
    frame = read_table(path)
    if len(frame) == 0:
        raise CommandError(f"{path}: the table has no rows")
    return frame


def check_output_table(path: str) -> None:
    """Refuse, before any work is done, an output path the command cannot write: an
    extension naming a format it does not write, Parquet without pyarrow, a missing
    folder."""
    suffix = pathlib.Path(path).suffix.lower()
    if suffix not in TABLE_SUFFIXES:
        shown = f"extension {suffix!r}" if suffix else "no extension"
        raise CommandError(f"{path}: cannot write a table with {shown}; use {', '.join(TABLE_SUFFIXES)}")
    if suffix in PARQUET_SUFFIXES:
        parquet_needed(path)
    check_output_file(path)


def check_output_file(path: str) -> None:
    """Refuse, before any work is done, a file path whose folder does not exist or that
    names a folder."""
    file = pathlib.Path(path)
    if not file.parent.is_dir():
        raise CommandError(f"{path}: the folder {file.parent} does not exist")
    if file.is_dir():
        raise CommandError(f"{path}: is a folder, not a file")


def check_output_folder(path: str) -> None:
    """Refuse, before any work is done, a folder path that names a file or whose parent
    folder does not exist (the folder itself is made when missing)."""
    folder = pathlib.Path(path)
    if folder.exists() and not folder.is_dir():
        raise CommandError(f"{path}: is a file, not a folder")
    if not folder.exists() and not folder.parent.is_dir():
        raise CommandError(f"{path}: the folder {folder.parent} does not exist")


def same_file(first: str, second: str) -> bool:
    """Whether two paths name one file: the same path, or (for files that exist) the
    same file by another name (a symbolic link, a hard link, another spelling)."""
    if os.path.abspath(first) == os.path.abspath(second):
        return True
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        return os.path.samefile(first, second)
    except OSError:
        return False


@contextlib.contextmanager
def _reported_as_bad_input(path: str) -> Iterator[None]:
    """A path the writer does not write, or a failure of the file system (a full disk,
    no permission), as bad input: one line."""
    try:
        yield
    except PathRefused as error:
        raise CommandError(f"{path}: {error}") from None
    except OSError as error:
        raise CommandError(f"{path}: cannot write it ({error.strerror or one_line(error)})") from None


def write_table(
    frame: "pd.DataFrame",
    path: str,
    source: Optional["TableFile"] = None,
    rows: Optional["np.ndarray"] = None,
    keep: Optional[Sequence[Hashable]] = None,
) -> None:
    """Writes `frame` to `path`. With `source`, the table the frame came from (output row
    i from its row rows[i], or row i when rows is None), every cell the command left as
    it was (in the columns `keep` names, when given) is written as the input file had it
    (see ``velmora.cli.tables``)."""
    from velmora.cli.tables import write_keeping

    to_parquet = pathlib.Path(path).suffix.lower() in PARQUET_SUFFIXES
    if to_parquet:
        parquet_needed(path)
    with _reported_as_bad_input(path):
        write_atomically(path, lambda temporary: write_keeping(frame, temporary, to_parquet, source, rows, keep))


def write_text(text: str, path: str) -> None:
    """Writes `text` to `path` in UTF-8, whole or not at all."""
    with _reported_as_bad_input(path):
        write_text_atomically(path, text)
