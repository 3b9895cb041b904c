"""The velmora command line: evaluate, compare, perturb and validate tables stored in files.

    velmora evaluate REAL SYNTHETIC [--metrics NAME ...] [--target COLUMN] [--holdout FILE]
                     [--name NAME] [--dataset NAME] [--seed N] [--html PATH] [--json PATH]
                     [--fail-under SCORE]
    velmora compare REAL SYNTHETIC [SYNTHETIC ...] [--metrics NAME ...] [--target COLUMN]
                    [--holdout FILE] [--name NAME ...] [--dataset NAME] [--seed N]
                    [--json-dir DIR] [--html-dir DIR]
    velmora perturb INPUT OUTPUT [--method NAME] [--epsilon E] [--delta D] [--preserve COL ...]
                    [--seed N] [--bounds FILE] [--total-epsilon E] [--total-delta D]
                    [--ledger PATH]
    velmora validate DATA (--rule TEXT ... | --rules FILE) [--fix STRATEGY --output PATH]
                     [--seed N] [--fail-on-violation] [--trust-rules]
    velmora metrics
    velmora --version

Tables are CSV files, or Parquet files (``.parquet``, ``.pq``) when pyarrow is
installed (``pip install "velmora[parquet]"``). Exit status: 0 on success, 1 when a
quality gate fails (``--fail-under``, ``--fail-on-violation``), 2 for bad input, 3 for
an internal error (a fault of velmora itself; ``--traceback`` shows where it happened),
130 when interrupted, 141 when the reader of standard output goes away. Files are
written whole or not at all.
"""

import argparse
import errno
import json
import logging
import math
import os
import pathlib
import re
import stat
import sys
import tempfile
import traceback
from typing import TYPE_CHECKING, Callable, Dict, Hashable, List, Optional, Sequence, TextIO, Tuple

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

    from velmora._cli_evaluation import Evaluation
    from velmora._cli_tables import TableFile
    from velmora.tabular.evaluator.report import EvaluationReport
    from velmora.tabular.evaluator.verdict_limits import VerdictLimits
    from velmora.tabular.rulewarden import ConstraintViolationReport

EXIT_GATE_FAILED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERNAL_ERROR = 3
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # what a shell reports for a command ended by SIGPIPE

PARQUET_SUFFIXES = (".parquet", ".pq")
TABLE_SUFFIXES = (".csv", *PARQUET_SUFFIXES)
FIX_STRATEGIES = ("drop", "resample", "clip")
PERTURB_METHODS = ("minimal", "laplace", "gaussian")
DEFAULT_EPSILON = 1.0
DEFAULT_DELTA = 1e-5
DEFAULT_SEED = 0


class CommandError(Exception):
    """A problem with the command's input, reported as one line."""


def _count(number: int, noun: str) -> str:
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


# ---- files -----------------------------------------------------------------------------


def _parquet_needed(path: str) -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise CommandError(f"{path}: Parquet files need pyarrow (pip install 'velmora[parquet]')") from None


def read_table_file(path: str) -> "TableFile":
    """The table stored at `path` (CSV or Parquet), with what the file held (see
    ``velmora._cli_tables``)."""
    import pandas as pd

    from velmora._cli_tables import read_csv_file, read_parquet_file

    file = pathlib.Path(path)
    if not file.exists():
        raise CommandError(f"{path}: no such file")
    if not file.is_file():
        raise CommandError(f"{path}: not a file")
    try:
        if file.suffix.lower() in PARQUET_SUFFIXES:
            _parquet_needed(path)
            return read_parquet_file(path)
        table = read_csv_file(path)
    except CommandError:
        raise
    except pd.errors.EmptyDataError:
        raise CommandError(f"{path}: the file is empty") from None
    except (OSError, ValueError, pd.errors.ParserError) as error:
        raise CommandError(f"{path}: cannot read it as a table ({_one_line(error)})") from None
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
        _parquet_needed(path)
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


def _new_file_mode() -> int:
    """The permission bits open() gives a new file under the current umask."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _write_atomically(path: str, write: Callable[[str], None]) -> None:
    """Runs write(temporary_path) next to `path`, then renames it into place, so that a
    failure half-way leaves no partial file behind. The file gets the mode an existing
    file at `path` has (a symbolic link is followed), else the one the umask gives. A
    character device or a FIFO (/dev/null, /dev/stdout, a named pipe, or a link to one)
    is written through, never replaced; a block device or a socket is refused. A failure
    of the file system (a full disk, no permission) is bad input: one line."""
    try:
        mode_of_target: Optional[int] = os.stat(path).st_mode
    except FileNotFoundError:
        mode_of_target = None
    except OSError as error:
        raise CommandError(f"{path}: cannot write it ({error.strerror or _one_line(error)})") from None
    if mode_of_target is not None and (stat.S_ISCHR(mode_of_target) or stat.S_ISFIFO(mode_of_target)):
        try:
            write(path)
        except OSError as error:
            raise CommandError(f"{path}: cannot write it ({error.strerror or _one_line(error)})") from None
        return
    if mode_of_target is not None and (stat.S_ISBLK(mode_of_target) or stat.S_ISSOCK(mode_of_target)):
        kind = "a block device" if stat.S_ISBLK(mode_of_target) else "a socket"
        raise CommandError(f"{path}: is {kind}, not a file; velmora writes files, devices of characters and pipes")
    target = pathlib.Path(os.path.realpath(path)) if os.path.islink(path) else pathlib.Path(path)
    directory = target.parent if str(target.parent) else pathlib.Path(".")
    if not directory.is_dir():
        raise CommandError(f"{path}: the folder {directory} does not exist")
    try:
        mode = stat.S_IMODE(mode_of_target) if mode_of_target is not None else _new_file_mode()
        handle, temporary = tempfile.mkstemp(prefix=".velmora-", suffix=".tmp", dir=directory)
        os.close(handle)
        try:
            write(temporary)
            os.chmod(temporary, mode)
            os.replace(temporary, target)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise
    except OSError as error:
        reason = error.strerror or _one_line(error)
        raise CommandError(f"{path}: cannot write it ({reason})") from None


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
    (see ``velmora._cli_tables``)."""
    from velmora._cli_tables import write_keeping

    to_parquet = pathlib.Path(path).suffix.lower() in PARQUET_SUFFIXES
    if to_parquet:
        _parquet_needed(path)
    _write_atomically(path, lambda temporary: write_keeping(frame, temporary, to_parquet, source, rows, keep))


