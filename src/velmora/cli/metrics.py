"""velmora metrics: the metrics of the evaluation suite, one line each."""

import argparse


def command_metrics(args: argparse.Namespace) -> int:
    from velmora.tabular.evaluator.catalogue import metric_catalogue

    header = ("metric", "group", "better", "meaning")
    rows = [(info.name, info.group, info.better, info.summary) for info in metric_catalogue()]
    widths = [max(len(row[index]) for row in [header, *rows]) for index in range(3)]
    print("The evaluation suite ('velmora evaluate' runs every metric unless --metrics names some):")
    for row in [header, *rows]:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)) + "  " + row[3])
    return 0
