"""The velmora command line: evaluate, compare, perturb and validate tables stored in files.

    velmora evaluate REAL SYNTHETIC [--metrics NAME ...] [--target COLUMN] [--holdout FILE]
                     [--name NAME] [--dataset NAME] [--seed N] [--html PATH] [--json PATH]
                     [--fail-under SCORE]
    velmora compare REAL SYNTHETIC [SYNTHETIC ...] [--metrics NAME ...] [--target COLUMN]
                    [--holdout FILE] [--name NAME ...] [--dataset NAME] [--seed N]
                    [--json-dir DIR] [--html-dir DIR]
    velmora perturb INPUT OUTPUT [--method NAME] [--epsilon E] [--delta D] [--preserve COL ...]
                    [--seed N]
    velmora validate DATA (--rule TEXT ... | --rules FILE) [--fix STRATEGY --output PATH]
                     [--fail-on-violation]
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
import logging
import math
import os
import pathlib
import re
import stat
import sys
import tempfile
import traceback
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Sequence, TextIO, Tuple

if TYPE_CHECKING:
    import pandas as pd

    from velmora._cli_evaluation import Evaluation
    from velmora.tabular.evaluator.report import EvaluationReport

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


def read_table(path: str) -> "pd.DataFrame":
    """The table stored at `path` (CSV or Parquet) as a DataFrame."""
    import pandas as pd

    file = pathlib.Path(path)
    if not file.exists():
        raise CommandError(f"{path}: no such file")
    if not file.is_file():
        raise CommandError(f"{path}: not a file")
    try:
        if file.suffix.lower() in PARQUET_SUFFIXES:
            _parquet_needed(path)
            return pd.read_parquet(file)
        frame, longer_rows = _read_csv(file)
    except CommandError:
        raise
    except pd.errors.EmptyDataError:
        raise CommandError(f"{path}: the file is empty") from None
    except (OSError, ValueError, pd.errors.ParserError) as error:
        raise CommandError(f"{path}: cannot read it as a table ({_one_line(error)})") from None
    if longer_rows:
        raise CommandError(f"{path}: its rows have more fields than the header ({len(frame.columns)} names)")
    return frame


def _read_csv(file: pathlib.Path) -> "Tuple[pd.DataFrame, bool]":
    """The CSV file as a frame, and whether its rows have more fields than the header.

    By default pandas takes the leading fields of data rows longer than the header as an
    index, shifting every value of those rows one column to the right; pandas 3 then
    stores an index of evenly spaced numbers as a RangeIndex, so the index does not show
    the shift. Read without an index column, pandas drops the extra fields instead and
    says so with a ParserWarning, except for one empty field closing every row (a
    delimiter at the end of each line), which loses nothing. Floats are read exactly
    under both pandas majors."""
    import warnings

    import pandas as pd

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", pd.errors.ParserWarning)
        if int(pd.__version__.split(".")[0]) < 3:
            # pandas 2's default parser reads some numbers one unit in the last place
            # off; pandas 3 reads every float exactly (and deprecates the option).
            frame = pd.read_csv(file, index_col=False, float_precision="round_trip")
        else:
            frame = pd.read_csv(file, index_col=False)
    for warning in caught:
        if issubclass(warning.category, pd.errors.ParserWarning) and "does not match length of data" in str(
            warning.message
        ):
            return frame, True
        warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
    return frame, False


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
    failure of the file system (a full disk, no permission) is bad input: one line."""
    target = pathlib.Path(os.path.realpath(path)) if os.path.islink(path) else pathlib.Path(path)
    directory = target.parent if str(target.parent) else pathlib.Path(".")
    if not directory.is_dir():
        raise CommandError(f"{path}: the folder {directory} does not exist")
    try:
        try:
            mode = stat.S_IMODE(os.stat(target).st_mode)
        except FileNotFoundError:
            mode = _new_file_mode()
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


def write_table(frame: "pd.DataFrame", path: str) -> None:
    if pathlib.Path(path).suffix.lower() in PARQUET_SUFFIXES:
        _parquet_needed(path)
        _write_atomically(path, lambda temporary: frame.to_parquet(temporary, index=False))
    else:
        _write_atomically(path, lambda temporary: frame.to_csv(temporary, index=False))


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


def overall_score(report: "EvaluationReport") -> float:
    """The report's overall quality score, ``report.overall_score()`` (kept for callers
    of this module)."""
    return report.overall_score()


