"""Tables as the command line reads and writes them, so that what a command keeps comes
back as it was in the input file.

pandas reads a CSV file into values: the text "NA" or "null" becomes a missing value,
"007" the number 7, "1e3" the number 1000.0, and writing the frame back gives "7" and
"1000.0". A command that keeps rows (``validate --fix``) or columns (``perturb
--preserve``) must hand them back unchanged, so a ``TableFile`` keeps, beside the frame,
the input as it was: for CSV the text of every cell and the bytes of every record, for
Parquet the Arrow table. ``write_keeping`` then writes each output cell whose value is
the value of the input cell it came from as that input cell, and a whole output row made
of such cells as the input record's own bytes; only the cells a command changed are
written from their new values. (A table written in the other format than it was read
in is written from its values.)
"""

import csv
import io
import pathlib
from typing import Any, Dict, List, Optional, Sequence

import numpy as np
import pandas as pd

PARQUET_SUFFIXES = (".parquet", ".pq")


class TableFile:
    """A table read from ``path``: its ``frame`` (the values), and what it was in the
    file: for CSV the text of each cell (``cells``, a frame of str) and the bytes of the
    header and of each record (``records``, None when they could not be told apart
    reliably), for Parquet the Arrow table (``arrow``)."""

    def __init__(
        self,
        path: str,
        frame: pd.DataFrame,
        cells: Optional[pd.DataFrame] = None,
        header: Optional[bytes] = None,
        records: Optional[List[bytes]] = None,
        arrow: Any = None,
    ) -> None:
        self.path = path
        self.frame = frame
        self.cells = cells
        self.header = header
        self.records = records
        self.arrow = arrow
        self.longer_rows = False

    @property
    def is_parquet(self) -> bool:
        return pathlib.Path(self.path).suffix.lower() in PARQUET_SUFFIXES


def read_csv_file(path: str) -> TableFile:
    """The CSV file at ``path`` with its cells' text and its records' bytes; its
    ``longer_rows`` says whether data rows hold more fields than the header. Raises what
    ``pd.read_csv`` raises.

    By default pandas takes the leading fields of data rows longer than the header as an
    index, shifting every value of those rows one column to the right; pandas 3 then
    stores an index of evenly spaced numbers as a RangeIndex, so the index does not show
    the shift. Read without an index column, pandas drops the extra fields instead and
    says so with a ParserWarning, except for one empty field closing every row (a
    delimiter at the end of each line), which loses nothing. Floats are read exactly
    under both pandas majors."""
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", pd.errors.ParserWarning)
        if int(pd.__version__.split(".")[0]) < 3:
            # pandas 2's default parser reads some numbers one unit in the last place
            # off; pandas 3 reads every float exactly (and deprecates the option).
            frame = pd.read_csv(path, index_col=False, float_precision="round_trip")
        else:
            frame = pd.read_csv(path, index_col=False)
    longer_rows = False
    for warning in caught:
        if issubclass(warning.category, pd.errors.ParserWarning) and "does not match length of data" in str(
            warning.message
        ):
            longer_rows = True
            continue
        warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    table = TableFile(path, frame)
    table.longer_rows = longer_rows
    if not longer_rows:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", pd.errors.ParserWarning)
            cells = pd.read_csv(path, dtype=str, keep_default_na=False, na_filter=False, index_col=False)
        table.cells = cells
        table.header, table.records = _records(pathlib.Path(path).read_bytes(), cells)
    return table


def read_parquet_file(path: str) -> TableFile:
    """The Parquet file at ``path`` with its Arrow table."""
    import pyarrow.parquet as pq

    arrow = pq.read_table(path)
    return TableFile(path, arrow.to_pandas(), arrow=arrow)


def _split_records(data: bytes) -> List[bytes]:
    """The records of CSV bytes, each with its line break: a line break inside a quoted
    field stays in its record."""
    records: List[bytes] = []
    start = 0
    quoted = False
    i, n = 0, len(data)
    while i < n:
        byte = data[i]
        if byte == 0x22:  # a quote: doubled quotes inside a field toggle twice
            quoted = not quoted
        elif not quoted and byte in (0x0A, 0x0D):
            end = i + 2 if byte == 0x0D and i + 1 < n and data[i + 1] == 0x0A else i + 1
            records.append(data[start:end])
            start = i = end
            continue
        i += 1
    if start < n:
        records.append(data[start:])
    return records


def _records(data: bytes, cells: pd.DataFrame) -> "tuple[Optional[bytes], Optional[List[bytes]]]":
    """The header and the data records of the file, as pandas reads them (blank lines
    skipped), or (None, None) when they do not parse to exactly the cells pandas read."""
    lines = [line for line in _split_records(data) if line.strip(b" \t\r\n")]
    if not lines or len(lines) != len(cells) + 1:
        return None, None
    try:
        rows = [next(csv.reader([line.decode("utf-8-sig" if at == 0 else "utf-8")])) for at, line in enumerate(lines)]
    except (UnicodeDecodeError, StopIteration, csv.Error):
        return None, None
    expected = cells.to_numpy(dtype=object).tolist()
    width = len(cells.columns)
    # pandas fills short rows with empty cells.
    if any(row + [""] * (width - len(row)) != wanted for row, wanted in zip(rows[1:], expected)):
        return None, None
    return lines[0], lines[1:]


