"""The velmora command line: evaluate, perturb and validate tables stored in files.

    velmora evaluate REAL SYNTHETIC [--metrics NAME ...] [--seed N] [--html PATH]
                     [--json PATH] [--fail-under SCORE]
    velmora perturb INPUT OUTPUT [--method NAME] [--epsilon E] [--preserve COL ...] [--seed N]
    velmora validate DATA (--rule TEXT ... | --rules FILE) [--fix STRATEGY --output PATH]
                     [--fail-on-violation]

Tables are CSV files, or Parquet files (``.parquet``, ``.pq``) when pyarrow is
installed. Exit status: 0 on success, 1 when a quality gate fails (``--fail-under``,
``--fail-on-violation``), 2 for bad input. Files are written whole or not at all.
"""
import argparse
import logging
import os
import pathlib
import stat
import sys
import tempfile

EXIT_GATE_FAILED = 1
EXIT_BAD_INPUT = 2

PARQUET_SUFFIXES = (".parquet", ".pq")
TABLE_SUFFIXES = (".csv", *PARQUET_SUFFIXES)
FIX_STRATEGIES = ("drop", "resample", "clip")
PERTURB_METHODS = ("minimal", "laplace", "gaussian")


class CommandError(Exception):
    """A problem with the command's input, reported as one line."""


# ---- files -----------------------------------------------------------------------------


def _parquet_needed(path):
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise CommandError(f"{path}: Parquet files need pyarrow (pip install pyarrow)") from None


def read_table(path):
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
        frame = pd.read_csv(file)
    except CommandError:
        raise
    except pd.errors.EmptyDataError:
        raise CommandError(f"{path}: the file is empty") from None
    except (OSError, ValueError, pd.errors.ParserError) as error:
        raise CommandError(f"{path}: cannot read it as a table ({_one_line(error)})") from None
    # pandas takes the leading fields of data rows longer than the header as an index,
    # shifting every value of those rows one column to the right.
    if not isinstance(frame.index, pd.RangeIndex):
        raise CommandError(f"{path}: its rows have more fields than the header ({len(frame.columns)} names)")
    return frame


def check_output_table(path):
    """Refuse, before any work is done, an output path the command cannot write: an
    extension naming a format it does not write, Parquet without pyarrow, a missing
    folder."""
    suffix = pathlib.Path(path).suffix.lower()
    if suffix not in TABLE_SUFFIXES:
        shown = f"extension {suffix!r}" if suffix else "no extension"
        raise CommandError(f"{path}: cannot write a table with {shown}; use {', '.join(TABLE_SUFFIXES)}")
    if suffix in PARQUET_SUFFIXES:
        _parquet_needed(path)
    directory = pathlib.Path(path).parent
    if not directory.is_dir():
        raise CommandError(f"{path}: the folder {directory} does not exist")