def _metric_names(args: argparse.Namespace) -> List[str]:
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    known = list(TabularEvaluator.DEFAULT_METRICS)
    names = list(dict.fromkeys(args.metrics or known))
    unknown = [name for name in names if name not in known]
    if unknown:
        raise CommandError(f"unknown metric {unknown[0]!r}; known metrics: {', '.join(known)} (see 'velmora metrics')")
    if args.target is not None and not {"prediction_agreement", "tstr_normalized"} & set(names):
        raise CommandError("--target is used by prediction_agreement and tstr_normalized, which --metrics leaves out")
    if args.holdout is not None and "membership_inference_auc" not in names:
        raise CommandError("--holdout is used by membership_inference_auc, which --metrics leaves out")
    return names


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

    print(report.summary())
    _print_missing(evaluation)
    score = report.overall_score()
    print(f"Overall score: {score:.4f}")
    if args.json:
        write_text(report.to_json(), args.json)
        print(f"JSON report written to {args.json}")
    if args.html:
        write_text(_page(report, real, synthetic), args.html)
        print(f"HTML report written to {args.html}")
    if args.fail_under is not None and not score >= args.fail_under:
        print(f"Overall score {score:.4f} is below {args.fail_under}", file=sys.stderr)
        return EXIT_GATE_FAILED
    return 0


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

    comparison = compare([evaluation.report for evaluation in evaluations])
    print(comparison.summary())
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
    from velmora._cli_evaluation import CATALOGUE

    header = ("metric", "better", "meaning")
    rows = [(info.name, info.better, info.meaning) for info in CATALOGUE]
    widths = [max(len(row[index]) for row in [header, *rows]) for index in range(2)]
    print("The evaluation suite ('velmora evaluate' runs every metric unless --metrics names some):")
    for row in [header, *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[2])
    return 0


# ---- perturb ---------------------------------------------------------------------------


def command_perturb(args: argparse.Namespace) -> int:
    check_output_table(args.output)
    epsilon = DEFAULT_EPSILON if args.epsilon is None else args.epsilon
    delta = DEFAULT_DELTA if args.delta is None else args.delta
    if not (epsilon > 0 and math.isfinite(epsilon)):
        raise CommandError("--epsilon must be a positive finite number")
    if not 0 < delta < 1:
        raise CommandError("--delta must lie between 0 and 1 (exclusive)")
    frame = read_table(args.input)
    missing = [column for column in args.preserve or [] if column not in frame.columns]
    if missing:
        raise CommandError(f"--preserve names no column of {args.input}: {', '.join(missing)}")
    unused = [
        option
        for option, given, uses in (
            ("--epsilon", args.epsilon, ("laplace", "gaussian")),
            ("--delta", args.delta, ("gaussian",)),
        )
        if given is not None and args.method not in uses
    ]
    for option in unused:
        print(f"velmora: note: --method {args.method} does not use {option}", file=sys.stderr)
    from velmora.core_generator.noiseforge import NoiseforgeProcessor

    progress = Progress(2)
    progress.step(f"perturbing {len(frame):,} rows with {args.method!r}")
    processor = NoiseforgeProcessor(epsilon=epsilon, delta=delta, random_state=args.seed)
    noisy = processor.apply_dp(
        frame, method=args.method, preserve_columns=list(args.preserve) if args.preserve else None
    )
    progress.step(f"writing {args.output}")
    write_table(noisy, args.output)
    progress.finish()
    if args.method == "minimal":
        budget = "small fixed noise, which uses neither epsilon nor delta"
    elif args.method == "laplace":
        budget = f"epsilon {epsilon:g}"
    else:
        budget = f"epsilon {epsilon:g}, delta {delta:g}"
    print(f"Wrote {_count(len(noisy), 'perturbed row')} to {args.output} (method {args.method}: {budget})")
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
    """Refuse, naming the rule, any rule outside the rule language (unless `trusted`) and
    any rule that cannot be evaluated on the table: validation would count it as having
    no violation."""
    from velmora._rule_language import RuleRefused, check_evaluates, check_language, rule_parts

    for rule in rules:
        if not trusted:
            try:
                for part in rule_parts(rule):
                    check_language(part)
            except RuleRefused as error:
                raise CommandError(
                    f"rule {_shown(rule)} is not in the rule language: {error} "
                    "(--trust-rules accepts any pandas expression)"
                ) from None
        try:
            check_evaluates(rule, frame)
        except RuleRefused as error:
            raise CommandError(f"rule {_shown(rule)} {error}") from None


def _violation_lines(violations: Dict[str, int], total: int, rows: int, n_rows: int, rate: float) -> List[str]:
    lines = [f"Rule {rule!r}: {_count(count, 'violation')}" for rule, count in violations.items()]
    lines.append(f"{_count(total, 'violation')} in {rows:,} of {_count(n_rows, 'row')} ({rate:.1%})")
    return lines


