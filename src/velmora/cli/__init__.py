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

The package holds one module per command (evaluate, compare, perturb, validate,
metrics), the parser that wires them up, and what they share: files (reading tables,
checking and writing outputs), tables (cells kept as the input file had them),
evaluation (one ReleaseEvaluator call per synthetic table), rule_language (the rules
accepted from files) and progress.
"""

import argparse
import errno
import logging
import os
import sys
import traceback
from typing import Callable, Optional, Sequence

from velmora.cli.common import (
    EXIT_BAD_INPUT,
    EXIT_BROKEN_PIPE,
    EXIT_GATE_FAILED,
    EXIT_INTERNAL_ERROR,
    EXIT_INTERRUPTED,
    CommandError,
    one_line,
)
from velmora.cli.parser import build_parser

__all__ = [
    "EXIT_BAD_INPUT",
    "EXIT_BROKEN_PIPE",
    "EXIT_GATE_FAILED",
    "EXIT_INTERNAL_ERROR",
    "EXIT_INTERRUPTED",
    "CommandError",
    "build_parser",
    "main",
]


def _report_unwritable_output(error: OSError) -> int:
    """Standard output cannot take the text (a full disk, /dev/full): one line on standard
    error, and standard output sent nowhere so that the interpreter's final flush does
    not fail again."""
    print(f"velmora: error: cannot write to standard output ({error.strerror or one_line(error)})", file=sys.stderr)
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
        f"velmora: internal error: {type(error).__name__}: {one_line(error)} "
        f"(a fault of velmora, not of the input{hint})",
        file=sys.stderr,
    )
    return EXIT_INTERNAL_ERROR