def write_text(text: str, path: str) -> None:
    def write(temporary: str) -> None:
        with open(temporary, "w", encoding="utf-8") as handle:
            handle.write(text)

    _write_atomically(path, write)


def _one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


# ---- progress --------------------------------------------------------------------------


class Progress:
    """Step-by-step progress on standard error when it is a terminal; silent otherwise."""

    def __init__(self, total: int, stream: Optional[TextIO] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.total = total
        self.done = 0

    def step(self, label: str) -> None:
        self.done += 1
        if self.enabled:
            self.stream.write(f"\r\x1b[K[{self.done}/{self.total}] {label}")
            self.stream.flush()

    def stepper(self, prefix: str) -> Callable[[str], None]:
        """step() for labels that start with `prefix`."""
        return lambda label: self.step(f"{prefix}{label}")

    def finish(self) -> None:
        if self.enabled and self.done:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


# ---- evaluate and compare --------------------------------------------------------------


def _metric_names(args: argparse.Namespace) -> List[str]:
    from velmora.tabular.evaluator.catalogue import metric_catalogue, metric_names

    known = list(metric_names())
    names = list(dict.fromkeys(args.metrics or known))
    unknown = [name for name in names if name not in known]
    if unknown:
        raise CommandError(f"unknown metric {unknown[0]!r}; known metrics: {', '.join(known)} (see 'velmora metrics')")
    chosen = [info for info in metric_catalogue() if info.name in names]
    for option, takes in (
        ("target", lambda info: info.needs_target),
        ("holdout", lambda info: "holdout" in info.options),
    ):
        if getattr(args, option) is not None and not any(takes(info) for info in chosen):
            users = [info.name for info in metric_catalogue() if takes(info)]
            listed = ", ".join(users[:-1]) + " and " + users[-1] if len(users) > 1 else users[0]
            raise CommandError(f"--{option} is used by {listed}, which --metrics leaves out")
    return names


def _verdict_limits(args: argparse.Namespace) -> "VerdictLimits":
    from velmora.tabular.evaluator.verdict_limits import VerdictLimits

    return VerdictLimits(
        max_exposed_share=args.max_exposed_share,
        max_attack_risk=args.max_attack_risk,
        min_quality=args.min_quality,
    )


def _decides_privacy(names: Sequence[str]) -> bool:
    """Whether the metrics run include a privacy metric, without which no verdict can
    say the table is releasable."""
    return bool({"membership_inference_auc", "distance_to_closest_record"} & set(names))


def _columns(frame: "pd.DataFrame") -> str:
    shown = [str(column) for column in frame.columns[:12]]
    return ", ".join(shown) + (f", ... ({len(frame.columns)} in all)" if len(frame.columns) > 12 else "")


def _check_pair(
    real: "pd.DataFrame",
    real_path: str,
    synthetic: "pd.DataFrame",
    synthetic_path: str,
    target: Optional[str],
    holdout: Optional["pd.DataFrame"],
    holdout_path: Optional[str],
) -> None:
    """Refuse tables the evaluation cannot compare, before it starts."""
    shared = [column for column in real.columns if column in set(synthetic.columns)]
    if not shared:
        raise CommandError(f"{real_path} and {synthetic_path} share no column")
    if target is not None:
        for frame, path in ((real, real_path), (synthetic, synthetic_path)):
            if target not in frame.columns:
                raise CommandError(f"--target {target!r} is not a column of {path} (columns: {_columns(frame)})")
        if real[target].dropna().nunique() < 2:
            raise CommandError(
                f"--target {target!r} has fewer than two distinct values in {real_path}: there is nothing to predict"
            )
    if holdout is not None:
        lacking = [str(column) for column in shared if column not in holdout.columns]
        if lacking:
            raise CommandError(f"{holdout_path}: the holdout lacks columns the tables share: {', '.join(lacking)}")


def _read_holdout(args: argparse.Namespace, real: "pd.DataFrame") -> Optional["pd.DataFrame"]:
    """The holdout table, with a note when some of its rows are rows of the real table:
    the attack takes those as members and non-members at once."""
    if args.holdout is None:
        return None
    import pandas as pd

    holdout = read_rows(args.holdout)
    shared = [column for column in real.columns if column in set(holdout.columns)]
    if shared:
        real_rows = set(pd.util.hash_pandas_object(real[shared], index=False))
        repeated = int(pd.util.hash_pandas_object(holdout[shared], index=False).isin(real_rows).sum())
        if repeated:
            print(
                f"velmora: note: {repeated:,} of {_count(len(holdout), 'holdout row')} "
                f"{'is also a row' if repeated == 1 else 'are also rows'} of {args.real}; a holdout should "
                "hold records the generator never saw",
                file=sys.stderr,
            )
    return holdout


def _stem(path: str) -> str:
    return pathlib.Path(path).stem


def _print_missing(evaluation: "Evaluation", label: str = "") -> None:
    """Name the metrics that filed no result, with the reason where one is known."""
    if not evaluation.missing:
        return
    where = f" for {label}" if label else ""
    print(f"No result{where} from {_count(len(evaluation.missing), 'metric')}:")
    for name, reason in evaluation.missing.items():
        print(f"  {name}: {reason or 'the evaluator filed none (no reason known)'}")


def command_evaluate(args: argparse.Namespace) -> int:
    from velmora._cli_evaluation import evaluate_tables

    names = _metric_names(args)
    limits = _verdict_limits(args)
    for path in (args.json, args.html):
        if path:
            check_output_file(path)
    real = read_rows(args.real)
    synthetic = read_rows(args.synthetic)
    holdout = _read_holdout(args, real)
    _check_pair(real, args.real, synthetic, args.synthetic, args.target, holdout, args.holdout)

    progress = Progress(len(names))
    evaluation = evaluate_tables(
        real,
        synthetic,
        names,
        generator_name=args.name or _stem(args.synthetic),
        dataset_name=args.dataset or _stem(args.real),
        seed=args.seed,
        target=args.target,
        holdout=holdout,
        step=progress.step,
    )
    progress.finish()
    report = evaluation.report
    report.verdict_limits = limits
    verdict = report.release_verdict()

    print(report.summary())
    _print_missing(evaluation)
    quality = report.quality_score()
    print(f"Quality score: {quality:.4f} (overall score, the page's mean: {report.overall_score():.4f})")
    if args.json:
        write_text(report.to_json(), args.json)
        print(f"JSON report written to {args.json}")
    if args.html:
        write_text(_page(report, real, synthetic), args.html)
        print(f"HTML report written to {args.html}")
    status = 0
    if not verdict.releasable and _decides_privacy(names):
        print(f"Verdict: {verdict.label} ({args.synthetic} is not releasable)", file=sys.stderr)
        status = EXIT_GATE_FAILED
    if args.fail_under is not None and not quality >= args.fail_under:
        print(f"Quality score {quality:.4f} is below {args.fail_under}", file=sys.stderr)
        status = EXIT_GATE_FAILED
    return status


def _page(report: "EvaluationReport", real: "pd.DataFrame", synthetic: "pd.DataFrame") -> str:
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    page: str = TabularEvaluator().to_html(report, None, real, synthetic)
    return page


def file_names(labels: Sequence[str]) -> List[str]:
    """One file name (without extension) per label: characters other than letters,
    digits, '.', '_' and '-' become '_', and repeats get '-2', '-3', ..."""
    names: List[str] = []
    for label in labels:
        base = re.sub(r"[^A-Za-z0-9._-]", "_", label).lstrip(".") or "report"
        name, number = base, 1
        while name in names:
            number += 1
            name = f"{base}-{number}"
        names.append(name)
    return names


def command_compare(args: argparse.Namespace) -> int:
    from velmora._cli_evaluation import evaluate_tables
    from velmora.tabular.evaluator.report import compare

    names = _metric_names(args)
    if args.name is not None and len(args.name) != len(args.synthetic):
        raise CommandError(
            f"--name gives {_count(len(args.name), 'name')} for "
            f"{_count(len(args.synthetic), 'synthetic table')}; give one per table"
        )
    for folder in (args.json_dir, args.html_dir):
        if folder:
            check_output_folder(folder)
    if args.json:
        check_output_file(args.json)
    _verdict_limits(args)
    real = read_rows(args.real)
    synthetic_tables = [read_rows(path) for path in args.synthetic]
    holdout = _read_holdout(args, real)
    for path, synthetic in zip(args.synthetic, synthetic_tables):
        _check_pair(real, args.real, synthetic, path, args.target, holdout, args.holdout)

    labels = args.name or [_stem(path) for path in args.synthetic]
    progress = Progress(len(names) * len(labels))
    evaluations = []
    for label, synthetic in zip(labels, synthetic_tables):
        evaluations.append(
            evaluate_tables(
                real,
                synthetic,
                names,
                generator_name=label,
                dataset_name=args.dataset or _stem(args.real),
                seed=args.seed,
                target=args.target,
                holdout=holdout,
                step=progress.stepper(f"{label}: "),
            )
        )
    progress.finish()

    limits = _verdict_limits(args)
    for evaluation in evaluations:
        evaluation.report.verdict_limits = limits
    comparison = compare([evaluation.report for evaluation in evaluations])
    print(comparison.summary())
    if args.json:
        write_text(json.dumps(comparison.to_dict(), indent=2, allow_nan=False), args.json)
        print(f"Comparison written to {args.json}")
    for label, evaluation in zip(comparison.labels, evaluations):
        _print_missing(evaluation, label)
    stems = file_names(comparison.labels)
    for folder, suffix in ((args.json_dir, ".json"), (args.html_dir, ".html")):
        if not folder:
            continue
        try:
            pathlib.Path(folder).mkdir(exist_ok=True)
        except OSError as error:
            raise CommandError(f"{folder}: cannot make the folder ({error.strerror or _one_line(error)})") from None
        for label, stem, evaluation, synthetic in zip(comparison.labels, stems, evaluations, synthetic_tables):
            path = str(pathlib.Path(folder) / f"{stem}{suffix}")
            report = evaluation.report
            write_text(report.to_json() if suffix == ".json" else _page(report, real, synthetic), path)
            print(f"{'JSON report' if suffix == '.json' else 'HTML report'} of {label} written to {path}")
    return 0


def command_metrics(args: argparse.Namespace) -> int:
    from velmora.tabular.evaluator.catalogue import metric_catalogue

    header = ("metric", "group", "better", "meaning")
    rows = [(info.name, info.group, info.better, info.summary) for info in metric_catalogue()]
    widths = [max(len(row[index]) for row in [header, *rows]) for index in range(3)]
    print("The evaluation suite ('velmora evaluate' runs every metric unless --metrics names some):")
    for row in [header, *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[3])
    return 0


# ---- perturb ---------------------------------------------------------------------------

# The options that select the protected release (velmora.privacy.protect) over the noise
# processor (apply_noiseforge's algorithm).
PROTECTED_OPTIONS = ("--bounds", "--total-epsilon", "--total-delta", "--ledger")
PROTECTED_METHODS = ("laplace", "gaussian")


def _same_file(first: str, second: str) -> bool:
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


def _refuse_overwriting(args: argparse.Namespace) -> None:
    """Refuse, before anything is read or written, an output that would overwrite the
    input or another output of the same command."""
    outputs = [("OUTPUT", args.output)] + ([("--ledger", args.ledger)] if args.ledger else [])
    for name, path in outputs:
        if _same_file(args.input, path):
            raise CommandError(f"{path}: {name} is the input {args.input}; write it to another file")
    if args.ledger and _same_file(args.output, args.ledger):
        raise CommandError(f"{args.ledger}: --ledger is OUTPUT; write the ledger to another file")


def read_bounds(path: str, frame: "pd.DataFrame") -> Tuple[Dict[str, List[float]], Dict[str, List[object]]]:
    """The public bounds and categories of a --bounds file: a JSON object mapping column
    names to [low, high] (numbers, for a numeric column), to a list of categories (for
    any other column), or to {"categories": [...]} (categories of a numeric column)."""
    import json

    import pandas as pd

    file = pathlib.Path(path)
    if not file.is_file():
        raise CommandError(f"{path}: no such file")
    try:
        domains = json.loads(file.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError) as error:
        raise CommandError(f"{path}: cannot read it ({_one_line(error)})") from None
    except json.JSONDecodeError as error:
        raise CommandError(f"{path}: not valid JSON ({error})") from None
    if not isinstance(domains, dict):
        raise CommandError(f"{path}: must hold a JSON object of column names, not {type(domains).__name__}")
    unknown = [name for name in domains if name not in frame.columns]
    if unknown:
        raise CommandError(f"{path}: names no column of the table: {', '.join(map(repr, unknown))}")
    bounds: Dict[str, List[float]] = {}
    categories: Dict[str, List[object]] = {}
    for name, domain in domains.items():
        column = frame[name]
        numeric = pd.api.types.is_numeric_dtype(column.dtype) and not pd.api.types.is_bool_dtype(column.dtype)
        if isinstance(domain, dict) and set(domain) == {"categories"} and isinstance(domain["categories"], list):
            categories[name] = domain["categories"]
        elif isinstance(domain, list) and numeric:
            if len(domain) != 2:
                raise CommandError(
                    f'{path}: {name!r} is numeric: give [low, high], or {{"categories": [...]}} for its categories'
                )
            bounds[name] = domain
        elif isinstance(domain, list):
            categories[name] = domain
        else:
            raise CommandError(f"{path}: {name!r} must map to [low, high] or a list of categories, not {domain!r}")
    return bounds, categories


def _whole_numbers_as_integers(frame: "pd.DataFrame", keep: Sequence[str]) -> "pd.DataFrame":
    """Columns of whole numbers with empty cells, which a CSV file gives as floats, as
    nullable integers, so that the protected release keeps them integer (the columns
    in `keep` stay as they are)."""
    import numpy as np

    converted = frame.copy(deep=False)
    for position, dtype in enumerate(frame.dtypes):
        if not (isinstance(dtype, np.dtype) and dtype.kind == "f") or frame.columns[position] in keep:
            continue
        values = frame.iloc[:, position].to_numpy()
        present = values[~np.isnan(values)]
        whole = bool(np.all(np.mod(present, 1) == 0)) and bool(np.all(np.abs(present) < 2.0**53))
        if len(present) < len(values) and whole:
            converted.isetitem(position, frame.iloc[:, position].astype("Int64").array)
    return converted


def _protected_release(args: argparse.Namespace, frame: "pd.DataFrame") -> "pd.DataFrame":
    from velmora.exceptions import VelmoraInputError
    from velmora.privacy import protect

    method = args.method or "laplace"
    if method not in PROTECTED_METHODS:
        raise CommandError(
            f"--method {method} has no protected release; with {', '.join(PROTECTED_OPTIONS)} use laplace or gaussian"
        )
    if method != "gaussian":
        for option, given in (("--delta", args.delta), ("--total-delta", args.total_delta)):
            if given is not None:
                raise CommandError(f"{option} is spent by --method gaussian only")
    bounds, categories = read_bounds(args.bounds, frame) if args.bounds else ({}, {})
    frame = _whole_numbers_as_integers(frame, args.preserve or [])
    epsilon = args.epsilon
    if epsilon is None and args.total_epsilon is None:
        epsilon = DEFAULT_EPSILON
    delta = args.delta
    if method == "gaussian" and delta is None and args.total_delta is None:
        delta = DEFAULT_DELTA
    try:
        noisy, ledger = protect(
            frame,
            epsilon=epsilon,
            delta=delta,
            method=method,
            bounds=bounds,
            categories=categories,
            total_epsilon=args.total_epsilon,
            total_delta=args.total_delta,
            preserve=list(args.preserve or []),
            random_state=args.seed,
        )
    except VelmoraInputError as error:
        raise CommandError(str(error)) from None
    print(ledger.summary())
    if args.ledger:
        write_text(ledger.to_json() + "\n", args.ledger)
        print(f"Ledger written to {args.ledger}")
    return noisy


def command_perturb(args: argparse.Namespace) -> int:
    _refuse_overwriting(args)
    check_output_table(args.output)
    if args.ledger:
        check_output_file(args.ledger)
    protected = any(given is not None for given in (args.bounds, args.total_epsilon, args.total_delta, args.ledger))
    for option, value in (
        ("--epsilon", args.epsilon),
        ("--total-epsilon", args.total_epsilon),
    ):
        if value is not None and not (value > 0 and math.isfinite(value)):
            raise CommandError(f"{option} must be a positive finite number")
    for option, value in (("--delta", args.delta), ("--total-delta", args.total_delta)):
        if value is not None and not 0 < value < 1:
            raise CommandError(f"{option} must lie between 0 and 1 (exclusive)")
    source = read_table_file(args.input)
    frame = source.frame
    missing = [column for column in args.preserve or [] if column not in frame.columns]
    if missing:
        raise CommandError(f"--preserve names no column of {args.input}: {', '.join(missing)}")
    if protected:
        noisy = _protected_release(args, frame)
        # Only the preserved columns are kept; every other cell was released anew.
        write_table(noisy, args.output, source, keep=list(args.preserve or []))
        print(f"Wrote {_count(len(noisy), 'protected row')} to {args.output}")
        return 0

    method = args.method or "minimal"
    epsilon = DEFAULT_EPSILON if args.epsilon is None else args.epsilon
    delta = DEFAULT_DELTA if args.delta is None else args.delta
    unused = [
        option
        for option, given, uses in (
            ("--epsilon", args.epsilon, ("laplace", "gaussian")),
            ("--delta", args.delta, ("gaussian",)),
        )
        if given is not None and method not in uses
    ]
    for option in unused:
        print(f"velmora: note: --method {method} does not use {option}", file=sys.stderr)
    from velmora.core_generator.noiseforge import NoiseforgeProcessor

    progress = Progress(2)
    progress.step(f"perturbing {len(frame):,} rows with {method!r}")
    processor = NoiseforgeProcessor(epsilon=epsilon, delta=delta, random_state=args.seed)
    noisy = processor.apply_dp(frame, method=method, preserve_columns=list(args.preserve) if args.preserve else None)
    progress.step(f"writing {args.output}")
    write_table(noisy, args.output, source)
    progress.finish()
    if method == "minimal":
        budget = "small fixed noise, which uses neither epsilon nor delta"
    elif method == "laplace":
        budget = f"epsilon {epsilon:g}"
    else:
        budget = f"epsilon {epsilon:g}, delta {delta:g}"
    print(f"Wrote {_count(len(noisy), 'perturbed row')} to {args.output} (method {method}: {budget})")
    return 0


# ---- validate --------------------------------------------------------------------------


def read_rules(path: str) -> List[str]:
    """One rule per line; blank lines and lines starting with '#' are skipped."""
    file = pathlib.Path(path)
    if not file.is_file():
        raise CommandError(f"{path}: no such file")
    try:
        lines = file.read_text(encoding="utf-8").splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise CommandError(f"{path}: cannot read the rules ({_one_line(error)})") from None
    rules = [line.strip() for line in lines if line.strip() and not line.strip().startswith("#")]
    if not rules:
        raise CommandError(f"{path}: the rule file holds no rule")
    return rules


def _shown(rule: str, limit: int = 80) -> str:
    return repr(rule) if len(rule) <= limit else repr(rule[:limit]) + f"... ({len(rule):,} characters)"


def check_rules(rules: Sequence[str], frame: "pd.DataFrame", trusted: bool) -> None:
    """Refuse, naming the rule, any rule too long for a parser, any rule outside the rule
    language (unless `trusted`) and any rule that cannot be evaluated on the table's
    first rows: validation would count it as having no violation."""
    from velmora._rule_language import RuleRefused, check_evaluates, check_language, rule_parts, text_columns
    from velmora.tabular.rulewarden import Rulewarden

    texts = text_columns(frame)
    for rule in rules:
        try:
            # The engine refuses texts too long to parse before any parser sees them.
            Rulewarden().add_rule(rule)
        except ValueError as error:
            raise CommandError(f"rule {_shown(rule)}: {error}") from None
        if not trusted:
            try:
                for part in rule_parts(rule):
                    check_language(part, texts)
            except RuleRefused as error:
                raise CommandError(
                    f"rule {_shown(rule)} is not in the rule language: {error} "
                    "(--trust-rules accepts any pandas expression)"
                ) from None
        try:
            check_evaluates(rule, frame)
        except RuleRefused as error:
            raise CommandError(f"rule {_shown(rule)} {error}") from None


def _validated(rules: Sequence[str], frame: "pd.DataFrame", where: str) -> "ConstraintViolationReport":
    """The validation report of `frame`; a rule that cannot be evaluated on the whole
    table (a column read as numbers in its first rows and as text further down) is bad
    input, not a rule without violations."""
    from velmora.tabular.rulewarden import Rulewarden

    failures: Dict[str, BaseException] = {}

    class RecordingRulewarden(Rulewarden):
        def _rule_not_evaluated(self, rule: str, error: BaseException) -> None:
            failures.setdefault(rule, error)

    engine = RecordingRulewarden()
    for rule in rules:
        engine.add_rule(rule)
    report = engine.validate(frame)
    for rule, error in failures.items():
        raise CommandError(
            f"rule {_shown(rule)} cannot be evaluated on the whole of {where} ({_one_line_reason(error)}); "
            "its rows were checked by none of it"
        )
    return report


def _one_line_reason(error: BaseException) -> str:
    return f"{type(error).__name__}: {_one_line(error)}"


def _violation_lines(violations: Dict[str, int], total: int, rows: int, n_rows: int, rate: float) -> List[str]:
    lines = [f"Rule {rule!r}: {_count(count, 'violation')}" for rule, count in violations.items()]
    lines.append(f"{_count(total, 'violation')} in {rows:,} of {_count(n_rows, 'row')} ({rate:.1%})")
    return lines


def command_validate(args: argparse.Namespace) -> int:
    import numpy as np

    if args.fix and not args.output:
        raise CommandError("--fix needs --output PATH for the repaired table")
    if args.output and not args.fix:
        raise CommandError("--output goes with --fix STRATEGY")
    if args.output:
        check_output_table(args.output)
    rules = args.rule if args.rule else read_rules(args.rules)
    source = read_table_file(args.data)
    frame = source.frame
    check_rules(rules, frame, args.trust_rules)
    report = _validated(rules, frame, args.data)
    for line in _violation_lines(
        report.violations, report.total_violations, len(report.violating_rows), len(frame), report.violation_rate
    ):
        print(line)
    judged, remaining = args.data, report.total_violations
    if args.fix:
        if args.seed is not None:
            np.random.seed(args.seed)
        # Which input row each repaired row is: the rows kept are written back as the
        # input file had them.
        marker = "__velmora_row__"
        while marker in frame.columns:
            marker += "_"
        tracked = frame.copy()
        tracked[marker] = np.arange(len(frame))
        fixed = report.fix(tracked, strategy=args.fix)
        rows = fixed[marker].to_numpy()
        fixed = fixed.drop(columns=marker)
        write_table(fixed, args.output, source, rows)
        print(f"Wrote {_count(len(fixed), 'row')} repaired with {args.fix!r} to {args.output}; checked again:")
        # The file as written is what a pipeline reads next, so that is what is checked.
        written = read_table(args.output)
        judged, remaining = args.output, 0
        if len(written) == 0:
            print("  the written table has no rows, so no violation")
        else:
            try:
                check_rules(rules, written, trusted=True)
            except CommandError as error:
                raise CommandError(f"{args.output} as written: {error}") from None
            after = _validated(rules, written, f"{args.output} as written")
            for line in _violation_lines(
                after.violations, after.total_violations, len(after.violating_rows), len(written), after.violation_rate
            ):
                print(f"  {line}")
            remaining = after.total_violations
    if args.fail_on_violation and remaining > 0:
        print(f"{_count(remaining, 'violation')} in {judged} (--fail-on-violation)", file=sys.stderr)
        return EXIT_GATE_FAILED
    return 0


# ---- parser ----------------------------------------------------------------------------


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Descriptions and examples as written, option help wrapped."""


def _unit_share(text: str) -> float:
    """A number between 0 and 1, for argparse."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


class _VersionAction(argparse.Action):
    """--version: prints the version and exits. Unlike argparse's own action (which on
    some Python versions drops a failed write without a word), a standard output that
    cannot take the line raises, for main() to report."""

    def __init__(self, option_strings: Sequence[str], version: str, dest: str = argparse.SUPPRESS, **kwargs) -> None:
        super().__init__(option_strings, dest=dest, default=argparse.SUPPRESS, nargs=0, **kwargs)
        self.version = version

    def __call__(self, parser, namespace, values, option_string=None) -> None:
        sys.stdout.write(self.version + "\n")
        sys.stdout.flush()
        parser.exit()


# numpy's generators take seeds from 0 to 2**32 - 1.
MAX_SEED = 2**32 - 1


def _seed(text: str) -> int:
    """A --seed value: an integer numpy's generators take."""
    try:
        seed = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if not 0 <= seed <= MAX_SEED:
        raise argparse.ArgumentTypeError(f"{text} is outside 0 to {MAX_SEED}")
    return seed


def _score(text: str) -> float:
    """A --fail-under value: a finite number (NaN would let every score pass)."""
    try:
        score = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid float value: {text!r}") from None
    if not math.isfinite(score):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number")
    return score


def _evaluation_options(parser: argparse.ArgumentParser) -> None:
    """The options evaluate and compare share."""
    parser.add_argument(
        "--metrics",
        nargs="+",
        metavar="NAME",
        help="metrics to run (default: the full suite; 'velmora metrics' lists it)",
    )
    parser.add_argument(
        "--target",
        metavar="COLUMN",
        help="the column the utility metrics (prediction_agreement, tstr_normalized) predict "
        "(default: the first text, category or boolean column of REAL, also in SYNTHETIC, "
        "with 2 to 20 values; else the first numeric column with more than 20; the report "
        "names it)",
    )
    parser.add_argument(
        "--holdout",
        metavar="FILE",
        help="real rows of the same population that the generator never saw: the membership "
        "attack takes them as non-members, the exposure is measured against what they "
        "reproduce by chance and the utility metrics test on them (default: none; the "
        "attack then measures against the real data's own spacing, and a table whose rows "
        "repeat may be undecidable)",
    )
    parser.add_argument(
        "--dataset",
        metavar="NAME",
        help="the real data's name in the reports (default: REAL's file name without extension)",
    )
    parser.add_argument(
        "--seed",
        type=_seed,
        default=DEFAULT_SEED,
        metavar="N",
        help=f"seed of every metric that draws random numbers (default: {DEFAULT_SEED})",
    )
    from velmora.tabular.evaluator.verdict_limits import VerdictLimits

    defaults = VerdictLimits()
    parser.add_argument(
        "--max-exposed-share",
        type=_unit_share,
        default=defaults.max_exposed_share,
        metavar="SHARE",
        help="the verdict fails privacy when this share of the real records (or of the synthetic "
        f"ones) is reproduced beyond chance (default: {defaults.max_exposed_share:g})",
    )
    parser.add_argument(
        "--max-attack-risk",
        type=_unit_share,
        default=defaults.max_attack_risk,
        metavar="RISK",
        help=f"the verdict fails privacy at this membership attack risk (default: {defaults.max_attack_risk:g})",
    )
    parser.add_argument(
        "--min-quality",
        type=_unit_share,
        default=defaults.min_quality,
        metavar="SCORE",
        help=f"a releasable table keeps at least this quality score (default: {defaults.min_quality:g})",
    )


def _traceback_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--traceback", action="store_true", help="on an internal error, show the Python traceback (default: one line)"
    )


