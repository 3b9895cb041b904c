"""velmora compare: several synthetic tables evaluated against the real one, side by
side, with a report and a page per version."""

import argparse
import json
import pathlib
import re
from typing import List, Sequence

from velmora.cli.common import CommandError, counted, one_line
from velmora.cli.evaluate import (
    check_pair,
    file_stem,
    metric_names,
    print_missing,
    read_holdout,
    report_page,
    verdict_limits,
)
from velmora.cli.files import check_output_file, check_output_folder, read_rows, write_text
from velmora.cli.progress import Progress


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
    from velmora.cli.evaluation import evaluate_tables
    from velmora.tabular.evaluator.report import compare

    names = metric_names(args)
    if args.name is not None and len(args.name) != len(args.synthetic):
        raise CommandError(
            f"--name gives {counted(len(args.name), 'name')} for "
            f"{counted(len(args.synthetic), 'synthetic table')}; give one per table"
        )
    for folder in (args.json_dir, args.html_dir):
        if folder:
            check_output_folder(folder)
    if args.json:
        check_output_file(args.json)
    verdict_limits(args)
    real = read_rows(args.real)
    synthetic_tables = [read_rows(path) for path in args.synthetic]
    holdout = read_holdout(args, real)
    for path, synthetic in zip(args.synthetic, synthetic_tables):
        check_pair(real, args.real, synthetic, path, args.target, holdout, args.holdout)

    labels = args.name or [file_stem(path) for path in args.synthetic]
    progress = Progress(len(names) * len(labels))
    evaluations = []
    for label, synthetic in zip(labels, synthetic_tables):
        evaluations.append(
            evaluate_tables(
                real,
                synthetic,
                names,
                generator_name=label,
                dataset_name=args.dataset or file_stem(args.real),
                seed=args.seed,
                target=args.target,
                holdout=holdout,
                step=progress.stepper(f"{label}: "),
            )
        )
    progress.finish()

    limits = verdict_limits(args)
    for evaluation in evaluations:
        evaluation.report.verdict_limits = limits
    comparison = compare([evaluation.report for evaluation in evaluations])
    print(comparison.summary())
    if args.json:
        write_text(json.dumps(comparison.to_dict(), indent=2, allow_nan=False), args.json)
        print(f"Comparison written to {args.json}")
    for label, evaluation in zip(comparison.labels, evaluations):
        print_missing(evaluation, label)
    stems = file_names(comparison.labels)
    for folder, suffix in ((args.json_dir, ".json"), (args.html_dir, ".html")):
        if not folder:
            continue
        try:
            pathlib.Path(folder).mkdir(exist_ok=True)
        except OSError as error:
            raise CommandError(f"{folder}: cannot make the folder ({error.strerror or one_line(error)})") from None
        for label, stem, evaluation, synthetic in zip(comparison.labels, stems, evaluations, synthetic_tables):
            path = str(pathlib.Path(folder) / f"{stem}{suffix}")
            report = evaluation.report
            write_text(report.to_json() if suffix == ".json" else report_page(report, real, synthetic), path)
            print(f"{'JSON report' if suffix == '.json' else 'HTML report'} of {label} written to {path}")
    return 0