def _unchanged(output: pd.Series, source: pd.Series) -> np.ndarray:
    """True where the output value equals the source value (missing equals missing)."""
    missing = output.isna().to_numpy(dtype=bool) & source.isna().to_numpy(dtype=bool)
    try:
        with np.errstate(invalid="ignore"):
            equal = np.asarray(output.to_numpy() == source.to_numpy(), dtype=bool)
    except (TypeError, ValueError):
        return missing
    if equal.shape != missing.shape:  # values numpy cannot compare cell by cell
        return missing
    return equal | missing


def write_keeping(
    frame: pd.DataFrame,
    path: str,
    to_parquet: bool,
    source: Optional[TableFile],
    rows: Optional[np.ndarray],
    keep: Optional[Sequence[Any]] = None,
) -> None:
    """Writes ``frame`` to ``path`` (Parquet or CSV, without the index).

    ``rows[i]`` is the position in ``source`` of the input row that output row ``i``
    came from (None: output row i came from input row i). Each cell whose value is the
    value of that input row's cell in the same column is written as the input had it
    (only in the columns ``keep`` names, when it is given: the others were all released
    anew, and a value that happens to come back is still a new one); the others from
    their values."""
    if source is None or to_parquet != source.is_parquet or list(frame.columns) != list(source.frame.columns):
        _write_values(frame, path, to_parquet)
        return
    if rows is None:
        if len(frame) != len(source.frame):
            _write_values(frame, path, to_parquet)
            return
        rows = np.arange(len(frame))
    rows = np.asarray(rows, dtype=np.int64)
    kept: Dict[Any, np.ndarray] = {}
    for position, column in enumerate(frame.columns):
        if keep is not None and column not in keep:
            kept[column] = np.zeros(len(frame), dtype=bool)
            continue
        kept[column] = _unchanged(frame.iloc[:, position], source.frame.iloc[rows, position])
    if to_parquet:
        _write_parquet_keeping(frame, path, source, rows, kept)
    else:
        _write_csv_keeping(frame, path, source, rows, kept)


def _write_values(frame: pd.DataFrame, path: str, to_parquet: bool) -> None:
    if to_parquet:
        frame.to_parquet(path, index=False)
    else:
        frame.to_csv(path, index=False)


def _write_csv_keeping(
    frame: pd.DataFrame, path: str, source: TableFile, rows: np.ndarray, kept: Dict[Any, np.ndarray]
) -> None:
    assert source.cells is not None
    # The text pandas writes for each value, cell by cell.
    rendered = list(csv.reader(io.StringIO(frame.to_csv(index=False))))
    header, written = rendered[0], rendered[1:]
    source_cells = source.cells.to_numpy(dtype=object)
    columns = list(frame.columns)
    out = io.BytesIO()
    if source.header is not None:
        out.write(source.header if source.header.endswith((b"\n", b"\r")) else source.header + b"\n")
    else:
        out.write(_csv_line(header))
    for i, source_row in enumerate(rows):
        kept_row = [bool(kept[column][i]) for column in columns]
        if all(kept_row) and source.records is not None:
            record = source.records[source_row]
            out.write(record if record.endswith((b"\n", b"\r")) else record + b"\n")
            continue
        texts = [source_cells[source_row, c] if kept_row[c] else written[i][c] for c in range(len(columns))]
        out.write(_csv_line(texts))
    pathlib.Path(path).write_bytes(out.getvalue())


def _csv_line(cells: Sequence[str]) -> bytes:
    """One record as pandas' to_csv writes it (minimal quoting, a line feed)."""
    buffer = io.StringIO()
    csv.writer(buffer, lineterminator="\n").writerow(cells)
    return buffer.getvalue().encode("utf-8")


def _write_parquet_keeping(
    frame: pd.DataFrame, path: str, source: TableFile, rows: np.ndarray, kept: Dict[Any, np.ndarray]
) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    written = pa.Table.from_pandas(frame, preserve_index=False)
    indices = pa.array(rows, type=pa.int64())
    arrays = []
    fields = []
    for position, column in enumerate(frame.columns):
        if kept[column].all():
            # The input's own column: its type and values as the file had them.
            arrays.append(source.arrow.column(position).take(indices))
            fields.append(source.arrow.schema.field(position))
        else:
            arrays.append(written.column(position))
            fields.append(written.schema.field(position))
    pq.write_table(pa.Table.from_arrays(arrays, schema=pa.schema(fields)), path)
