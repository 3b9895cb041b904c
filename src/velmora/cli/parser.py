"""The argument parser of the command line: its commands, their options and help
texts, and the types that check option values."""

import argparse
import math
import sys
from typing import Sequence

from velmora.cli.compare import command_compare
from velmora.cli.evaluate import command_evaluate
from velmora.cli.metrics import command_metrics
from velmora.cli.perturb import DEFAULT_DELTA, DEFAULT_EPSILON, PERTURB_METHODS, command_perturb
from velmora.cli.validate import FIX_STRATEGIES, command_validate

DEFAULT_SEED = 0


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