def command_validate(args: argparse.Namespace) -> int:
    import numpy as np

    from velmora.tabular.rulewarden import Rulewarden

    if args.fix and not args.output:
        raise CommandError("--fix needs --output PATH for the repaired table")
    if args.output and not args.fix:
        raise CommandError("--output goes with --fix STRATEGY")
    if args.output:
        check_output_table(args.output)
    rules = args.rule if args.rule else read_rules(args.rules)
    frame = read_table(args.data)
    check_rules(rules, frame, args.trust_rules)
    engine = Rulewarden()
    for rule in rules:
        engine.add_rule(rule)
    report = engine.validate(frame)
    for line in _violation_lines(
        report.violations, report.total_violations, len(report.violating_rows), len(frame), report.violation_rate
    ):
        print(line)
    judged, remaining = args.data, report.total_violations
    if args.fix:
        if args.seed is not None:
            np.random.seed(args.seed)
        fixed = report.fix(frame, strategy=args.fix)
        write_table(fixed, args.output)
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
            after = engine.validate(written)
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
        "(default: the first column of REAL, also in SYNTHETIC, with two or more distinct "
        "values)",
    )
    parser.add_argument(
        "--holdout",
        metavar="FILE",
        help="real rows the generator never saw: the membership attack then takes them as "
        "non-members (default: none; the attack then measures against the real data's "
        "own spacing, a lower bound of the risk)",
    )
    parser.add_argument(
        "--dataset",
        metavar="NAME",
        help="the real data's name in the reports (default: REAL's file name without extension)",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=DEFAULT_SEED,
        metavar="N",
        help="seed of tstr_normalized's split and models; the other metrics always use seed 0 "
        f"(default: {DEFAULT_SEED})",
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
        epilog="exit status: 0 success, 1 a quality gate failed (--fail-under, --fail-on-violation),\n"
        "2 bad input, 3 internal error (a fault of velmora; --traceback shows it), 130 interrupted.\n"
        "Run 'velmora COMMAND --help' for a command's options and examples.",
    )
    parser.add_argument(
        "--version", action="version", version=f"velmora {__version__}", help="show the version and exit"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    evaluate = commands.add_parser(
        "evaluate",
        formatter_class=_HelpFormatter,
        help="score synthetic data against real data",
        description="Score a synthetic table against the real one with the evaluation suite and print\n"
        "the report, the metrics that filed no result (with the reason) and the overall\n"
        "score (the mean of the higher-is-better values).",
        epilog="examples:\n"
        "  velmora evaluate real.csv synthetic.csv\n"
        "  velmora evaluate real.csv synthetic.csv --metrics ks_complement mmd --seed 7\n"
        "  velmora evaluate real.csv synthetic.csv --target income --holdout unseen.csv\n"
        "  velmora evaluate real.csv synthetic.csv --name ctgan-v2 --html report.html --json report.json\n"
        "  velmora evaluate real.csv synthetic.csv --fail-under 0.8   # exit 1 below 0.8",
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
        type=float,
        metavar="SCORE",
        help="exit with status 1 when the overall score is below SCORE (default: no gate)",
    )
    _traceback_option(evaluate)
    evaluate.set_defaults(run=command_evaluate)

    comparison = commands.add_parser(
        "compare",
        formatter_class=_HelpFormatter,
        help="evaluate several synthetic tables side by side",
        description="Evaluate each synthetic table against the real one and print the comparison:\n"
        "every metric's value per version, the best version per metric, each version's\n"
        "overall score and how many metrics it is best at.",
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
        description="Write a perturbed copy of a table. The noise of 'laplace' and 'gaussian' is\n"
        "calibrated to epsilon (and, for 'gaussian', delta) from each column's observed\n"
        "range: a privacy-motivated perturbation, not a formal differential-privacy\n"
        "guarantee. 'minimal' adds small fixed noise and uses neither.",
        epilog="examples:\n"
        "  velmora perturb data.csv noisy.csv\n"
        "  velmora perturb data.csv noisy.csv --method laplace --epsilon 0.5 --seed 42\n"
        "  velmora perturb data.parquet noisy.parquet --method gaussian --delta 1e-6 --preserve id target",
    )
    perturb.add_argument("input", metavar="INPUT", help="the table to perturb")
    perturb.add_argument("output", metavar="OUTPUT", help="where to write the perturbed table")
    perturb.add_argument(
        "--method", choices=PERTURB_METHODS, default="minimal", help="perturbation method (default: minimal)"
    )
    perturb.add_argument(
        "--epsilon",
        type=float,
        metavar="E",
        help=f"privacy budget of laplace and gaussian; lower means more noise (default: {DEFAULT_EPSILON})",
    )
    perturb.add_argument(
        "--delta",
        type=float,
        metavar="D",
        help=f"delta of the gaussian method, between 0 and 1 (default: {DEFAULT_DELTA:g})",
    )
    perturb.add_argument("--preserve", nargs="+", metavar="COL", help="columns to copy unchanged (default: none)")
    perturb.add_argument(
        "--seed",
        type=int,
        metavar="N",
        help="random seed, for a reproducible result (default: none, a different result each run)",
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
        type=int,
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


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
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
    except Exception as error:
        # Bad input is reported above; anything else is a fault of velmora itself.
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
