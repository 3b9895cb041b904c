"""velmora evaluate: one synthetic table scored against the real one, with the release
verdict, the report and the quality score; and what compare shares with it (the
metrics chosen, the verdict limits, the checks of the tables, the holdout)."""

import argparse
import pathlib
import sys
from typing import TYPE_CHECKING, List, Optional, Sequence

from velmora.cli.common import EXIT_GATE_FAILED, CommandError, counted
from velmora.cli.files import check_output_file, read_rows, write_text
from velmora.cli.progress import Progress

if TYPE_CHECKING:
    import pandas as pd

    from velmora.cli.evaluation import Evaluation
    from velmora.tabular.evaluator.report import EvaluationReport
    from velmora.tabular.evaluator.verdict_limits import VerdictLimits


def metric_names(args: argparse.Namespace) -> List[str]:
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


def verdict_limits(args: argparse.Namespace) -> "VerdictLimits":
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


def check_pair(
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


def read_holdout(args: argparse.Namespace, real: "pd.DataFrame") -> Optional["pd.DataFrame"]:
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
                f"velmora: note: {repeated:,} of {counted(len(holdout), 'holdout row')} "
                f"{'is also a row' if repeated == 1 else 'are also rows'} of {args.real}; a holdout should "
                "hold records the generator never saw",
                file=sys.stderr,
            )
    return holdout


def file_stem(path: str) -> str:
    return pathlib.Path(path).stem


def print_missing(evaluation: "Evaluation", label: str = "") -> None:
    """Name the metrics that filed no result, with the reason where one is known."""
    if not evaluation.missing:
        return
    where = f" for {label}" if label else ""
    print(f"No result{where} from {counted(len(evaluation.missing), 'metric')}:")
    for name, reason in evaluation.missing.items():
        print(f"  {name}: {reason or 'the evaluator filed none (no reason known)'}")


def command_evaluate(args: argparse.Namespace) -> int:
    from velmora.cli.evaluation import evaluate_tables

    names = metric_names(args)
    limits = verdict_limits(args)
    for path in (args.json, args.html):
        if path:
            check_output_file(path)
    real = read_rows(args.real)
    synthetic = read_rows(args.synthetic)
    holdout = read_holdout(args, real)
    check_pair(real, args.real, synthetic, args.synthetic, args.target, holdout, args.holdout)

    progress = Progress(len(names))
    evaluation = evaluate_tables(
        real,
        synthetic,
        names,
        generator_name=args.name or file_stem(args.synthetic),
        dataset_name=args.dataset or file_stem(args.real),
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
    print_missing(evaluation)
    quality = report.quality_score()
    print(f"Quality score: {quality:.4f} (overall score, the page's mean: {report.overall_score():.4f})")
    if args.json:
        write_text(report.to_json(), args.json)
        print(f"JSON report written to {args.json}")
    if args.html:
        write_text(report_page(report, real, synthetic), args.html)
        print(f"HTML report written to {args.html}")
    status = 0
    if not verdict.releasable and _decides_privacy(names):
        print(f"Verdict: {verdict.label} ({args.synthetic} is not releasable)", file=sys.stderr)
        status = EXIT_GATE_FAILED
    if args.fail_under is not None and not quality >= args.fail_under:
        print(f"Quality score {quality:.4f} is below {args.fail_under}", file=sys.stderr)
        status = EXIT_GATE_FAILED
    return status


def report_page(report: "EvaluationReport", real: "pd.DataFrame", synthetic: "pd.DataFrame") -> str:
    from velmora.tabular.evaluator.evaluator import TabularEvaluator

    page: str = TabularEvaluator().to_html(report, None, real, synthetic)
    return page