def build_parser() -> argparse.ArgumentParser:
    from velmora import __version__

    parser = argparse.ArgumentParser(
        prog="velmora",
        formatter_class=_HelpFormatter,
        description="Evaluate, compare, perturb and validate synthetic tabular data (CSV or Parquet files).",
        epilog="exit status: 0 success, 1 a gate failed (evaluate: not releasable or --fail-under;\n"
        "validate: --fail-on-violation),\n"
        "2 bad input, 3 internal error (a fault of velmora; --traceback shows it), 130 interrupted.\n"
        "Run 'velmora COMMAND --help' for a command's options and examples.",
    )
    parser.add_argument(
        "--version", action=_VersionAction, version=f"velmora {__version__}", help="show the version and exit"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    evaluate = commands.add_parser(
        "evaluate",
        formatter_class=_HelpFormatter,
        help="score synthetic data against real data",
        description="Score a synthetic table against the real one with the evaluation suite and print\n"
        "the release verdict first (release, do not release, or undecided: needs a holdout,\n"
        "with the reasons), then the report, the metrics that filed no result (with the\n"
        "reason) and the quality score. Exit status 1 when the table is not releasable (when\n"
        "--metrics leaves out both privacy metrics, no verdict gates) or its quality score is\n"
        "below --fail-under.",
        epilog="examples:\n"
        "  velmora evaluate real.csv synthetic.csv\n"
        "  velmora evaluate real.csv synthetic.csv --metrics ks_complement mmd --seed 7\n"
        "  velmora evaluate real.csv synthetic.csv --target income --holdout unseen.csv\n"
        "  velmora evaluate real.csv synthetic.csv --name ctgan-v2 --html report.html --json report.json\n"
        "  velmora evaluate real.csv synthetic.csv --fail-under 0.8   # exit 1 below quality 0.8",
    )
    evaluate.add_argument("real", metavar="REAL", help="the real table")
    evaluate.add_argument("synthetic", metavar="SYNTHETIC", help="the synthetic table")
    _evaluation_options(evaluate)
    evaluate.add_argument(
        "--name",
        metavar="NAME",
        help="the synthetic data's (generator's) name in the report and the page heading "
        "(default: SYNTHETIC's file name without extension)",
    )
    evaluate.add_argument("--html", metavar="PATH", help="write the HTML report page here (default: no page)")
    evaluate.add_argument("--json", metavar="PATH", help="write the report as JSON here (default: no file)")
    evaluate.add_argument(
        "--fail-under",
        type=_score,
        metavar="SCORE",
        help="exit with status 1 when the quality score is below SCORE (default: no gate)",
    )
    _traceback_option(evaluate)
    evaluate.set_defaults(run=command_evaluate)

    comparison = commands.add_parser(
        "compare",
        formatter_class=_HelpFormatter,
        help="evaluate several synthetic tables side by side",
        description="Evaluate each synthetic table against the real one and print the comparison:\n"
        "the recommended version (the releasable one of highest quality; none when none is\n"
        "releasable or two tie), each version's verdict, quality, exposed share and attack\n"
        "risk, then every metric's value per version with the best version (ties named).",
        epilog="examples:\n"
        "  velmora compare real.csv ctgan.csv tvae.csv copula.csv\n"
        "  velmora compare real.csv a.csv b.csv --name laplace-e1 gaussian-e1 --json-dir reports\n"
        "  velmora compare real.csv a.csv b.csv --target income --holdout unseen.csv --html-dir pages",
    )
    comparison.add_argument("real", metavar="REAL", help="the real table")
    comparison.add_argument("synthetic", metavar="SYNTHETIC", nargs="+", help="the synthetic tables, one per version")
    _evaluation_options(comparison)
    comparison.add_argument(
        "--name",
        nargs="+",
        metavar="NAME",
        help="one name per SYNTHETIC, in order, for the table, the reports and the pages "
        "(default: each file's name without extension)",
    )
    comparison.add_argument(
        "--json",
        metavar="PATH",
        help="write the comparison as JSON here: the recommended version (or null), each version's "
        "verdict and scores, the metric table (default: no file)",
    )
    comparison.add_argument(
        "--json-dir",
        metavar="DIR",
        help="write each version's report as DIR/NAME.json; DIR is made if missing (default: no files)",
    )
    comparison.add_argument(
        "--html-dir",
        metavar="DIR",
        help="write each version's HTML page as DIR/NAME.html; DIR is made if missing (default: no pages)",
    )
    _traceback_option(comparison)
    comparison.set_defaults(run=command_compare)

    perturb = commands.add_parser(
        "perturb",
        formatter_class=_HelpFormatter,
        help="perturb a table under a privacy budget",
        description="Write a perturbed copy of a table, in one of two ways.\n"
        "\n"
        "The noise processor (the default): 'laplace' and 'gaussian' noise calibrated to\n"
        "epsilon (and, for 'gaussian', delta) from each column's observed range, a\n"
        "privacy-motivated perturbation without a formal guarantee; 'minimal' adds small\n"
        "fixed noise and uses neither.\n"
        "\n"
        "The protected release, chosen by --bounds, --total-epsilon, --total-delta or\n"
        "--ledger: differential privacy per record with public bounds (numeric columns\n"
        "clipped into them, integer columns kept integer) and randomized response over\n"
        "public categories; prints the privacy ledger (per column and composed per record)\n"
        "and refuses a release over --total-epsilon. Columns without bounds have them\n"
        "read from the data, which the ledger marks as not differentially private.",
        epilog="examples:\n"
        "  velmora perturb data.csv noisy.csv\n"
        "  velmora perturb data.csv noisy.csv --method laplace --epsilon 0.5 --seed 42\n"
        "  velmora perturb data.parquet noisy.parquet --method gaussian --delta 1e-6 --preserve id target\n"
        "  velmora perturb data.csv protected.csv --bounds bounds.json --total-epsilon 2 --ledger ledger.json\n"
        "  velmora perturb data.csv protected.csv --bounds bounds.json --method gaussian --total-epsilon 1 "
        "--total-delta 1e-6\n"
        "\n"
        'a bounds file: {"age": [18, 90], "income": [0, 250000], "city": ["Lyon", "Porto"],\n'
        '                "month": {"categories": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12]}}',
    )
    perturb.add_argument("input", metavar="INPUT", help="the table to perturb")
    perturb.add_argument("output", metavar="OUTPUT", help="where to write the perturbed table (not INPUT)")
    perturb.add_argument(
        "--method",
        choices=PERTURB_METHODS,
        default=None,
        help="perturbation method (default: minimal; laplace for the protected release)",
    )
    perturb.add_argument(
        "--epsilon",
        type=float,
        metavar="E",
        help="privacy budget of laplace and gaussian, lower means more noise; in the protected release "
        f"what each column spends (default: {DEFAULT_EPSILON}, or --total-epsilon split over the columns)",
    )
    perturb.add_argument(
        "--delta",
        type=float,
        metavar="D",
        help=f"delta of the gaussian method, between 0 and 1 (default: {DEFAULT_DELTA:g}; in the protected "
        "release per column, or --total-delta split over the columns)",
    )
    perturb.add_argument("--preserve", nargs="+", metavar="COL", help="columns to copy unchanged (default: none)")
    perturb.add_argument(
        "--seed",
        type=_seed,
        metavar="N",
        help="random seed, for a reproducible result; whoever knows it can undo the noise "
        "(default: none, a different result each run)",
    )
    perturb.add_argument(
        "--bounds",
        metavar="FILE",
        help="protected release: a JSON file of public domains, column -> [low, high] or a list of "
        "categories (default: none; every domain read from the data, not differentially private)",
    )
    perturb.add_argument(
        "--total-epsilon",
        type=float,
        metavar="E",
        help="protected release: the budget of one record over all its columns; with --epsilon a "
        "cap the release must not exceed, without it split over the columns (default: no cap)",
    )
    perturb.add_argument(
        "--total-delta",
        type=float,
        metavar="D",
        help="protected release, gaussian: the delta of one record, a cap with --delta, else split (default: no cap)",
    )
    perturb.add_argument(
        "--ledger",
        metavar="PATH",
        help="protected release: write the privacy ledger here as JSON (default: printed only)",
    )
    _traceback_option(perturb)
    perturb.set_defaults(run=command_perturb)

    validate = commands.add_parser(
        "validate",
        formatter_class=_HelpFormatter,
        help="check a table against rules and repair it",
        description="Check every row of a table against text rules: comparisons, arithmetic and\n"
        "and/or/not of columns and literals, 'in [...]', and 'if CONDITION then\n"
        "CONSEQUENCE'. Anything else (function calls, attributes, '@' variables) is\n"
        "refused unless --trust-rules is given. A rule that cannot be evaluated on the\n"
        "table (a misspelt column, a syntax error) is refused with exit status 2.\n"
        "With --fix, the repaired table is written and checked again.",
        epilog="examples:\n"
        "  velmora validate data.csv --rule 'age > 0' --rule 'if age < 18 then income == 0'\n"
        "  velmora validate data.csv --rules rules.txt --fail-on-violation\n"
        "  velmora validate data.csv --rules rules.txt --fix drop --output clean.csv",
    )
    validate.add_argument("data", metavar="DATA", help="the table to check")
    sources = validate.add_mutually_exclusive_group(required=True)
    sources.add_argument(
        "--rule",
        action="append",
        metavar="TEXT",
        help="a rule; repeat for more (default: none; --rule or --rules is needed)",
    )
    sources.add_argument(
        "--rules", metavar="FILE", help="a file with one rule per line, '#' starting a comment (default: none)"
    )
    validate.add_argument(
        "--fix",
        choices=FIX_STRATEGIES,
        metavar="STRATEGY",
        help="repair the table: drop, resample or clip (default: no repair)",
    )
    validate.add_argument("--output", metavar="PATH", help="where to write the repaired table (default: none)")
    validate.add_argument(
        "--seed",
        type=_seed,
        metavar="N",
        help="random seed of the 'resample' repair (default: none, a different draw each run)",
    )
    validate.add_argument(
        "--fail-on-violation",
        action="store_true",
        help="exit with status 1 when a violation is left: in DATA, or with --fix in the written table (default: off)",
    )
    validate.add_argument(
        "--trust-rules",
        action="store_true",
        help="accept any pandas expression as a rule; rule text is then run as code "
        "(default: off, the rule language only)",
    )
    _traceback_option(validate)
    validate.set_defaults(run=command_validate)

    metrics = commands.add_parser(
        "metrics",
        formatter_class=_HelpFormatter,
        help="list the metrics of the evaluation suite",
        description="List every metric of the evaluation suite with its direction and one line of\n"
        "meaning, which names its results where they are not named after the metric.",
        epilog="examples:\n  velmora metrics",
    )
    _traceback_option(metrics)
    metrics.set_defaults(run=command_metrics)
    return parser


def _report_unwritable_output(error: OSError) -> int:
    """Standard output cannot take the text (a full disk, /dev/full): one line on standard
    error, and standard output sent nowhere so that the interpreter's final flush does
    not fail again."""
    print(f"velmora: error: cannot write to standard output ({error.strerror or _one_line(error)})", file=sys.stderr)
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    return EXIT_BAD_INPUT


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    try:
        try:
            args = parser.parse_args(argv)
        finally:
            # --version and --help print, then exit: their text must reach its reader.
            sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as error:
        return _report_unwritable_output(error)
    # Library progress logs stay quiet unless something goes wrong; configuring the root
    # logger first also keeps modules from installing their own INFO handler.
    logging.basicConfig(level=logging.WARNING, format="velmora: %(levelname)s: %(message)s")
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        status = run(args)
        sys.stdout.flush()  # inside the handlers: a reader that went away is reported below
        return status
    except CommandError as error:
        print(f"velmora: error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("velmora: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of standard output went away (velmora ... | head): nothing to report.
        # Further writes, including the interpreter's final flush, go nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as error:
        # Files are read and written under their own handlers: a full disk reaching
        # here is standard output's.
        if error.errno not in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
            return _internal_error(args, error)
        return _report_unwritable_output(error)
    except Exception as error:
        # Bad input is reported above; anything else is a fault of velmora itself.
        return _internal_error(args, error)


def _internal_error(args: argparse.Namespace, error: BaseException) -> int:
    if args.traceback:
        traceback.print_exc()
    hint = "" if args.traceback else "; run again with --traceback to see where it happened"
    print(
        f"velmora: internal error: {type(error).__name__}: {_one_line(error)} "
        f"(a fault of velmora, not of the input{hint})",
        file=sys.stderr,
    )
    return EXIT_INTERNAL_ERROR


if __name__ == "__main__":
    sys.exit(main())