def _new_file_mode():
    """The permission bits open() gives a new file under the current umask."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _write_atomically(path, write):
    """Runs write(temporary_path) next to `path`, then renames it into place, so that a
    failure half-way leaves no partial file behind. The file gets the mode an existing
    file at `path` has (a symbolic link is followed), else the one the umask gives."""
    target = pathlib.Path(os.path.realpath(path)) if os.path.islink(path) else pathlib.Path(path)
    directory = target.parent if str(target.parent) else pathlib.Path(".")
    if not directory.is_dir():
        raise CommandError(f"{path}: the folder {directory} does not exist")
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


def write_table(frame, path):
    if pathlib.Path(path).suffix.lower() in PARQUET_SUFFIXES:
        _parquet_needed(path)
        _write_atomically(path, lambda temporary: frame.to_parquet(temporary, index=False))
    else:
        _write_atomically(path, lambda temporary: frame.to_csv(temporary, index=False))


def write_text(text, path):
    def write(temporary):
        with open(temporary, "w", encoding="utf-8") as handle:
            handle.write(text)

    _write_atomically(path, write)


def _one_line(error):
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


# ---- progress --------------------------------------------------------------------------


class Progress:
    """Step-by-step progress on standard error when it is a terminal; silent otherwise."""

    def __init__(self, total, stream=None):
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.total = total
        self.done = 0

    def step(self, label):
        self.done += 1
        if self.enabled:
            self.stream.write(f"\r\x1b[K[{self.done}/{self.total}] {label}")
            self.stream.flush()

    def finish(self):
        if self.enabled and self.done:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


# ---- evaluate --------------------------------------------------------------------------


def _evaluation_order(names, evaluator_class):
    """The metric names in the order one evaluate() call files their results: the
    per-column and table metrics as listed, then alpha precision, beta recall, the
    privacy metrics and TSTR."""
    late = ["alpha_precision", "beta_recall", *evaluator_class.PRIVACY_METRICS, "tstr_normalized"]
    ordered = [name for name in names if name not in late]
    ordered += [name for name in late if name in names]
    return ordered


def overall_score(report):
    """The report's overall quality score, ``report.overall_score()`` (kept for callers
    of this module)."""
    return report.overall_score()


def command_evaluate(args):
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    real = read_table(args.real)
    synthetic = read_table(args.synthetic)
    if not set(real.columns) & set(synthetic.columns):
        raise CommandError(f"{args.real} and {args.synthetic} share no column")
    known = list(TabularEvaluator.DEFAULT_METRICS)
    names = args.metrics or known
    unknown = [name for name in names if name not in known]
    if unknown:
        raise CommandError(f"unknown metric {unknown[0]!r}; known metrics: {', '.join(known)}")

    evaluator = TabularEvaluator(random_seed=args.seed)
    order = _evaluation_order(list(dict.fromkeys(names)), TabularEvaluator)
    progress = Progress(len(order))
    report = None
    for name in order:
        progress.step(name)
        part = evaluator.evaluate(real, synthetic, metrics=[name])
        if report is None:
            report = part
            continue
        for result in part.aggregate_metrics.values():
            report.add_metric(result)
        for result in part.privacy_metrics.values():
            report.add_metric(result, scope="privacy")
        report.evaluation_time_seconds += part.evaluation_time_seconds
    progress.finish()

    print(report.summary())
    score = report.overall_score()
    print(f"Overall score: {score:.4f}")
    if args.json:
        write_text(report.to_json(), args.json)
        print(f"JSON report written to {args.json}")
    if args.html:
        html = evaluator.to_html(report, None, real, synthetic)
        write_text(html, args.html)
        print(f"HTML report written to {args.html}")
    if args.fail_under is not None and not score >= args.fail_under:
        print(f"Overall score {score:.4f} is below {args.fail_under}", file=sys.stderr)
        return EXIT_GATE_FAILED
    return 0


# ---- perturb ---------------------------------------------------------------------------


def command_perturb(args):
    check_output_table(args.output)
    frame = read_table(args.input)
    missing = [column for column in args.preserve or [] if column not in frame.columns]
    if missing:
        raise CommandError(f"--preserve names no column of {args.input}: {', '.join(missing)}")
    if not args.epsilon > 0:
        raise CommandError("--epsilon must be a positive number")
    from velmora.core_generator.noiseforge import apply_noiseforge

    progress = Progress(2)
    progress.step(f"perturbing {len(frame):,} rows with {args.method!r}")
    noisy = apply_noiseforge(frame, epsilon=args.epsilon, method=args.method,
                             preserve_columns=list(args.preserve) if args.preserve else None,
                             random_state=args.seed)
    progress.step(f"writing {args.output}")
    write_table(noisy, args.output)
    progress.finish()
    print(f"Wrote {len(noisy):,} perturbed rows to {args.output} (method {args.method}, epsilon {args.epsilon})")
    return 0


# ---- validate --------------------------------------------------------------------------


def read_rules(path):
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


def _shown(rule, limit=80):
    return repr(rule) if len(rule) <= limit else repr(rule[:limit]) + f"... ({len(rule):,} characters)"


def check_rules(rules, frame, trusted):
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
                raise CommandError(f"rule {_shown(rule)} is not in the rule language: {error} "
                                   "(--trust-rules accepts any pandas expression)") from None
        try:
            check_evaluates(rule, frame)
        except RuleRefused as error:
            raise CommandError(f"rule {_shown(rule)} {error}") from None


def command_validate(args):
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
    print(report.summary())
    print(f"{report.total_violations} violations in {len(report.violating_rows)} of {len(frame)} rows "
          f"({report.violation_rate:.1%})")
    if args.fix:
        if args.seed is not None:
            np.random.seed(args.seed)
        fixed = report.fix(frame, strategy=args.fix)
        write_table(fixed, args.output)
        print(f"Wrote {len(fixed):,} rows repaired with {args.fix!r} to {args.output}")
    if args.fail_on_violation and report.total_violations > 0:
        return EXIT_GATE_FAILED
    return 0


# ---- parser ----------------------------------------------------------------------------


def build_parser():
    parser = argparse.ArgumentParser(
        prog="velmora",
        description="Evaluate, perturb and validate synthetic tabular data (CSV or Parquet files).",
        epilog="Run 'velmora COMMAND --help' for a command's options and examples.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    raw = argparse.RawDescriptionHelpFormatter

    evaluate = commands.add_parser(
        "evaluate", formatter_class=raw, help="score synthetic data against real data",
        description="Score a synthetic table against the real one with the evaluation suite.",
        epilog="examples:\n"
               "  velmora evaluate real.csv synthetic.csv\n"
               "  velmora evaluate real.csv synthetic.csv --metrics ks_complement mmd --seed 7\n"
               "  velmora evaluate real.csv synthetic.csv --html report.html --json report.json\n"
               "  velmora evaluate real.csv synthetic.csv --fail-under 0.8   # exit 1 below 0.8",
    )
    evaluate.add_argument("real", metavar="REAL", help="the real table")
    evaluate.add_argument("synthetic", metavar="SYNTHETIC", help="the synthetic table")
    evaluate.add_argument("--metrics", nargs="+", metavar="NAME", help="metrics to run (default: the full suite)")
    evaluate.add_argument("--seed", type=int, help="random seed of the stochastic metrics")
    evaluate.add_argument("--html", metavar="PATH", help="write the HTML report page here")
    evaluate.add_argument("--json", metavar="PATH", help="write the report as JSON here")
    evaluate.add_argument("--fail-under", type=float, metavar="SCORE",
                          help="exit with status 1 when the overall score is below SCORE")
    evaluate.set_defaults(run=command_evaluate)

    perturb = commands.add_parser(
        "perturb", formatter_class=raw, help="perturb a table under a privacy budget",
        description="Write a perturbed copy of a table. The noise is calibrated to epsilon (and delta)\n"
                    "from each column's observed range: a privacy-motivated perturbation, not a\n"
                    "formal differential-privacy guarantee.",
        epilog="examples:\n"
               "  velmora perturb data.csv noisy.csv\n"
               "  velmora perturb data.csv noisy.csv --method laplace --epsilon 0.5 --seed 42\n"
               "  velmora perturb data.parquet noisy.parquet --method gaussian --preserve id target",
    )
    perturb.add_argument("input", metavar="INPUT", help="the table to perturb")
    perturb.add_argument("output", metavar="OUTPUT", help="where to write the perturbed table")
    perturb.add_argument("--method", choices=PERTURB_METHODS, default="minimal", help="perturbation method")
    perturb.add_argument("--epsilon", type=float, default=1.0, help="privacy budget (lower: more noise)")
    perturb.add_argument("--preserve", nargs="+", metavar="COL", help="columns to copy unchanged")
    perturb.add_argument("--seed", type=int, help="random seed, for a reproducible result")
    perturb.set_defaults(run=command_perturb)

    validate = commands.add_parser(
        "validate", formatter_class=raw, help="check a table against rules and repair it",
        description="Check every row of a table against text rules: comparisons, arithmetic and\n"
                    "and/or/not of columns and literals, 'in [...]', and 'if CONDITION then\n"
                    "CONSEQUENCE'. Anything else (function calls, attributes, '@' variables) is\n"
                    "refused unless --trust-rules is given. A rule that cannot be evaluated on the\n"
                    "table (a misspelt column, a syntax error) is refused with exit status 2.",
        epilog="examples:\n"
               "  velmora validate data.csv --rule 'age > 0' --rule 'if age < 18 then income == 0'\n"
               "  velmora validate data.csv --rules rules.txt --fail-on-violation\n"
               "  velmora validate data.csv --rules rules.txt --fix drop --output clean.csv",
    )
    validate.add_argument("data", metavar="DATA", help="the table to check")
    sources = validate.add_mutually_exclusive_group(required=True)
    sources.add_argument("--rule", action="append", metavar="TEXT", help="a rule (repeat for more)")
    sources.add_argument("--rules", metavar="FILE", help="a file with one rule per line ('#' starts a comment)")
    validate.add_argument("--fix", choices=FIX_STRATEGIES, metavar="STRATEGY",
                          help="repair the table: drop, resample or clip")
    validate.add_argument("--output", metavar="PATH", help="where to write the repaired table")
    validate.add_argument("--seed", type=int, help="random seed for the 'resample' repair")
    validate.add_argument("--fail-on-violation", action="store_true", help="exit with status 1 on any violation")
    validate.add_argument("--trust-rules", action="store_true",
                          help="accept any pandas expression as a rule (rule text is then run as code)")
    validate.set_defaults(run=command_validate)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    # Library progress logs stay quiet unless something goes wrong; configuring the root
    # logger first also keeps modules from installing their own INFO handler.
    logging.basicConfig(level=logging.WARNING, format="velmora: %(levelname)s: %(message)s")
    try:
        return args.run(args)
    except CommandError as error:
        print(f"velmora: error: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("velmora: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # a clear line instead of a traceback
        print(f"velmora: error: {type(error).__name__}: {_one_line(error)}", file=sys.stderr)
        return EXIT_BAD_INPUT


if __name__ == "__main__":
    sys.exit(main())
