"""velmora validate: every row of a table checked against text rules of the rule
language, and with --fix the repaired table written and checked again."""

import argparse
import pathlib
import sys
from typing import TYPE_CHECKING, Dict, List, Sequence

from velmora.cli.common import EXIT_GATE_FAILED, CommandError, counted, one_line
from velmora.cli.files import check_output_table, read_table, read_table_file, write_table

if TYPE_CHECKING:
    import pandas as pd

    from velmora.tabular.rulewarden import ConstraintViolationReport

FIX_STRATEGIES = ("drop", "resample", "clip")


def read_rules(path: str) -> List[str]:
    """One rule per line; blank lines and lines starting with '#' are skipped."""
    file = pathlib.Path(path)
    if not file.is_file():
        raise CommandError(f"{path}: no such file")
    try:
        lines = file.read_text(encoding="utf-8").splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise CommandError(f"{path}: cannot read the rules ({one_line(error)})") from None
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
    from velmora.cli.rule_language import RuleRefused, check_evaluates, check_language, rule_parts, text_columns
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
    return f"{type(error).__name__}: {one_line(error)}"


def _violation_lines(violations: Dict[str, int], total: int, rows: int, n_rows: int, rate: float) -> List[str]:
    lines = [f"Rule {rule!r}: {counted(count, 'violation')}" for rule, count in violations.items()]
    lines.append(f"{counted(total, 'violation')} in {rows:,} of {counted(n_rows, 'row')} ({rate:.1%})")
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
        print(f"Wrote {counted(len(fixed), 'row')} repaired with {args.fix!r} to {args.output}; checked again:")
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
        print(f"{counted(remaining, 'violation')} in {judged} (--fail-on-violation)", file=sys.stderr)
        return EXIT_GATE_FAILED
    return 0
